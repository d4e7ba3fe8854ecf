#pragma once

#include <cstdio>
#include <string>

// Bytes as readable text for failure messages: printable ASCII as itself, everything else as \xHH.
inline std::string Show(const std::string& Bytes) {
    std::string S;
    for (unsigned char C : Bytes) {
        char Hex[8];
        std::snprintf(Hex, sizeof Hex, "\\x%02x", C);
        S += (C > 32 && C < 127) ? std::string(1, static_cast<char>(C)) : Hex;
    }
    return S;
}
