#include "Frames.h"

namespace Frames {

QByteArray frame(const QString &deviceId, const QString &verb)
{
    QByteArray bytes = (deviceId + verb).toLatin1();
    bytes.append(CR);
    return bytes;
}

QByteArray handshake(const QString &deviceId)
{
    return frame(deviceId, QStringLiteral("AT"));
}

QByteArray stateQuery(const QString &deviceId)
{
    return frame(deviceId, QStringLiteral("OA"));
}

QByteArray allOutputs(const QString &deviceId, bool on)
{
    return frame(deviceId, on ? QStringLiteral("OAH") : QStringLiteral("OAL"));
}

QByteArray output(const QString &deviceId, int n, bool on)
{
    return frame(deviceId, u'O' + QString::number(n) + (on ? u'H' : u'L'));
}

QString handshakeAnswer(const QString &deviceId)
{
    return deviceId + u"OK";
}

QString outputStateLine(const QString &deviceId, int n, bool on)
{
    return deviceId + u'O' + QString::number(n) + (on ? u'H' : u'L');
}

std::optional<OutputState> matchOutputState(const QString &line, const QString &deviceId)
{
    // Equivalent to comparing the line with each of the 32 texts in turn, without building
    // them: the texts are pairwise different, so the first equal one is the only one.
    if (!line.startsWith(deviceId))
        return std::nullopt;
    const QStringView rest = QStringView(line).mid(deviceId.size());
    if (rest.size() < 3 || rest.size() > 4 || rest.front() != u'O')
        return std::nullopt;
    const QChar state = rest.back();
    if (state != u'H' && state != u'L')
        return std::nullopt;
    const QStringView digits = rest.mid(1, rest.size() - 2);
    if (digits.front() == u'0')
        return std::nullopt;
    int n = 0;
    for (const QChar c : digits) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        n = n * 10 + (c.unicode() - u'0');
    }
    if (n < 1 || n > maxOutputs)
        return std::nullopt;
    return OutputState{n, state == u'H'};
}

} // namespace Frames
