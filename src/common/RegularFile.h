// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include <QFile>
#include <QString>

#include <sys/stat.h>

// Opens a file to read without waiting (a FIFO would hold the open until a writer came), then
// looks at what was opened: only a regular file is taken. Empty with file open and status
// filled in, else why not.
QString openRegularFile(const QString &path, QFile &file, struct stat &status);
