// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "SystemSerialPort.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>

#include <algorithm>

#include <cerrno>
#include <cstring>
#include <unistd.h>

using namespace PortErrors;

namespace {

QSerialPort::Parity toQt(LineSettings::Parity p)
{
    switch (p) {
    case LineSettings::Parity::None:
        return QSerialPort::NoParity;
    case LineSettings::Parity::Even:
        return QSerialPort::EvenParity;
    case LineSettings::Parity::Odd:
        return QSerialPort::OddParity;
    case LineSettings::Parity::Mark:
        return QSerialPort::MarkParity;
    case LineSettings::Parity::Space:
        return QSerialPort::SpaceParity;
    }
    return QSerialPort::NoParity;
}

QSerialPort::StopBits toQt(LineSettings::StopBits s)
{
    switch (s) {
    case LineSettings::StopBits::One:
        return QSerialPort::OneStop;
    case LineSettings::StopBits::OneAndHalf:
        return QSerialPort::OneAndHalfStop;
    case LineSettings::StopBits::Two:
        return QSerialPort::TwoStop;
    }
    return QSerialPort::OneStop;
}

// Modem lines that a device does not have (a pseudo-terminal) are "not asserted" already.
bool lineRefused(const QSerialPort &port)
{
    return port.error() != QSerialPort::NoError &&
           port.error() != QSerialPort::UnsupportedOperationError;
}

} // namespace

SystemSerialPort::SystemSerialPort(QStringList comLinkFolders, DeviceLister lister,
                                   Numbering numbering, QObject *parent)
    : SerialPort(parent), m_comLinkFolders(std::move(comLinkFolders)), m_lister(std::move(lister)),
      m_numbering(numbering)
{
    // What the program has not read yet stays in the device: memory stays bounded whatever
    // arrives, and the kernel's buffer throttles a sender that outruns the program.
    m_port.setReadBufferSize(64 * 1024);
    connect(&m_port, &QSerialPort::readyRead, this, [this] { emit received(m_port.readAll()); });
    connect(&m_port, &QSerialPort::errorOccurred, this, &SystemSerialPort::onErrorOccurred);
}

SystemSerialPort::~SystemSerialPort()
{
    m_port.disconnect(this);
    m_port.close();
}

PortError SystemSerialPort::failure(int number, const QString &reason, int portNumber) const
{
    return {number, describePort(portNumber) + u": " + reason};
}

PortError SystemSerialPort::open(int portNumber, const LineSettings &settings)
{
    if (m_port.isOpen())
        return {PortAlreadyOpen, m_port.portName() + u" is already open here"};

    const PortMap::Resolution r = resolve(portNumber);
    if (r.device.isEmpty() && m_numbering == Numbering::EntriesOnly) {
        const QStringList present = m_lister ? m_lister() : QStringList();
        const QString entry =
            QDir(m_comLinkFolders.value(0)).filePath(u"COM" + QString::number(portNumber));
        return {InvalidPortNumber,
                describePort(portNumber) + u"; " +
                    (present.isEmpty() ? QStringLiteral("no serial device is present")
                                       : u"serial devices present: " + present.join(u", ") +
                                             u"; link one as " + entry)};
    }
    if (r.device.isEmpty())
        return {InvalidPortNumber, describePort(portNumber)};
    const QByteArray path = QFile::encodeName(r.device);
    if (::access(path.constData(), F_OK) != 0)
        return failure(InvalidPortNumber, QString::fromLocal8Bit(std::strerror(errno)), portNumber);
    if (::access(path.constData(), R_OK | W_OK) != 0)
        return failure(PermissionDenied, QString::fromLocal8Bit(std::strerror(errno)), portNumber);

    m_port.setPortName(r.device);
    m_port.setBaudRate(settings.baud);
    m_port.setParity(toQt(settings.parity));
    m_port.setDataBits(static_cast<QSerialPort::DataBits>(settings.dataBits));
    m_port.setStopBits(toQt(settings.stopBits));
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    if (!m_port.open(QIODevice::ReadWrite)) {
        const QSerialPort::SerialPortError error = m_port.error();
        const PortError refused = failure(OpenFailed, m_port.errorString(), portNumber);
        m_port.clearError();
        switch (error) {
        case QSerialPort::DeviceNotFoundError:
            return {InvalidPortNumber, refused.detail};
        // Access was checked above, so a refusal now means another program holds the port
        // (its lock file, or an exclusive open).
        case QSerialPort::PermissionError:
        case QSerialPort::OpenError:
            return {PortAlreadyOpen, refused.detail};
        case QSerialPort::UnsupportedOperationError:
            return {LineSettingsRefused, refused.detail};
        default:
            return refused;
        }
    }
    m_openedAs = describePort(portNumber); // the device as it was when it went away
    m_port.setDataTerminalReady(false);
    const bool dtrRefused = lineRefused(m_port);
    m_port.clearError();
    m_port.setRequestToSend(false);
    if (dtrRefused || lineRefused(m_port)) {
        const PortError refused = failure(LineSettingsRefused, m_port.errorString(), portNumber);
        close();
        return refused;
    }
    m_port.clearError();
    return {};
}

void SystemSerialPort::close()
{
    if (m_port.isOpen())
        m_port.close();
    m_port.clearError();
}

PortError SystemSerialPort::write(const QByteArray &bytes)
{
    if (!m_port.isOpen())
        return {PortNotOpen, QStringLiteral("the port is not open")};
    // Handed to the device now, without waiting: a device that is gone fails here, at the
    // call, rather than later in the event loop where no caller hears of it.
    m_writing = true;
    const bool queued = m_port.write(bytes) == bytes.size();
    if (queued)
        m_port.flush();
    m_writing = false;
    if (m_writeFailure)
        return std::exchange(m_writeFailure, {});
    if (!queued)
        return {WriteFailed, m_openedAs + u": " + m_port.errorString()};
    return {};
}

void SystemSerialPort::onErrorOccurred(QSerialPort::SerialPortError error)
{
    // open() reports NoError; the others are reported by the calls that cause them.
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError &&
        error != QSerialPort::WriteError)
        return;
    if (!m_port.isOpen())
        return;
    // The device went away (adapter unplugged, pty closed), or takes no more bytes. Qt would
    // go on reporting the error from its notifiers in a tight loop; closing the port ends that.
    const bool writing = m_writing || error == QSerialPort::WriteError;
    const PortError lost = {writing ? WriteFailed : ReadFailed,
                            m_openedAs + u": " + m_port.errorString()};
    m_port.close();
    m_port.clearError();
    if (m_writing)
        m_writeFailure = lost; // the write reports it to its caller
    else
        emit deviceLost(lost);
}

PortMap::Resolution SystemSerialPort::resolve(int portNumber) const
{
    const auto isEntry = [](const QString &path) {
        return QFileInfo(path).exists() || QFileInfo(path).isSymLink();
    };
    for (const QString &folder : m_comLinkFolders) {
        if (folder.isEmpty())
            continue;
        const QString link = QDir(folder).filePath(u"COM" + QString::number(portNumber));
        if (isEntry(link))
            return PortMap::resolve(portNumber, link, {});
    }
    if (m_numbering == Numbering::EntriesOnly) // the entry it would be, leading nowhere
        return {
            {}, QDir(m_comLinkFolders.value(0)).filePath(u"COM" + QString::number(portNumber)), {}};
    // Listing the system's devices is only needed when there is no COM<n> entry.
    return PortMap::resolve(portNumber, {}, m_lister ? m_lister() : QStringList());
}

QString SystemSerialPort::describePort(int portNumber) const
{
    const PortMap::Resolution r = resolve(portNumber);
    QString text = u"COM" + QString::number(portNumber);
    if (!r.comLink.isEmpty()) {
        text += u" -> " + r.comLink;
        if (!r.target.isEmpty())
            text += u" -> " + r.target;
    }
    if (r.device.isEmpty())
        return text + u" -> no such device";
    if (r.device != r.target)
        text += u" -> " + r.device;
    return text;
}

QStringList SystemSerialPort::presentPorts() const
{
    QStringList out;
    QList<int> linked;
#ifndef Q_OS_WIN
    for (const QString &folder : m_comLinkFolders) {
        if (folder.isEmpty())
            continue;
        const QFileInfoList entries = QDir(folder).entryInfoList(
            {QStringLiteral("COM*")}, QDir::AllEntries | QDir::System, QDir::Name);
        for (const QFileInfo &entry : entries) {
            bool ok = false;
            const int n = entry.fileName().mid(3).toInt(&ok);
            if (!ok || n < 1 || entry.fileName() != u"COM" + QString::number(n) ||
                linked.contains(n))
                continue;
            linked << n;
            QString line = entry.fileName() + u" -> " +
                           (entry.isSymLink() ? entry.symLinkTarget() : entry.filePath());
            if (!entry.exists())
                line += u" (gone)";
            out << line;
        }
    }
#endif
    if (m_numbering == Numbering::EntriesOnly) {
        for (const QString &device : m_lister ? m_lister() : QStringList())
            out << u"not numbered: " + device;
        return out;
    }
    const QStringList devices = PortMap::orderDevices(m_lister ? m_lister() : QStringList());
    for (qsizetype i = 0; i < devices.size(); ++i) {
        const int n = static_cast<int>(i) + 1;
        if (linked.contains(n))
            continue;
        QString line = u"COM" + QString::number(n) + u" = " + devices[i];
        const QString description = QSerialPortInfo(devices[i]).description();
        if (!description.isEmpty())
            line += u" (" + description + u')';
        out << line;
    }
    const auto number = [](const QString &line) {
        int n = 0;
        for (qsizetype i = 3; i < line.size() && line[i].isDigit(); ++i)
            n = n * 10 + line[i].digitValue();
        return n;
    };
    std::stable_sort(out.begin(), out.end(),
                     [&](const QString &a, const QString &b) { return number(a) < number(b); });
    return out;
}
