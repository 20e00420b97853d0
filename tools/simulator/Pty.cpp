// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "Pty.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {
QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}
} // namespace

Pty::~Pty()
{
    if (!m_link.isEmpty() && QFileInfo(m_link).isSymLink())
        QFile::remove(m_link);
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
}

QString Pty::open(const QString &linkPath)
{
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_master < 0)
        return u"posix_openpt: " + systemError();
    if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
        return u"grantpt/unlockpt: " + systemError();
    char name[128] = {};
    if (::ptsname_r(m_master, name, sizeof name) != 0)
        return u"ptsname: " + systemError();
    m_device = QString::fromLocal8Bit(name);

    m_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slave < 0)
        return u"open " + m_device + u": " + systemError();
    termios tio{};
    if (::tcgetattr(m_slave, &tio) != 0)
        return u"tcgetattr: " + systemError();
    ::cfmakeraw(&tio);
    if (::tcsetattr(m_slave, TCSANOW, &tio) != 0)
        return u"tcsetattr: " + systemError();

    const QFileInfo existing(linkPath);
    if (existing.exists() && !existing.isSymLink())
        return linkPath + u" exists and is not a link; not replacing it";
    if (existing.isSymLink())
        QFile::remove(linkPath);
    if (::symlink(name, QFile::encodeName(linkPath).constData()) != 0)
        return u"symlink " + linkPath + u": " + systemError();
    m_link = linkPath;
    return {};
}

QString Pty::refuseWrites()
{
    const int nullDiscipline = 27; // N_NULL: its reads and writes fail, nothing polls readable
    if (::ioctl(m_slave, TIOCSETD, &nullDiscipline) != 0)
        return u"TIOCSETD N_NULL: " + systemError();
    return {};
}
