#include "cportui/core/CPortEsc.h"

#include "cportui_core/ShowBytes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

const std::string E = "\x1b";
const std::string Long256(256, '1');

std::string Join(const TEscapeParams& List) {
    std::string S;
    for (const std::string& P : List)
        S += (S.empty() ? "" : "|") + Show(P);
    return S;
}

// Feeds Bytes, cut at Split, and writes every result as a token: text as its byte, a completed
// sequence as ecName(parameters)"data", and a trailing "open" for a sequence left open. A byte
// taken into a sequence writes nothing, so an early or missing completion shows as a wrong token.
// Between the two parts the parser renders a code, as a terminal answering a key press would.
template <typename TParser> std::string Feed(TParser& Parser, const std::string& Bytes, std::size_t Split) {
    std::string Out;
    for (std::size_t I = 0; I < Bytes.size(); ++I) {
        if (I == Split) {
            TEscapeParams P{"7", "9"};
            (void)Parser.EscCodeToStr(ecCursorMove, &P);
        }
        TEscapeParams Before = Parser.Parameters();
        std::string Token;
        switch (Parser.ProcessChar(Bytes[I])) {
        case erChar:
            EXPECT_EQ(Parser.ReceivedChar(), Bytes[I]);
            Token = Show(std::string(1, Parser.ReceivedChar()));
            break;
        case erCode:
            EXPECT_FALSE(Parser.InEscape());
            EXPECT_NE(Parser.Code(), ecNotCompleted);
            Token = EscapeCodeName(Parser.Code()) + "(" + Join(Parser.Parameters()) + ")\"" +
                    Show(Parser.Data()) + "\"";
            break;
        case erNothing:
            EXPECT_EQ(Parser.Parameters(), Before) << "an open sequence changed the parameters";
            EXPECT_TRUE(Parser.InEscape());
            break;
        }
        if (!Token.empty()) Out += (Out.empty() ? "" : " ") + Token;
    }
    if (Parser.InEscape()) Out += Out.empty() ? "open" : " open";
    return Out;
}

struct TParseRow {
    std::string In, Out;
};

// Every row is fed whole and cut at every byte boundary, each time through one fresh parser.
template <typename TParser> void RunTable(const std::vector<TParseRow>& Rows) {
    for (const TParseRow& Row : Rows) {
        for (std::size_t Split = 0; Split <= Row.In.size(); ++Split) {
            TParser Parser;
            ASSERT_EQ(Feed(Parser, Row.In, Split), Row.Out)
                << "input " << Show(Row.In) << " cut at " << Split;
        }
    }
}

TEST(EscapeCodesVT52, Table) {
    RunTable<TEscapeCodesVT52>({
        {"AB\r\n\b\t\x07\xc8", R"-(A B \x0d \x0a \x08 \x09 \x07 \xc8)-"},
        {E + "A" + E + "B" + E + "C" + E + "D",
         R"-(ecCursorUp()"A" ecCursorDown()"B" ecCursorRight()"C" ecCursorLeft()"D")-"},
        {E + "H" + E + "I" + E + "J" + E + "K" + E + "Z",
         R"-(ecCursorHome()"H" ecReverseLineFeed()"I" ecEraseScreenFrom()"J" ecEraseLineFrom()"K" ecIdentify()"Z")-"},
        {E + "Y  x", R"-(ecCursorMove(1|1)"Y\x20\x20" x)-"},
        {E + "Y#(", R"-(ecCursorMove(4|9)"Y#(")-"},
        // Line and column bytes are unsigned; ESC and controls are taken as positions too.
        {E + "Y\xc8\xff", R"-(ecCursorMove(169|224)"Y\xc8\xff")-"},
        {E + "Y\x1b\x1f", R"-(ecCursorMove(-4|0)"Y\x1b\x1f")-"},
        {E + "Y", "open"},
        {E + "Y!", "open"},
        // The list grows until its reader empties it.
        {E + "Y  " + E + "Y!!" + E + "A",
         R"-(ecCursorMove(1|1)"Y\x20\x20" ecCursorMove(1|1|2|2)"Y!!" ecCursorUp(1|1|2|2)"A")-"},
        {E + "/Z", R"-(ecIdentResponse()"/Z")-"},
        {E + "/A", R"-(ecUnknown()"/A")-"},
        {E + "/", "open"},
        {E + "Q" + E + "[", R"-(ecUnknown()"Q" ecUnknown()"[")-"},
        {E + E + "A", R"-(ecUnknown()"\x1b" A)-"},
        {"x" + E + "Ay", R"-(x ecCursorUp()"A" y)-"},
    });
}

TEST(EscapeCodesVT100, Table) {
    std::string Bound = E + "[" + Long256;
    const std::string Nul(1, '\0');
    RunTable<TEscapeCodesVT100>({
        {"AB\r\n\b\t\x07\xc8", R"-(A B \x0d \x0a \x08 \x09 \x07 \xc8)-"},
        {E + "[5;10H" + E + "[H" + E + "[5;10f",
         R"-(ecCursorHome(5|10)"[5;10H" ecCursorHome()"[H" ecCursorMove(5|10)"[5;10f")-"},
        {E + "[A" + E + "[3B" + E + "[C" + E + "[12D",
         R"-(ecCursorUp()"[A" ecCursorDown(3)"[3B" ecCursorRight()"[C" ecCursorLeft(12)"[12D")-"},
        // J, K, g and n: the first character of the first parameter decides, no parameters go out.
        {E + "[J" + E + "[0J" + E + "[2J" + E + "[20J" + E + "[1J" + E + "[;5J",
         R"-(ecEraseScreenFrom()"[J" ecEraseScreenFrom()"[0J" ecEraseScreen()"[2J" ecEraseScreen()"[20J" ecUnknown()"[1J" ecUnknown()"[;5J")-"},
        {E + "[K" + E + "[0K" + E + "[2K" + E + "[1K",
         R"-(ecEraseLineFrom()"[K" ecEraseLineFrom()"[0K" ecEraseLine()"[2K" ecUnknown()"[1K")-"},
        {E + "[g" + E + "[0g" + E + "[3g" + E + "[2g",
         R"-(ecClearTab()"[g" ecClearTab()"[0g" ecClearAllTabs()"[3g" ecUnknown()"[2g")-"},
        // A NUL opening the parameter is a character like any other, not "no parameter".
        {E + "[" + Nul + "J" + E + "[" + Nul + "K" + E + "[" + Nul + "g" + E + "[00J",
         R"-(ecUnknown()"[\x00J" ecUnknown()"[\x00K" ecUnknown()"[\x00g" ecEraseScreenFrom()"[00J")-"},
        {E + "[0n" + E + "[3n" + E + "[5n" + E + "[6n" + E + "[7n" + E + "[n",
         R"-(ecReportDeviceOK()"[0n" ecReportDeviceFailure()"[3n" ecQueryDevice()"[5n" ecQueryCursorPos()"[6n" ecUnknown()"[7n" ecUnknown()"[n")-"},
        {E + "[c" + E + "[0c" + E + "[?1;2c" + E + "[1c" + E + "[?1c" + E + "[?1;2;3c",
         R"-(ecIdentify()"[c" ecIdentify(0)"[0c" ecIdentResponse(?1|2)"[?1;2c" ecUnknown(1)"[1c" ecUnknown(?1)"[?1c" ecUnknown(?1|2|3)"[?1;2;3c")-"},
        {E + "[3;7R" + E + "[0;1;7m" + E + "[m" + E + "[?1h" + E + "[?3l" + E + "[s" + E + "[u",
         R"-(ecReportCursorPos(3|7)"[3;7R" ecAttributes(0|1|7)"[0;1;7m" ecAttributes()"[m" ecSetMode(?1)"[?1h" ecResetMode(?3)"[?3l" ecSaveCaret()"[s" ecRestoreCaret()"[u")-"},
        // Splitting at ';': a ';' that would start a token is kept in it.
        {E + "[;5H" + E + "[1;;2H" + E + "[1;H",
         R"-(ecCursorHome(;5)"[;5H" ecCursorHome(1|;2)"[1;;2H" ecCursorHome(1)"[1;H")-"},
        // An unknown final still replaces the parameters; an open sequence leaves them alone.
        {E + "[1;2x" + E + "[12;3", R"-(ecUnknown(1|2)"[1;2x" open)-"},
        {E + "[1;2m" + E + "[3m" + E + "[2J",
         R"-(ecAttributes(1|2)"[1;2m" ecAttributes(3)"[3m" ecEraseScreen()"[2J")-"},
        // Non-letters, ESC included, stay inside a control sequence.
        {E + "[1\r2m", R"-(ecAttributes(1\x0d2)"[1\x0d2m")-"},
        {E + "[" + E + "[2J", R"-(ecUnknown()"[\x1b[2J")-"},
        {E + "7" + E + "8" + E + "H" + E + "c" + E + "Z",
         R"-(ecSaveCaretAndAttr()"7" ecRestoreCaretAndAttr()"8" ecSetTab()"H" ecReset()"c" ecUnknown()"Z")-"},
        {E + "#8" + E + "#3" + E + "OA" + E + "OB" + E + "OC" + E + "OD" + E + "Ox",
         R"-(ecTest()"#8" ecUnknown()"#3" ecAppCursorUp()"OA" ecAppCursorDown()"OB" ecAppCursorRight()"OC" ecAppCursorLeft()"OD" ecUnknown()"Ox")-"},
        {E + "#", "open"},
        {E + "O", "open"},
        {E + E + "A", R"-(ecUnknown()"\x1b" A)-"},
        // The bound: 257 characters after the ESC end an open sequence; a letter there still counts.
        {E + "[" + Long256.substr(1) + "m",
         "ecAttributes(" + Long256.substr(1) + ")\"[" + Long256.substr(1) + "m\""},
        {Bound + "mA", "ecUnknown()\"[" + Long256 + "\" m A"},
        {Bound + E + "[H", "ecUnknown()\"[" + Long256 + "\" ecCursorHome()\"[H\""},
    });
}

TEST(EscapeCodes, GetParam) {
    struct {
        TEscapeParams List;
        int Num, Value;
    } Rows[] = {
        {{"0"}, 1, 0},
        {{"x"}, 1, 1},
        {{"5", "10"}, 2, 10},
        {{"5", "10"}, 3, 1},
        {{"5"}, 0, 1},
        {{"-5"}, 1, -5},
        {{"+7"}, 1, 7},
        {{"+-7"}, 1, 1},
        {{"+"}, 1, 1},
        {{""}, 1, 1},
        {{" 5"}, 1, 1},
        {{"5 "}, 1, 1},
        {{"?1"}, 1, 1},
        {{"0x10"}, 1, 1},
        {{"2147483647"}, 1, 2147483647},
        {{"2147483648"}, 1, 1},
        {{"-2147483648"}, 1, -2147483647 - 1},
        {{"-2147483649"}, 1, 1},
        {{"99999999999999999999"}, 1, 1},
    };
    for (const auto& Row : Rows)
        EXPECT_EQ(TEscapeCodes::GetParam(Row.Num, &Row.List), Row.Value) << Join(Row.List) << " #" << Row.Num;
    EXPECT_EQ(TEscapeCodes::GetParam(1, nullptr), 1);
}

TEST(EscapeCodes, RenderedBytes) {
    TEscapeCodesVT52 VT52;
    TEscapeCodesVT100 VT100;
    TEscapeParams Move{"5", "10"}, Two{"2"}, Extremes{"0", "300"}, Odd{"-7", "x"};
    struct {
        const TEscapeCodes& Parser;
        TEscapeCode Code;
        const TEscapeParams* Params;
        std::string Bytes;
    } Rows[] = {
        {VT100, ecCursorMove, &Move, E + "[5;10f"},
        {VT100, ecCursorMove, nullptr, E + "[1;1f"},
        {VT100, ecIdentResponse, &Two, E + "[?1;2c"},
        {VT100, ecReportCursorPos, &Move, E + "[5;10R"},
        {VT100, ecAttributes, &Move, E + "[m"},
        {VT100, ecReverseLineFeed, nullptr, ""},
        {VT52, ecCursorMove, nullptr, E + "Y  "},
        {VT52, ecCursorMove, &Move, E + "Y$)"},
        // Positions outside 1..224 are clamped, so the byte stays within 32..255.
        {VT52, ecCursorMove, &Extremes, E + "Y \xff"},
        {VT52, ecCursorMove, &Odd, E + "Y  "},
        {VT52, ecAppCursorUp, nullptr, ""},
        {VT52, ecEraseScreen, nullptr, ""},
    };
    for (const auto& Row : Rows)
        EXPECT_EQ(Show(Row.Parser.EscCodeToStr(Row.Code, Row.Params)), Show(Row.Bytes))
            << Row.Parser.ClassName() << " " << EscapeCodeName(Row.Code);
}

// Every code a dialect renders parses back to itself through the same dialect, with the values.
template <typename TParser> std::vector<TEscapeCode> RoundTrip(const TEscapeParams& Params, int P1, int P2) {
    std::vector<TEscapeCode> Rendered;
    for (int C = 0; C < EscapeCodeCount; ++C) {
        TEscapeCode Code = static_cast<TEscapeCode>(C);
        TParser Parser;
        std::string Bytes = Parser.EscCodeToStr(Code, &Params);
        if (Bytes.empty()) continue;
        Rendered.push_back(Code);
        for (std::size_t I = 0; I < Bytes.size(); ++I)
            EXPECT_EQ(Parser.ProcessChar(Bytes[I]), I + 1 < Bytes.size() ? erNothing : erCode)
                << Parser.ClassName() << " " << EscapeCodeName(Code) << " byte " << I;
        EXPECT_EQ(Parser.Code(), Code) << Show(Bytes);
        if (Code == ecCursorMove || Code == ecReportCursorPos) {
            EXPECT_EQ(TEscapeCodes::GetParam(1, &Parser.Parameters()), P1) << Show(Bytes);
            EXPECT_EQ(TEscapeCodes::GetParam(2, &Parser.Parameters()), P2) << Show(Bytes);
        }
        if (Code == ecIdentResponse && Parser.Data()[0] == '[') {
            EXPECT_EQ(Parser.Parameters(), (TEscapeParams{"?1", std::to_string(P1)}));
        }
    }
    return Rendered;
}

TEST(EscapeCodes, RenderParseRoundTrip) {
    std::vector<TEscapeCode> VT52 = {ecCursorUp,        ecCursorDown, ecCursorLeft,      ecCursorRight,
                                     ecCursorHome,      ecCursorMove, ecReverseLineFeed, ecEraseLineFrom,
                                     ecEraseScreenFrom, ecIdentify,   ecIdentResponse};
    EXPECT_EQ(RoundTrip<TEscapeCodesVT52>({"5", "10"}, 5, 10), VT52);
    EXPECT_EQ(RoundTrip<TEscapeCodesVT52>({"224", "1"}, 224, 1), VT52);
    std::vector<TEscapeCode> VT100;
    for (int C = ecCursorUp; C < EscapeCodeCount; ++C)
        if (C != ecReverseLineFeed) VT100.push_back(static_cast<TEscapeCode>(C));
    EXPECT_EQ(RoundTrip<TEscapeCodesVT100>({"5", "10"}, 5, 10), VT100);
    EXPECT_EQ(RoundTrip<TEscapeCodesVT100>({"-3", "70000"}, -3, 70000), VT100);
}

} // namespace
