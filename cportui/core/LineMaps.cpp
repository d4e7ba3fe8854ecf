#include "cportui/core/LineMaps.h"

std::string TLineMaps::Incoming(std::string_view Bytes) const {
    std::string Out;
    Out.reserve(Bytes.size());
    for (char Ch : Bytes) {
        if (Ch == '\r' && DropCr) continue;
        if (Ch == '\n' && LfReturns) Out += '\r';
        Out += Ch;
    }
    return Out;
}

std::string TLineMaps::Key(char Ch) const {
    if (Ch == '\r') {
        switch (Enter) {
        case esCR:
            return "\r";
        case esLF:
            return "\n";
        case esCRLF:
            return "\r\n";
        case esAsTyped:
            break;
        }
    } else if (Ch == '\b' || Ch == '\x7f') {
        if (Backspace == bsBS) return "\b";
        if (Backspace == bsDEL) return "\x7f";
    }
    return std::string();
}

namespace {
constexpr const char* kEnter[] = {"as typed", "CR", "LF", "CR LF"};
constexpr const char* kBackspace[] = {"as typed", "BS", "DEL"};
} // namespace

const char* EnterName(TEnterSends Value) {
    return kEnter[Value];
}
bool ParseEnter(std::string_view Text, TEnterSends& Value) {
    return PickName(kEnter, Text, Value);
}
const char* BackspaceName(TBackspaceSends Value) {
    return kBackspace[Value];
}
bool ParseBackspace(std::string_view Text, TBackspaceSends& Value) {
    return PickName(kBackspace, Text, Value);
}
