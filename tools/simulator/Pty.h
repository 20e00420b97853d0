// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include <QString>

// A pseudo-terminal in raw mode, no echo, with a symbolic link to its device. The simulator
// keeps the device side open itself, so the link stays usable while programs open and close
// it; reading the controller side then never fails with EIO between their opens.
class Pty
{
public:
    Pty() = default;
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    // Creates the pty and the link (replacing an existing link, never a regular file).
    // Returns an empty text on success, else the reason.
    QString open(const QString &linkPath);

    int controllerFd() const { return m_master; }
    // From now on the device refuses every write of its user, and has nothing to read: the
    // line discipline becomes N_NULL. A device that takes no more bytes, without going away.
    // Returns an empty text on success, else the reason.
    QString refuseWrites();
    QString devicePath() const { return m_device; }

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_device;
    QString m_link;
};
