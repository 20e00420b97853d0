// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include <QString>

// The help panel's text: nine lines, each ended by CR LF.
QString helpText();
// The settings strip's caption: the row of labels above the six boxes (66 characters).
QString settingsCaption();
