// The extra key table: what each key sends, and what stays with the terminal's own rules.

#include "cportui/core/ExtraKeys.h"

#include <gtest/gtest.h>

static TKeyStroke K(uint16_t Vk, bool Shift = false, bool Ctrl = false, bool Alt = false,
                    std::string Text = "") {
    TKeyStroke S;
    S.Vk = Vk;
    S.Shift = Shift;
    S.Ctrl = Ctrl;
    S.Alt = Alt;
    S.Text = std::move(Text);
    return S;
}

TEST(ExtraKeys, SequencesAndWhatIsLeftAlone) {
    struct Row {
        TKeyStroke key;
        bool altEsc;
        std::string sends;
    };
    const Row rows[] = {
        {K(0x23), false, "\x1b[4~"},
        {K(0x21), false, "\x1b[5~"},
        {K(0x2E), false, "\x1b[3~"},
        {K(0x70), false, "\x1bOP"},
        {K(0x7B), false, "\x1b[24~"},
        {K(0x09, true), false, "\x1b[Z"},
        {K(0x09), false, ""},                              // Tab types itself
        {K('2', true, true), false, std::string(1, '\0')}, // Ctrl+@
        {K(0x20, false, true), false, std::string(1, '\0')},
        {K('6', true, true), false, "\x1e"},
        {K(0xBD, true, true), false, "\x1f"},
        {K('X', false, false, true, "x"), true, "\x1bx"},
        {K('X', false, false, true, "x"), false, ""}, // Alt left to the window
        {K('A', false, false, false, "a"), true, ""}, // plain typing: the terminal's rules
        {K(0x24), false, ""},                         // Home: the VT100 table's
    };
    for (const Row& r : rows)
        EXPECT_EQ(ExtraKeySequence(r.key, r.altEsc), r.sends) << r.key.Vk;
    EXPECT_TRUE(IsWindowShortcut(K('C', true, true)));
    EXPECT_TRUE(IsWindowShortcut(K('V', true, true)));
    EXPECT_FALSE(IsWindowShortcut(K('C', false, true)));
}
