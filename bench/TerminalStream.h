#pragma once

#include <cstdint>
#include <string>

// 4 MiB of what a device typically prints to a VT100 terminal: text lines that scroll the
// screen, cursor positioning, attributes on and off, erases and tabs. Deterministic.
inline const std::string& MixedVt100Stream() {
    static const std::string Stream = [] {
        const std::string E = "\x1b";
        std::string S;
        uint32_t Seed = 12345;
        auto Next = [&Seed] { return Seed = Seed * 1103515245u + 12345u, (Seed >> 16) & 0x7FFF; };
        for (int Line = 0; S.size() < (4u << 20); ++Line) {
            switch (Line % 8) {
            case 0:
                S += E + "[" + std::to_string(1 + Next() % 24) + ";" + std::to_string(1 + Next() % 60) + "H";
                break;
            case 1:
                S += E + "[1m" + "status " + std::to_string(Next()) + E + "[0m";
                break;
            case 2:
                S += "\tcol\tcol\tcol";
                break;
            case 3:
                S += E + "[K";
                break;
            case 4:
                S += E + "[7m inverse " + E + "[27m" + E + "[4munder" + E + "[24m";
                break;
            default:
                break;
            }
            const int Len = 20 + static_cast<int>(Next() % 50);
            for (int I = 0; I < Len; ++I)
                S += static_cast<char>(' ' + Next() % 95);
            S += "\r\n";
            if (Line % 500 == 499) S += E + "[2J" + E + "[H";
        }
        return S;
    }();
    return Stream;
}
