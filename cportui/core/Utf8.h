#pragma once

// A UTF-8 decoder fed one byte at a time, as a terminal receives them: a sequence split over reads
// decodes the same. Invalid input (a stray continuation byte, an overlong form, a surrogate, a
// code point above U+10FFFF, a sequence cut short) becomes U+FFFD; a byte that cuts a sequence
// short is then read afresh.

#include <cstdint>
#include <string>

class TUtf8Decoder {
  public:
    static constexpr char32_t Replacement = 0xFFFD;
    // Takes one byte; writes 0, 1 or 2 code points to Out and returns how many.
    int Feed(unsigned char Byte, char32_t Out[2]);
    bool Pending() const { return FNeed > 0; }
    void Reset() { FNeed = 0; }

  private:
    int FNeed = 0;
    char32_t FCode = 0, FMin = 0;
};

// Appends Code as UTF-8 (a code point that has no encoding appends U+FFFD).
void AppendUtf8(std::string& Out, char32_t Code);
