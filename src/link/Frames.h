#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The line protocol with the controller. A command frame is the device identifier, the verb
// and CR, with no separator; a reply line is whatever arrived up to a CR, LFs removed.
//
// One character is one byte on the wire, both ways: frames and lines are converted with
// Latin-1, which maps every byte to one character and back. A character of the identifier
// that Latin-1 cannot hold is sent as '?'; since replies are compared as text with the
// identifier itself, such an identifier can never be answered by mistake.
namespace Frames {

inline constexpr char CR = '\r';
inline constexpr char LF = '\n';

QByteArray frame(const QString &deviceId, const QString &verb);

QByteArray handshake(const QString &deviceId);     // <id>AT
QByteArray stateQuery(const QString &deviceId);    // <id>OA
QByteArray allOutputs(const QString &deviceId, bool on);     // <id>OAH / <id>OAL
QByteArray output(const QString &deviceId, int n, bool on);  // <id>O<n>H / <id>O<n>L

// The highest output number the reply side recognises.
inline constexpr int maxOutputs = 16;

// The handshake answer: <id>OK.
QString handshakeAnswer(const QString &deviceId);
// <id>O<n>H or <id>O<n>L.
QString outputStateLine(const QString &deviceId, int n, bool on);

struct OutputState
{
    int output;
    bool on;
};

// Whole-line, exact, case-sensitive recognition of an output-state line for outputs 1 to 16.
// Tries n = 1 on, 1 off, 2 on, ... and returns the first that equals the line.
std::optional<OutputState> matchOutputState(const QString &line, const QString &deviceId);

} // namespace Frames
