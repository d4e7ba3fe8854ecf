#pragma once

// When tolvane-term asks before it sends a paste: more than 1000 bytes, or more than one line (a
// line end with text after it), since either may run commands on the far end the user did not
// mean to run.

#include <string>

inline bool PasteAsksFirst(const std::string& Text) {
    if (Text.size() > 1000) return true;
    const std::size_t End = Text.find_first_of("\r\n");
    if (End == std::string::npos) return false;
    const std::size_t Next = Text.find_first_not_of("\r\n", End);
    return Next != std::string::npos;
}
