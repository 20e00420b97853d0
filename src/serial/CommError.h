#pragma once

#include <QString>

#include <exception>

// Numbered failures of the serial component. The window's handlers catch them and decide by
// number; the detail keeps the system's own explanation (device path, reason) for the operator.
namespace CommErrors {
inline constexpr int InvalidPropertyValue = 380; // Settings text, InputLen, RThreshold...
inline constexpr int InvalidPortNumber = 8002;   // below 1, or no such device
inline constexpr int PortAlreadyOpen = 8005;     // open here already, or held by another program
inline constexpr int PermissionDenied = 8010;    // the device exists but may not be opened
inline constexpr int LineSettingsRefused = 8015; // the device refused baud, parity, bits
inline constexpr int PortNotOpen = 8018;         // operation valid only while the port is open
inline constexpr int ReadFailed = 8020;
inline constexpr int WriteFailed = 8021;
inline constexpr int OpenFailed = 8022; // any other reason the device would not open
} // namespace CommErrors

class CommError : public std::exception
{
public:
    CommError(int number, QString detail) : m_number(number), m_detail(std::move(detail)) {}

    int number() const noexcept { return m_number; }
    const QString &detail() const noexcept { return m_detail; }
    const char *what() const noexcept override { return "serial component error"; }

private:
    int m_number;
    QString m_detail;
};
