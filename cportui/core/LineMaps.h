#pragma once

// Line-end and key maps a serial terminal offers beside the terminal's own AppendLF and SendLF
// rules: many devices send a bare LF (the screen shows a staircase) or CR LF pairs that should show
// as one line end, and many expect Enter as LF or CR LF and Backspace as DEL. All off by default;
// off, bytes pass as they are.

#include <cstddef>
#include <string>
#include <string_view>

enum TEnterSends : unsigned char { esAsTyped, esCR, esLF, esCRLF };
enum TBackspaceSends : unsigned char { bsAsTyped, bsBS, bsDEL };

struct TLineMaps {
    bool LfReturns = false; // a received LF also returns the carriage (shown as CR LF)
    bool DropCr = false;    // every received CR is dropped
    TEnterSends Enter = esAsTyped;
    TBackspaceSends Backspace = bsAsTyped;

    bool Identity() const { return !LfReturns && !DropCr && Enter == esAsTyped && Backspace == bsAsTyped; }
    // Received bytes as they are to be shown.
    std::string Incoming(std::string_view Bytes) const;
    // What one typed character sends: Enter is CR, Backspace BS or DEL as typed; the empty text
    // when the character is not mapped (it goes as it is).
    std::string Key(char Ch) const;

    bool operator==(const TLineMaps&) const = default;
};

// The names kept in settings files and shown in menus ("CR", "LF", "CR LF"; "BS", "DEL"); the
// parse functions return false for any other text.
const char* EnterName(TEnterSends Value);
bool ParseEnter(std::string_view Text, TEnterSends& Value);
const char* BackspaceName(TBackspaceSends Value);
bool ParseBackspace(std::string_view Text, TBackspaceSends& Value);

// The index of Text among Names as an enum value; false when it is none of them.
template <class E, std::size_t N>
bool PickName(const char* const (&Names)[N], std::string_view Text, E& Value) {
    for (std::size_t I = 0; I < N; ++I)
        if (Text == Names[I]) {
            Value = static_cast<E>(I);
            return true;
        }
    return false;
}
