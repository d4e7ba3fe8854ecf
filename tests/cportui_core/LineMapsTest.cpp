// The terminal's extra line-end and key maps.

#include "cportui/core/LineMaps.h"

#include <gtest/gtest.h>

TEST(LineMaps, IncomingAndTypedTable) {
    struct Row {
        TLineMaps maps;
        std::string received, shown;
        std::string enter, backspace, del; // what Enter, BS and DEL send ("" = as typed)
    };
    const Row rows[] = {
        {{}, "a\r\nb\nc\r", "a\r\nb\nc\r", "", "", ""},
        {{true, false, esAsTyped, bsAsTyped}, "a\nb\r\n", "a\r\nb\r\r\n", "", "", ""},
        {{false, true, esLF, bsDEL}, "a\r\nb\rc", "a\nbc", "\n", "\x7f", "\x7f"},
        {{true, true, esCRLF, bsBS}, "a\r\nb\n", "a\r\nb\r\n", "\r\n", "\b", "\b"},
        {{false, false, esCR, bsAsTyped}, "x", "x", "\r", "", ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.received));
        EXPECT_EQ(r.maps.Incoming(r.received), r.shown);
        EXPECT_EQ(r.maps.Key('\r'), r.enter);
        EXPECT_EQ(r.maps.Key('\b'), r.backspace);
        EXPECT_EQ(r.maps.Key('\x7f'), r.del);
        EXPECT_EQ(r.maps.Key('a'), "");
        EXPECT_EQ(r.maps.Identity(), r.maps == TLineMaps{});
    }
    for (TEnterSends e : {esAsTyped, esCR, esLF, esCRLF}) {
        TEnterSends back = esAsTyped;
        EXPECT_TRUE(ParseEnter(EnterName(e), back) && back == e);
    }
    TBackspaceSends b = bsAsTyped;
    EXPECT_TRUE(ParseBackspace("DEL", b) && b == bsDEL);
    EXPECT_FALSE(ParseBackspace("del", b));
}
