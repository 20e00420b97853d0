// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include <QString>
#include <QStringList>

// What the error numbers cannot tell the operator: the system's reason and what to do about it,
// as plain text (several lines).
QString portAdvice(int errorNumber, const QString &detail, const QStringList &presentPorts);

// The ports present, one per line, or a sentence saying there are none.
QString presentPortsText(const QStringList &presentPorts);
