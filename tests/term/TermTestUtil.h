#pragma once

// Helpers of the terminal window's tests: waiting while the Qt event loop runs, and screen rows.

#include "cportui/CPortCtl.h"

#include <QTest>

#include <chrono>
#include <functional>
#include <string>

// Serves the event loop until Done holds or Ms pass; false on time-out.
inline bool Within(const std::function<bool()>& Done, int Ms = 5000) {
    const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
    while (!Done()) {
        if (std::chrono::steady_clock::now() > End) return false;
        QTest::qWait(5);
    }
    return true;
}

// The characters of row Y of the terminal's screen, empty cells left out.
inline std::string Row(TComTerminal& T, int Y) {
    std::string S;
    for (int X = 1; X <= T.Columns(); ++X)
        if (char C = T.Buffer().GetChar(X, Y).CharCode) S += C;
    return S;
}
