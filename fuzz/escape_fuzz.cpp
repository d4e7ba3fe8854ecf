// Feeds arbitrary bytes to both escape parsers. Beyond not crashing, it checks what the terminal
// relies on: a code is only ever delivered complete and leaves the parser idle, an open sequence
// never collects more than the bound, and every code a parser renders parses back to itself.

#include "cportui/core/CPortEsc.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

// Renders Code with Params and feeds the bytes to a fresh parser of the same dialect: the last
// byte, and only it, completes the same code, and a cursor position keeps its values (VT52 within
// the line and column bytes it can carry).
template <typename TParser>
void CheckRender(const TParser& Parser, TEscapeCode Code, const TEscapeParams& Params) {
    std::string Bytes = Parser.EscCodeToStr(Code, &Params);
    if (Bytes.empty()) return;
    TParser Back;
    for (std::size_t I = 0; I < Bytes.size(); ++I)
        Check(Back.ProcessChar(Bytes[I]) == (I + 1 < Bytes.size() ? erNothing : erCode));
    Check(Back.Code() == Code);
    if (Code != ecCursorMove && Code != ecReportCursorPos) return;
    for (int N = 1; N <= 2; ++N) {
        int Sent = TEscapeCodes::GetParam(N, &Params), Got = TEscapeCodes::GetParam(N, &Back.Parameters());
        Check(Got == (Bytes[1] == 'Y' ? std::clamp(Sent, 1, 224) : Sent));
    }
}

template <typename TParser> void FuzzDialect(std::string_view Bytes, std::size_t MaxData) {
    TParser Parser;
    for (char Ch : Bytes) {
        TEscapeResult Result = Parser.ProcessChar(Ch);
        Check(Parser.Data().size() <= MaxData);
        switch (Result) {
        case erChar:
            Check(Parser.ReceivedChar() == Ch && !Parser.InEscape());
            break;
        case erNothing:
            Check(Parser.InEscape());
            break;
        case erCode:
            Check(!Parser.InEscape() && Parser.Code() != ecNotCompleted && Parser.Code() < EscapeCodeCount);
            CheckRender(Parser, Parser.Code(), Parser.Parameters());
            // As the terminal does once it has handled a code.
            Parser.Parameters().clear();
            break;
        default:
            Check(false);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::string_view Bytes(reinterpret_cast<const char*>(data), size);
    FuzzDialect<TEscapeCodesVT52>(Bytes, 3);
    FuzzDialect<TEscapeCodesVT100>(Bytes, TEscapeCodes::MaxDataLength);
    return 0;
}
