// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include <QByteArray>

#include <optional>

// Gathers received characters into reply lines: a CR ends a line, LFs are dropped, empty lines
// are never handed over.
//
// The completed line is taken out of the buffer before it is handed over, so a handler that
// lets events run (and so receives more characters meanwhile) neither sees them glued to its
// line nor loses them afterwards. The buffer is bounded: a run of more than maxLine characters
// without a CR is dropped up to the next CR, so memory stays flat whatever the line carries.
class LineAssembler
{
public:
    static constexpr qsizetype defaultMaxLine = 4096;

    explicit LineAssembler(qsizetype maxLine = defaultMaxLine) : m_maxLine(maxLine) {}

    // Takes one received character; returns the completed line when it was a CR ending one.
    std::optional<QByteArray> push(char c)
    {
        if (c == '\n')
            return std::nullopt;
        if (c == '\r') {
            const bool dropped = m_overflow;
            m_overflow = false;
            if (dropped || m_line.isEmpty())
                return std::nullopt;
            QByteArray line;
            line.swap(m_line);
            return line;
        }
        if (m_overflow)
            return std::nullopt;
        if (m_line.size() >= m_maxLine) {
            m_overflow = true;
            m_line = QByteArray();
            return std::nullopt;
        }
        m_line.append(c);
        return std::nullopt;
    }

    const QByteArray &pending() const { return m_line; }
    bool discarding() const { return m_overflow; }

private:
    QByteArray m_line;
    qsizetype m_maxLine;
    bool m_overflow = false;
};
