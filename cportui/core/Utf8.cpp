#include "cportui/core/Utf8.h"

int TUtf8Decoder::Feed(unsigned char B, char32_t Out[2]) {
    int N = 0;
    if (FNeed > 0) {
        if ((B & 0xC0) == 0x80) {
            FCode = FCode << 6 | (B & 0x3F);
            if (--FNeed > 0) return 0;
            const bool Valid = FCode >= FMin && FCode <= 0x10FFFF && !(FCode >= 0xD800 && FCode <= 0xDFFF);
            Out[0] = Valid ? FCode : Replacement;
            return 1;
        }
        FNeed = 0;
        Out[N++] = Replacement; // cut short: the byte starts afresh
    }
    if (B < 0x80) {
        Out[N++] = B;
    } else if (B >= 0xC2 && B <= 0xDF) {
        FNeed = 1, FCode = B & 0x1F, FMin = 0x80;
    } else if (B >= 0xE0 && B <= 0xEF) {
        FNeed = 2, FCode = B & 0x0F, FMin = 0x800;
    } else if (B >= 0xF0 && B <= 0xF4) {
        FNeed = 3, FCode = B & 0x07, FMin = 0x10000;
    } else {
        Out[N++] = Replacement;
    }
    return N;
}

void AppendUtf8(std::string& Out, char32_t Code) {
    if (Code > 0x10FFFF || (Code >= 0xD800 && Code <= 0xDFFF)) Code = TUtf8Decoder::Replacement;
    if (Code < 0x80) {
        Out += static_cast<char>(Code);
        return;
    }
    char Bytes[4];
    int N = Code < 0x800 ? 2 : Code < 0x10000 ? 3 : 4;
    for (int I = N - 1; I > 0; --I, Code >>= 6)
        Bytes[I] = static_cast<char>(0x80 | (Code & 0x3F));
    static const unsigned char Lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
    Bytes[0] = static_cast<char>(Lead[N] | Code);
    Out.append(Bytes, static_cast<std::size_t>(N));
}
