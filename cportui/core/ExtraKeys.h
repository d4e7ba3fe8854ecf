#pragma once

// Keys beyond the VT100 table, as VT220- and xterm-style hosts expect them: End, Page Up/Down,
// Insert, Delete, F1–F12, Shift+Tab, Ctrl+@ (and Ctrl+Space) as NUL, and Alt+key as ESC and the
// key. The terminal's own key rules are the default; a terminal that turns the table on asks it
// first for every key.

#include <cstdint>
#include <string>

struct TKeyStroke {
    uint16_t Vk = 0; // the key's virtual-key code
    bool Shift = false, Ctrl = false, Alt = false;
    std::string Text; // what the key types without Alt (UTF-8), if anything
};

// What the stroke sends with the extra table; empty when the table has nothing for it (the
// terminal's own rules apply then). AltSendsEscape: Alt with a typing key sends ESC first.
std::string ExtraKeySequence(const TKeyStroke& Key, bool AltSendsEscape);

// Ctrl+Shift+C, V, A and F: copy, paste, select all and find in a terminal window, never sent.
bool IsWindowShortcut(const TKeyStroke& Key);
