#include "platform/profile/PrivateProfile.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace {} // namespace

TEST(IniLookup, NamesIgnoreCaseAndBlanksAndOneQuotePairIsStripped) {
    const std::string text = "  [ Port Settings ]  \n"
                             "\tBaud Rate =  38400 \t\n"
                             "Name=\"  padded  \"\n"
                             "Single='x'\n"
                             "Twice=\"\"quoted\"\"\n"
                             "Mismatch=\"open'\n";
    EXPECT_EQ(IniLookup(text, "port settings", "BAUD RATE"), "38400");
    EXPECT_EQ(IniLookup(text, "Port Settings", "name"), "  padded  ");
    EXPECT_EQ(IniLookup(text, "Port Settings", "Single"), "x");
    EXPECT_EQ(IniLookup(text, "Port Settings", "Twice"), "\"quoted\"");
    EXPECT_EQ(IniLookup(text, "Port Settings", "Mismatch"), "\"open'");
    EXPECT_EQ(IniLookup(text, "Port Settings", "Missing"), std::nullopt);
    EXPECT_EQ(IniLookup(text, "Other", "Name"), std::nullopt);
}

TEST(IniLookup, FirstDuplicateWinsAndKeysOutsideTheSectionDoNotCount) {
    const std::string text = "Port=before\n"
                             "[A]\nPort=first\nport=second\n"
                             "[B]\nPort=other\n"
                             "[a]\nPort=third\nExtra=late\n";
    EXPECT_EQ(IniLookup(text, "A", "Port"), "first");
    EXPECT_EQ(IniLookup(text, "A", "Extra"), "late"); // a repeated section is searched as well
    EXPECT_EQ(IniLookup(text, "B", "PORT"), "other");
}

TEST(IniLookup, AllLineEndingsAndCommentsAndValueWithEquals) {
    EXPECT_EQ(IniLookup("[S]\r\nA=1\r\nB=2", "S", "B"), "2");
    EXPECT_EQ(IniLookup("[S]\rA=1\rB=x=y\r", "S", "B"), "x=y");
    EXPECT_EQ(IniLookup("[S]\n;A=1\n", "S", ";A"), std::nullopt);
    EXPECT_EQ(IniLookup("[S]\nA=\n", "S", "A"), "");
}

TEST(IniUpdate, ReplacesOnlyTheKeyKeepingEveryOtherByte) {
    const std::string text =
        "; comment\r\n[Other]\r\nx = 1 \r\n\r\n[ComPort1]\r\nport = COM2\r\nKeep=\t y\r\n";
    auto out = IniUpdate(text, "COMPORT1", "Port", "COM7");
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, "; comment\r\n[Other]\r\nx = 1 \r\n\r\n[ComPort1]\r\nport=COM7\r\nKeep=\t y\r\n");
}

TEST(IniUpdate, NewKeyGoesAfterTheLastEntryOfTheFirstSectionBeforeBlankLines) {
    const std::string text = "[A]\nk=1\n\n\n[B]\nz=2\n[A]\nq=3\n";
    auto out = IniUpdate(text, "a", "New", "v");
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, "[A]\nk=1\nNew=v\n\n\n[B]\nz=2\n[A]\nq=3\n");
    // A key that exists only in the repeated section is updated there.
    out = IniUpdate(text, "A", "Q", "4");
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, "[A]\nk=1\n\n\n[B]\nz=2\n[A]\nq=4\n");
}

TEST(IniUpdate, NewSectionAtTheEndUsingTheFilesLineEnding) {
    EXPECT_EQ(IniUpdate("", "S", "K", "V"), "[S]\nK=V\n");
    EXPECT_EQ(IniUpdate("[A]\r\nx=1", "S", "K", "V"), "[A]\r\nx=1\r\n\r\n[S]\r\nK=V\r\n");
    EXPECT_EQ(IniUpdate("[A]\rx=1\r", "A", "y", "2"), "[A]\rx=1\ry=2\r");
    // A last line without its end gets one before the new key.
    EXPECT_EQ(IniUpdate("[A]\nx=1", "A", "y", "2"), "[A]\nx=1\ny=2\n");
}

TEST(IniUpdate, ValuesThatReadingWouldAlterAreProtectedAndReadBackExactly) {
    for (std::string v : {" lead", "trail\t", "\"q\"", "'s'", "\"", "plain", "", "a=b", "#17"}) {
        auto out = IniUpdate("[S]\n", "S", "K", v);
        ASSERT_TRUE(out) << v;
        EXPECT_EQ(IniLookup(*out, "S", "K"), v) << *out;
    }
}

TEST(IniUpdate, RefusesWhatCannotBeWrittenAsOneLine) {
    EXPECT_FALSE(IniUpdate("", "S", "K", "a\nb"));
    EXPECT_FALSE(IniUpdate("", "S", "K", "a\rb"));
    EXPECT_FALSE(IniUpdate("", "S\n", "K", "v"));
    EXPECT_FALSE(IniUpdate("", "S]x", "K", "v"));
    EXPECT_FALSE(IniUpdate("", "S", "K=1", "v"));
    EXPECT_FALSE(IniUpdate("", "S", "[K", "v"));
    EXPECT_FALSE(IniUpdate("", "S", " ", "v"));
    EXPECT_FALSE(IniUpdate("", "", "K", "v"));
}

TEST(PrivateProfileFile, MissingFileReadsDefaultAndWriteCreatesIt) {
    TempDir dir;
    std::string file = dir.File("port.cfg");
    EXPECT_EQ(GetPrivateProfileString("ComPort1", "Port", "COM9", file), "COM9");
    ASSERT_TRUE(WritePrivateProfileString("ComPort1", "Port", "COM1", file));
    ASSERT_TRUE(WritePrivateProfileString("ComPort1", "BaudRate", "38400", file));
    EXPECT_EQ(Slurp(file), "[ComPort1]\nPort=COM1\nBaudRate=38400\n");
    EXPECT_EQ(GetPrivateProfileString("comport1", "baudrate", "", file), "38400");
    EXPECT_TRUE(PrivateProfileSectionExists("COMPORT1", file));
    EXPECT_TRUE(PrivateProfileKeyExists("ComPort1", "port", file));
    EXPECT_FALSE(PrivateProfileKeyExists("ComPort1", "Parity", file));
}

TEST(PrivateProfileFile, FailedWriteReportsErrnoAndLeavesNoTrace) {
    TempDir dir;
    std::string blocker = dir.File("plain");
    Spit(blocker, "x");
    errno = 0;
    EXPECT_FALSE(WritePrivateProfileString("S", "K", "V", blocker + "/port.cfg"));
    EXPECT_EQ(errno, ENOTDIR);
    errno = 0;
    EXPECT_FALSE(WritePrivateProfileString("S", "K", "V", dir.File("missing/port.cfg")));
    EXPECT_EQ(errno, ENOENT);

    // A directory in place of the file is neither read nor replaced.
    std::string asDir = dir.File("cfgdir");
    ASSERT_EQ(::mkdir(asDir.c_str(), 0755), 0);
    EXPECT_FALSE(WritePrivateProfileString("S", "K", "V", asDir));
    EXPECT_EQ(errno, EISDIR);

    // Neither is a FIFO: reading it must not wait for a writer.
    std::string fifo = dir.File("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    EXPECT_EQ(GetPrivateProfileString("S", "K", "def", fifo), "def");
    EXPECT_FALSE(WritePrivateProfileString("S", "K", "V", fifo));
    EXPECT_EQ(errno, EINVAL);

    std::string file = dir.File("port.cfg");
    Spit(file, "[S]\nK=old\n");
    EXPECT_FALSE(WritePrivateProfileString("S", "K", "two\nlines", file));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(Slurp(file), "[S]\nK=old\n");
    int entries = 0;
    for (auto& e : std::filesystem::directory_iterator(dir.Path())) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 4); // plain, cfgdir, fifo, port.cfg: no temporary left behind
}

TEST(PrivateProfileFile, WriteKeepsPermissionsAndFollowsSymlinks) {
    TempDir dir;
    std::string real = dir.File("real.cfg");
    Spit(real, "[S]\nK=1\n");
    ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
    std::string link = dir.File("link.cfg");
    std::filesystem::create_symlink(real, link);
    ASSERT_TRUE(WritePrivateProfileString("S", "K", "2", link));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(Slurp(real), "[S]\nK=2\n");
    struct stat st {};
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}
