// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "Notify.h"

#include "Messages.h"

#include <systemd/sd-daemon.h>

namespace Notify {

void ready()
{
    sd_notify(0, "READY=1");
}

void reloading()
{
    sd_notify(0, "RELOADING=1");
}

void stopping()
{
    sd_notify(0, "STOPPING=1");
}

void status(const QString &text)
{
    // One line, as the status shows it.
    const QByteArray line = "STATUS=" + Messages::printable(text).toUtf8();
    sd_notify(0, line.constData());
}

} // namespace Notify
