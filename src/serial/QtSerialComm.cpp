#include "QtSerialComm.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>

#include <algorithm>

#include <cerrno>
#include <cstring>
#include <unistd.h>

using namespace CommErrors;

namespace {

QSerialPort::Parity toQt(LineSettings::Parity p)
{
    switch (p) {
    case LineSettings::Parity::None: return QSerialPort::NoParity;
    case LineSettings::Parity::Even: return QSerialPort::EvenParity;
    case LineSettings::Parity::Odd: return QSerialPort::OddParity;
    case LineSettings::Parity::Mark: return QSerialPort::MarkParity;
    case LineSettings::Parity::Space: return QSerialPort::SpaceParity;
    }
    return QSerialPort::NoParity;
}

QSerialPort::StopBits toQt(LineSettings::StopBits s)
{
    switch (s) {
    case LineSettings::StopBits::One: return QSerialPort::OneStop;
    case LineSettings::StopBits::OneAndHalf: return QSerialPort::OneAndHalfStop;
    case LineSettings::StopBits::Two: return QSerialPort::TwoStop;
    }
    return QSerialPort::OneStop;
}

} // namespace

QtSerialComm::QtSerialComm(QString comLinkFolder, DeviceLister lister, QObject *parent)
    : SerialComm(parent), m_comLinkFolder(std::move(comLinkFolder)), m_lister(std::move(lister))
{
    m_lineSettings = *LineSettings::parse(m_settingsText);
    // What the program has not read yet stays in the device: memory stays bounded whatever
    // arrives, and the kernel's buffer throttles a sender that outruns the program.
    m_port.setReadBufferSize(64 * 1024);
    connect(&m_port, &QSerialPort::readyRead, this, [this] { postCommEvent(comEvReceive); });
    connect(&m_port, &QSerialPort::errorOccurred, this, &QtSerialComm::onErrorOccurred);
}

QtSerialComm::~QtSerialComm()
{
    m_port.disconnect(this);
    m_port.close();
}

void QtSerialComm::setCommPort(int number)
{
    if (number < 1)
        throw CommError(InvalidPortNumber, QStringLiteral("COM%1 is not a port number").arg(number));
    if (m_port.isOpen())
        throw CommError(PortAlreadyOpen, QStringLiteral("the port is open; close it first"));
    m_portNumber = number;
}

void QtSerialComm::setSettings(const QString &text)
{
    const auto parsed = LineSettings::parse(text);
    if (!parsed)
        throw CommError(InvalidPropertyValue,
                        QStringLiteral("\"%1\" is not <baud>,<parity>,<data bits>,<stop bits>")
                            .arg(text));
    m_settingsText = text;
    m_lineSettings = *parsed;
    if (m_port.isOpen())
        applyLineSettings();
}

void QtSerialComm::setHandshaking(int mode)
{
    if (mode != 0)
        throw CommError(InvalidPropertyValue, QStringLiteral("only handshaking 0 is supported"));
    if (m_port.isOpen() && !m_port.setFlowControl(QSerialPort::NoFlowControl))
        throw CommError(LineSettingsRefused, m_port.errorString());
}

void QtSerialComm::setPortOpen(bool open)
{
    if (open)
        this->open();
    else
        close();
}

void QtSerialComm::setDTREnable(bool enable)
{
    // A pseudo-terminal has no modem lines; "not asserted" holds there already.
    if (m_port.isOpen() && !m_port.setDataTerminalReady(enable) &&
        m_port.error() != QSerialPort::UnsupportedOperationError)
        throw CommError(LineSettingsRefused, m_port.errorString());
    m_port.clearError();
}

void QtSerialComm::setRTSEnable(bool enable)
{
    if (m_port.isOpen() && !m_port.setRequestToSend(enable) &&
        m_port.error() != QSerialPort::UnsupportedOperationError)
        throw CommError(LineSettingsRefused, m_port.errorString());
    m_port.clearError();
}

void QtSerialComm::setRThreshold(int count)
{
    // Every arrival is announced at once; only the values 0 and 1 make sense here.
    if (count < 0)
        throw CommError(InvalidPropertyValue, QStringLiteral("RThreshold below 0"));
}

void QtSerialComm::setInputLen(int length)
{
    if (length < 0)
        throw CommError(InvalidPropertyValue, QStringLiteral("InputLen below 0"));
    m_inputLen = length;
}

void QtSerialComm::Output(const QByteArray &bytes)
{
    if (!m_port.isOpen())
        throw CommError(PortNotOpen, QStringLiteral("the port is not open"));
    if (m_port.write(bytes) != bytes.size())
        throw CommError(WriteFailed, m_port.errorString());
}

QByteArray QtSerialComm::Input()
{
    if (!m_port.isOpen())
        throw CommError(PortNotOpen, QStringLiteral("the port is not open"));
    return m_inputLen > 0 ? m_port.read(m_inputLen) : m_port.readAll();
}

bool QtSerialComm::Input(char &slot)
{
    if (!m_port.isOpen())
        throw CommError(PortNotOpen, QStringLiteral("the port is not open"));
    return m_port.getChar(&slot);
}

int QtSerialComm::InBufferCount() const
{
    if (!m_port.isOpen())
        throw CommError(PortNotOpen, QStringLiteral("the port is not open"));
    return static_cast<int>(qMin<qint64>(m_port.bytesAvailable(), 32767));
}

PortMap::Resolution QtSerialComm::resolveCurrent() const
{
    const QString link =
        m_comLinkFolder.isEmpty()
            ? QString()
            : QDir(m_comLinkFolder).filePath(u"COM" + QString::number(m_portNumber));
    QStringList present;
    // Listing the system's devices is only needed when there is no COM<n> entry.
    if (link.isEmpty() || !(QFileInfo(link).exists() || QFileInfo(link).isSymLink()))
        present = m_lister ? m_lister() : QStringList();
    return PortMap::resolve(m_portNumber, link, present);
}

QStringList QtSerialComm::presentPorts() const
{
    QStringList out;
    QList<int> linked;
#ifndef Q_OS_WIN
    if (!m_comLinkFolder.isEmpty()) {
        const QDir folder(m_comLinkFolder);
        const QFileInfoList entries = folder.entryInfoList({QStringLiteral("COM*")},
                                                           QDir::AllEntries | QDir::System, QDir::Name);
        for (const QFileInfo &entry : entries) {
            bool ok = false;
            const int n = entry.fileName().mid(3).toInt(&ok);
            if (!ok || n < 1 || entry.fileName() != u"COM" + QString::number(n))
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

QString QtSerialComm::describePort() const
{
    const PortMap::Resolution r = resolveCurrent();
    QString text = u"COM" + QString::number(m_portNumber);
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

void QtSerialComm::open()
{
    if (m_port.isOpen())
        throw CommError(PortAlreadyOpen, QStringLiteral("%1 is already open here").arg(m_port.portName()));

    const PortMap::Resolution r = resolveCurrent();
    if (r.device.isEmpty()) {
        setDetail(describePort());
        throw CommError(InvalidPortNumber, describePort());
    }
    const QByteArray path = QFile::encodeName(r.device);
    if (::access(path.constData(), F_OK) != 0) {
        setDetail(describePort() + u": " + QString::fromLocal8Bit(std::strerror(errno)));
        throw CommError(InvalidPortNumber, lastDetail());
    }
    if (::access(path.constData(), R_OK | W_OK) != 0) {
        setDetail(describePort() + u": " + QString::fromLocal8Bit(std::strerror(errno)));
        throw CommError(PermissionDenied, lastDetail());
    }

    m_port.setPortName(r.device);
    m_port.setBaudRate(m_lineSettings.baud);
    m_port.setParity(toQt(m_lineSettings.parity));
    m_port.setDataBits(static_cast<QSerialPort::DataBits>(m_lineSettings.dataBits));
    m_port.setStopBits(toQt(m_lineSettings.stopBits));
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    if (!m_port.open(QIODevice::ReadWrite)) {
        const QSerialPort::SerialPortError error = m_port.error();
        setDetail(describePort() + u": " + m_port.errorString());
        m_port.clearError();
        switch (error) {
        case QSerialPort::DeviceNotFoundError: throw CommError(InvalidPortNumber, lastDetail());
        // Access was checked above, so a refusal now means another program holds the port
        // (its lock file, or an exclusive open).
        case QSerialPort::PermissionError: throw CommError(PortAlreadyOpen, lastDetail());
        case QSerialPort::OpenError: throw CommError(PortAlreadyOpen, lastDetail());
        case QSerialPort::UnsupportedOperationError:
            throw CommError(LineSettingsRefused, lastDetail());
        default: throw CommError(OpenFailed, lastDetail());
        }
    }
    setDetail(describePort());
}

void QtSerialComm::close()
{
    if (m_port.isOpen())
        m_port.close();
    m_port.clearError();
}

void QtSerialComm::applyLineSettings()
{
    const bool ok = m_port.setBaudRate(m_lineSettings.baud) &&
                    m_port.setParity(toQt(m_lineSettings.parity)) &&
                    m_port.setDataBits(static_cast<QSerialPort::DataBits>(m_lineSettings.dataBits)) &&
                    m_port.setStopBits(toQt(m_lineSettings.stopBits));
    if (!ok) {
        const QString reason = m_port.errorString();
        m_port.clearError();
        throw CommError(LineSettingsRefused, reason);
    }
}

void QtSerialComm::onErrorOccurred(QSerialPort::SerialPortError error)
{
    // open() reports NoError; the others are reported by the calls that cause them.
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError)
        return;
    if (!m_port.isOpen())
        return;
    // The device went away (adapter unplugged, pty master closed). Qt would go on reporting
    // the error from the read notifier in a tight loop; closing the port ends that.
    setDetail(describePort() + u": " + m_port.errorString());
    m_port.close();
    m_port.clearError();
    postCommEvent(comEventDeviceLost);
}
