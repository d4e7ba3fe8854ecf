#include "cportui/core/EscapeCodes.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace {

constexpr char Esc = '\x1b';

bool IsLetter(char C) {
    return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z');
}

struct TCharCode {
    char Ch;
    TEscapeCode Code;
};

// The code of Ch in Table, or Otherwise.
template <std::size_t N> TEscapeCode Lookup(const TCharCode (&Table)[N], char Ch, TEscapeCode Otherwise) {
    for (const TCharCode& Entry : Table)
        if (Entry.Ch == Ch) return Entry.Code;
    return Otherwise;
}

// VT52 sequences of one character after the ESC.
constexpr TCharCode VT52Single[] = {
    {'A', ecCursorUp},        {'B', ecCursorDown},    {'C', ecCursorRight},
    {'D', ecCursorLeft},      {'H', ecCursorHome},    {'I', ecReverseLineFeed},
    {'J', ecEraseScreenFrom}, {'K', ecEraseLineFrom}, {'Z', ecIdentify}};
// VT100 sequences of one character after the ESC ('#' and 'O' wait for a second one).
constexpr TCharCode VT100Single[] = {{'7', ecSaveCaretAndAttr}, {'8', ecRestoreCaretAndAttr},
                                     {'H', ecSetTab},           {'c', ecReset},
                                     {'#', ecNotCompleted},     {'O', ecNotCompleted}};
constexpr TCharCode VT100AppKeys[] = {
    {'A', ecAppCursorUp}, {'B', ecAppCursorDown}, {'C', ecAppCursorRight}, {'D', ecAppCursorLeft}};
// Control-sequence finals whose code does not depend on the parameters.
constexpr TCharCode VT100Finals[] = {{'A', ecCursorUp},        {'B', ecCursorDown}, {'C', ecCursorRight},
                                     {'D', ecCursorLeft},      {'H', ecCursorHome}, {'f', ecCursorMove},
                                     {'R', ecReportCursorPos}, {'m', ecAttributes}, {'h', ecSetMode},
                                     {'l', ecResetMode},       {'s', ecSaveCaret},  {'u', ecRestoreCaret}};
// Finals decided by the first character of the first parameter. "No parameter at all" is a value
// of its own, apart from every character (a NUL that opens a parameter included).
constexpr int NoParameter = -1;
struct TFirstCharCode {
    char Final;
    int First; // the character as unsigned char, or NoParameter
    TEscapeCode Code;
};
constexpr TFirstCharCode VT100ByFirst[] = {{'J', NoParameter, ecEraseScreenFrom},
                                           {'J', '0', ecEraseScreenFrom},
                                           {'J', '2', ecEraseScreen},
                                           {'K', NoParameter, ecEraseLineFrom},
                                           {'K', '0', ecEraseLineFrom},
                                           {'K', '2', ecEraseLine},
                                           {'g', NoParameter, ecClearTab},
                                           {'g', '0', ecClearTab},
                                           {'g', '3', ecClearAllTabs},
                                           {'n', '0', ecReportDeviceOK},
                                           {'n', '3', ecReportDeviceFailure},
                                           {'n', '5', ecQueryDevice},
                                           {'n', '6', ecQueryCursorPos}};

// What each code sends after the ESC; "%d" takes the next parameter value, nullptr sends nothing.
constexpr const char* VT52Texts[EscapeCodeCount] = {
    nullptr, nullptr, "A",     "B",     "D",     "C",     "H",     "Y%c%c", "I",
    nullptr, nullptr, nullptr, nullptr, "K",     "J",     nullptr, nullptr, nullptr,
    nullptr, nullptr, "Z",     "/Z",    nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
constexpr const char* VT100Texts[EscapeCodeCount] = {
    nullptr, nullptr, "[A",      "[B",  "[D",  "[C", "[H", "[%d;%df", nullptr, "OD",      "OC",  "OA",
    "OB",    "[K",    "[J",      "[2K", "[2J", "H",  "[g", "[3g",     "[c",    "[?1;%dc", "[5n", "[0n",
    "[3n",   "[6n",   "[%d;%dR", "[m",  "[h",  "[l", "c",  "7",       "8",     "[s",      "[u",  "#8"};

// Fills Text: "%d" takes the next parameter as a decimal number, "%c" as a VT52 position byte,
// the number plus 31 with the number clamped to 1..224 so the byte stays within 32..255.
std::string Render(const char* Text, const TEscapeParams* Params) {
    if (!Text) return {};
    std::string S(1, Esc);
    int Next = 1;
    for (const char* P = Text; *P; ++P) {
        if (*P != '%') {
            S += *P;
            continue;
        }
        int Value = TEscapeCodes::GetParam(Next++, Params);
        if (*++P == 'd')
            S += std::to_string(Value);
        else
            S += static_cast<char>(std::clamp(Value, 1, 224) + 31);
    }
    return S;
}

} // namespace

int TEscapeCodes::GetParam(int Num, const TEscapeParams* Params) {
    if (!Params || Num < 1 || static_cast<std::size_t>(Num) > Params->size()) return 1;
    const std::string& S = (*Params)[static_cast<std::size_t>(Num - 1)];
    const char* First = S.data();
    const char* Last = First + S.size();
    // from_chars takes a '-' but not a '+'; a '+' must be followed by a digit, not by a sign.
    if (First != Last && *First == '+') {
        ++First;
        if (First == Last || *First < '0' || *First > '9') return 1;
    }
    int Value = 0;
    auto [End, Error] = std::from_chars(First, Last, Value);
    if (Error != std::errc() || End != Last) return 1;
    return Value;
}

TEscapeResult TEscapeCodes::ProcessIdle(char Ch, bool& InEscape) {
    if (Ch == Esc) {
        FData.clear();
        InEscape = true;
        return erNothing;
    }
    FReceivedChar = Ch;
    return erChar;
}

TEscapeResult TEscapeCodes::Complete(TEscapeCode Code, bool& InEscape) {
    if (Code == ecNotCompleted) return erNothing;
    FCode = Code;
    InEscape = false;
    return erCode;
}

TEscapeResult TEscapeCodesVT52::ProcessChar(char Ch) {
    if (!FInEscape) return ProcessIdle(Ch, FInEscape);
    FData.push_back(Ch);
    return Complete(DetectCode(FData), FInEscape);
}

TEscapeCode TEscapeCodesVT52::DetectCode(const std::string& Str) {
    if (Str[0] == 'Y') {
        if (Str.size() < 3) return ecNotCompleted;
        // Bytes are unsigned: a line byte of 0xC8 is line 169, never a negative number.
        FParameters.push_back(std::to_string(static_cast<unsigned char>(Str[1]) - 31));
        FParameters.push_back(std::to_string(static_cast<unsigned char>(Str[2]) - 31));
        return ecCursorMove;
    }
    if (Str[0] == '/') {
        if (Str.size() < 2) return ecNotCompleted;
        return Str[1] == 'Z' ? ecIdentResponse : ecUnknown;
    }
    return Lookup(VT52Single, Str[0], ecUnknown);
}

std::string TEscapeCodesVT52::EscCodeToStr(TEscapeCode Code, const TEscapeParams* Params) const {
    return Code < EscapeCodeCount ? Render(VT52Texts[Code], Params) : std::string();
}

TEscapeResult TEscapeCodesVT100::ProcessChar(char Ch) {
    if (!FInEscape) return ProcessIdle(Ch, FInEscape);
    FData.push_back(Ch);
    TEscapeCode Code;
    if (FInControlSequence) {
        Code = DetectExtCode(FData);
    } else if (FData[0] == '[') {
        FInControlSequence = true;
        Code = ecNotCompleted;
    } else {
        Code = DetectCode(FData);
    }
    TEscapeResult Result = Complete(Code, FInEscape);
    if (Result == erCode) FInControlSequence = false;
    return Result;
}

TEscapeCode TEscapeCodesVT100::DetectCode(const std::string& Str) const {
    if (Str.size() == 1) return Lookup(VT100Single, Str[0], ecUnknown);
    if (Str == "#8") return ecTest;
    if (Str[0] == 'O') return Lookup(VT100AppKeys, Str[1], ecUnknown);
    return ecUnknown;
}

TEscapeParams TEscapeCodesVT100::SplitParameters(const std::string& Body) {
    TEscapeParams List;
    std::string Token;
    for (char C : Body) {
        if (C == ';' && !Token.empty()) {
            List.push_back(std::move(Token));
            Token.clear();
        } else {
            Token.push_back(C);
        }
    }
    if (!Token.empty()) List.push_back(std::move(Token));
    return List;
}

TEscapeCode TEscapeCodesVT100::DetectExtCode(const std::string& Str) {
    char Final = Str.back();
    if (!IsLetter(Final)) return Str.size() >= MaxDataLength ? ecUnknown : ecNotCompleted;

    TEscapeParams List = SplitParameters(Str.substr(1, Str.size() - 2));
    TEscapeCode Code = Lookup(VT100Finals, Final, ecUnknown);
    if (std::strchr("JKgn", Final)) {
        // Only the first character of the first parameter decides ("20" like "2"), and the code
        // goes out without parameters.
        const int First = List.empty() ? NoParameter : static_cast<unsigned char>(List[0][0]);
        for (const TFirstCharCode& Entry : VT100ByFirst)
            if (Entry.Final == Final && Entry.First == First) Code = Entry.Code;
        List.clear();
    } else if (Final == 'c') {
        if (List.empty() || (List.size() == 1 && List[0] == "0"))
            Code = ecIdentify;
        else if (List.size() == 2 && List[0] == "?1")
            Code = ecIdentResponse;
    }
    FParameters = std::move(List);
    return Code;
}

std::string TEscapeCodesVT100::EscCodeToStr(TEscapeCode Code, const TEscapeParams* Params) const {
    return Code < EscapeCodeCount ? Render(VT100Texts[Code], Params) : std::string();
}

std::string EscapeCodeName(TEscapeCode Code) {
    static const char* const Names[EscapeCodeCount] = {"ecUnknown",
                                                       "ecNotCompleted",
                                                       "ecCursorUp",
                                                       "ecCursorDown",
                                                       "ecCursorLeft",
                                                       "ecCursorRight",
                                                       "ecCursorHome",
                                                       "ecCursorMove",
                                                       "ecReverseLineFeed",
                                                       "ecAppCursorLeft",
                                                       "ecAppCursorRight",
                                                       "ecAppCursorUp",
                                                       "ecAppCursorDown",
                                                       "ecEraseLineFrom",
                                                       "ecEraseScreenFrom",
                                                       "ecEraseLine",
                                                       "ecEraseScreen",
                                                       "ecSetTab",
                                                       "ecClearTab",
                                                       "ecClearAllTabs",
                                                       "ecIdentify",
                                                       "ecIdentResponse",
                                                       "ecQueryDevice",
                                                       "ecReportDeviceOK",
                                                       "ecReportDeviceFailure",
                                                       "ecQueryCursorPos",
                                                       "ecReportCursorPos",
                                                       "ecAttributes",
                                                       "ecSetMode",
                                                       "ecResetMode",
                                                       "ecReset",
                                                       "ecSaveCaretAndAttr",
                                                       "ecRestoreCaretAndAttr",
                                                       "ecSaveCaret",
                                                       "ecRestoreCaret",
                                                       "ecTest"};
    return Code < EscapeCodeCount ? Names[Code] : "";
}
