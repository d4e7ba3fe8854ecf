#include "platform/profile/IniFiles.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>

TEST(IniInteger, DecimalAndHexadecimalForms) {
    struct Case {
        const char* Text;
        bool Ok;
        int Value;
    } cases[] = {
        {"0", true, 0},
        {"-17", true, -17},
        {"+5", true, 5},
        {"0x1000", true, 4096},
        {"0X1f", true, 31},
        {"0xFFFFFFFF", true, -1},
        {"2147483647", true, 2147483647},
        {"-2147483648", true, -2147483647 - 1},
        {"2147483648", false, 0},
        {"0x", false, 0},
        {"0x1G", false, 0},
        {"0x123456789", false, 0},
        {"", false, 0},
        {"-", false, 0},
        {"12a", false, 0},
        {"$10", false, 0},
        {"1 2", false, 0},
    };
    for (const Case& c : cases) {
        int v = 12345;
        EXPECT_EQ(TryParseIniInteger(c.Text, v), c.Ok) << c.Text;
        if (c.Ok) {
            EXPECT_EQ(v, c.Value) << c.Text;
        }
    }
}

TEST(IniFile, TypedRoundTripsAndDefaults) {
    TempDir dir;
    TIniFile ini(dir.File("a.ini"));
    EXPECT_EQ(ini.ReadInteger("S", "N", 7), 7);
    EXPECT_TRUE(ini.ReadBool("S", "B", true));
    ini.WriteInteger("S", "N", -42);
    ini.WriteBool("S", "B", false);
    ini.WriteString("S", "T", " spaced ");
    EXPECT_EQ(ini.ReadInteger("s", "n", 7), -42);
    EXPECT_FALSE(ini.ReadBool("S", "B", true));
    EXPECT_EQ(ini.ReadString("S", "T", ""), " spaced ");
    ini.WriteString("S", "N", "junk");
    EXPECT_EQ(ini.ReadInteger("S", "N", 99), 99);
    EXPECT_TRUE(ini.SectionExists("s"));
    EXPECT_TRUE(ini.ValueExists("S", "t"));
    EXPECT_FALSE(ini.ValueExists("S", "U"));
}

TEST(IniFile, ReadReturnsAtMost2047Characters) {
    TempDir dir;
    std::string file = dir.File("long.ini");
    std::ofstream(file) << "[S]\nK=" << std::string(5000, 'x') << "\n";
    TIniFile ini(file);
    EXPECT_EQ(ini.ReadString("S", "K", "").size(), MaxIniValueLength);
}

TEST(IniFile, FailedWriteRaisesWithTheCause) {
    TempDir dir;
    TIniFile ini(dir.File("nodir/a.ini"));
    try {
        ini.WriteString("S", "K", "V");
        FAIL() << "no exception";
    } catch (const EIniFileException& e) {
        EXPECT_EQ(e.Errno(), ENOENT);
        EXPECT_NE(e.Message().find("nodir/a.ini"), std::string::npos);
    }
}
