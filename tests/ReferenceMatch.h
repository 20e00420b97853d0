#pragma once

// The output-state recognition done the slow, obvious way: the line compared with each of the
// 32 texts in turn, n = 1 on, 1 off, 2 on, ... The quick matcher must agree with it.

#include "link/Frames.h"

#include <optional>

inline std::optional<Frames::OutputState> referenceMatch(const QString &line, const QString &id)
{
    for (int n = 1; n <= Frames::maxOutputs; ++n) {
        for (const bool on : {true, false}) {
            if (line == Frames::outputStateLine(id, n, on))
                return Frames::OutputState{n, on};
        }
    }
    return std::nullopt;
}
