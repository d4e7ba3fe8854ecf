// UTF-8 decoding byte by byte, and on the terminal's screen.

#include "cportui/core/ComTerminalCore.h"
#include "cportui/core/Utf8.h"

#include <gtest/gtest.h>

namespace {
std::u32string Decode(const std::string& Bytes) {
    TUtf8Decoder D;
    std::u32string Out;
    for (char B : Bytes) {
        char32_t C[2];
        const int N = D.Feed(static_cast<unsigned char>(B), C);
        Out.append(C, static_cast<std::size_t>(N));
    }
    if (D.Pending()) Out += U'?'; // an open sequence at the end shows as still waiting
    return Out;
}
} // namespace

TEST(Utf8, ValidInvalidAndOverlong) {
    const std::pair<std::string, std::u32string> rows[] = {
        {"21.5\xc2\xb0"
         "C",
         U"21.5\u00b0C"},
        {"\xe2\x82\xac\xf0\x9f\x98\x80", U"\u20ac\U0001F600"},
        {"\xe4\xb8\xad", U"\u4e2d"},
        {"\x80"
         "a",
         U"\ufffda"},                    // stray continuation
        {"\xc0\xaf", U"\ufffd\ufffd"},   // overlong '/' (C0 never starts)
        {"\xe0\x80\xaf", U"\ufffd"},     // overlong in three bytes
        {"\xed\xa0\x80", U"\ufffd"},     // surrogate
        {"\xf4\x90\x80\x80", U"\ufffd"}, // above U+10FFFF
        {"\xe2\x82"
         "x",
         U"\ufffdx"},                          // cut short by ASCII
        {"\xe2\x82\xc2\xb0", U"\ufffd\u00b0"}, // cut short by a new sequence
        {"\xff", U"\ufffd"},
        {"\xe2\x82", U"?"}, // still waiting
    };
    for (const auto& [bytes, want] : rows)
        EXPECT_TRUE(Decode(bytes) == want) << testing::PrintToString(bytes);
}

TEST(Utf8, TerminalShowsCodePointsSplitAtEveryByteAndStays8BitByDefault) {
    const std::string Bytes = "T=21\xc2\xb0"
                              "C \xe2\x82\xac\x80!";
    const std::u32string Shown = U"T=21\u00b0C \u20ac\ufffd!";
    for (std::size_t Cut = 0; Cut <= Bytes.size(); ++Cut) {
        TComTerminalCore T;
        T.SetUtf8(true);
        int Chars = 0;
        T.SetOnChar([&](TObject*, char) { ++Chars; });
        T.StringReceived(Bytes.substr(0, Cut));
        T.StringReceived(Bytes.substr(Cut));
        std::u32string Got;
        for (int X = 1; X <= static_cast<int>(Shown.size()); ++X) {
            const TComTermChar C = T.Buffer().GetChar(X, 1);
            Got += C.Code ? C.Code : static_cast<char32_t>(static_cast<unsigned char>(C.CharCode));
        }
        ASSERT_TRUE(Got == Shown) << Cut;
        ASSERT_EQ(Chars, static_cast<int>(Bytes.size())) << "handlers see every byte";
    }
    TComTerminalCore Plain;
    Plain.StringReceived("\xc2\xb0"
                         "C");
    EXPECT_EQ(Plain.Buffer().GetChar(1, 1).CharCode, 'C') << "8-bit: bytes above 126 are not shown";
    EXPECT_EQ(Plain.Buffer().GetChar(1, 1).Code, 0u);
}
