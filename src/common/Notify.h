// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include <QString>

// Tells systemd where a service stands (sd_notify): READY=1 once it serves, RELOADING=1 and
// READY=1 around a reload, STOPPING=1 on its way out, and a STATUS= line that
// `systemctl status` shows. Outside systemd (no NOTIFY_SOCKET) nothing is sent.
namespace Notify {

void ready();
void reloading();
void stopping();
void status(const QString &text);

} // namespace Notify
