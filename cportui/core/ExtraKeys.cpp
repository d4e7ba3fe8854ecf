#include "cportui/core/ExtraKeys.h"

std::string ExtraKeySequence(const TKeyStroke& K, bool AltSendsEscape) {
    static const struct {
        uint16_t Vk;
        const char* Seq;
    } Table[] = {
        {0x23, "\x1b[4~"},  {0x21, "\x1b[5~"},  {0x22, "\x1b[6~"},  {0x2D, "\x1b[2~"},  {0x2E, "\x1b[3~"},
        {0x70, "\x1bOP"},   {0x71, "\x1bOQ"},   {0x72, "\x1bOR"},   {0x73, "\x1bOS"},   {0x74, "\x1b[15~"},
        {0x75, "\x1b[17~"}, {0x76, "\x1b[18~"}, {0x77, "\x1b[19~"}, {0x78, "\x1b[20~"}, {0x79, "\x1b[21~"},
        {0x7A, "\x1b[23~"}, {0x7B, "\x1b[24~"},
    };
    for (const auto& T : Table)
        if (T.Vk == K.Vk) return T.Seq;
    if (K.Vk == 0x09 && K.Shift) return "\x1b[Z";
    if (K.Ctrl && !K.Alt) {
        // Ctrl+@ (the 2 key) and Ctrl+Space are NUL, Ctrl+^ (6) and Ctrl+_ (minus) their control
        // bytes, whatever the keyboard layout makes of the text.
        if (K.Vk == '2' || K.Vk == 0x20) return std::string(1, '\0');
        if (K.Vk == '6') return "\x1e";
        if (K.Vk == 0xBD) return "\x1f";
    }
    if (K.Alt && AltSendsEscape && !K.Text.empty()) return "\x1b" + K.Text;
    return std::string();
}

bool IsWindowShortcut(const TKeyStroke& K) {
    return K.Ctrl && K.Shift && !K.Alt && (K.Vk == 'C' || K.Vk == 'V' || K.Vk == 'A' || K.Vk == 'F');
}
