// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

// Gathers received characters into reply lines: a CR ends a line, LFs are dropped, empty lines
// are never handed over. The buffer is bounded: a run of more than maxLine characters without a
// CR is dropped up to the next CR, so memory stays flat whatever the line carries. It keeps its
// capacity from line to line, so a steady stream of lines allocates nothing.
class LineAssembler
{
public:
    static constexpr qsizetype defaultMaxLine = 4096;

    explicit LineAssembler(qsizetype maxLine = defaultMaxLine) : m_maxLine(maxLine) {}

    // Takes one received character. When it is the CR that ends a line, returns that line,
    // valid until the next call.
    std::optional<QByteArrayView> push(char c)
    {
        if (m_handedOver) {
            m_line.resize(0);
            m_handedOver = false;
        }
        if (c == '\n')
            return std::nullopt;
        if (c == '\r') {
            const bool dropped = m_overflow;
            m_overflow = false;
            if (dropped || m_line.isEmpty())
                return std::nullopt;
            m_handedOver = true;
            return QByteArrayView(m_line);
        }
        if (m_overflow)
            return std::nullopt;
        if (m_line.size() >= m_maxLine) {
            m_overflow = true;
            m_line.resize(0);
            return std::nullopt;
        }
        m_line.append(c);
        return std::nullopt;
    }

    // Forgets a partial line: what follows starts a new stream.
    void clear()
    {
        m_line.resize(0);
        m_overflow = false;
        m_handedOver = false;
    }

private:
    QByteArray m_line;
    qsizetype m_maxLine;
    bool m_overflow = false;
    bool m_handedOver = false; // m_line holds the line handed over last
};
