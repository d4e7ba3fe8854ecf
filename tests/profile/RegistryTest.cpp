#include "platform/profile/Registry.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

// Each test gets its own registry directory; the default returns afterwards.
class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override { SetRegistryDirectoryOverride(FDir.File("registry")); }
    void TearDown() override { SetRegistryDirectoryOverride(std::nullopt); }
    std::string UserFile() const { return FDir.File("registry/HKEY_CURRENT_USER.reg"); }
    std::string MachineFile() const { return FDir.File("registry/HKEY_LOCAL_MACHINE.reg"); }
    TempDir FDir;
};

} // namespace

TEST(RegEscaping, FixedWidthHexForEveryByteOutsidePrintableAscii) {
    std::string raw("a\\b\"c\0\x7f\xff\t ~", 11);
    EXPECT_EQ(RegEscape(raw), "a\\\\b\\\"c\\x00\\x7F\\xFF\\x09 ~");
    EXPECT_EQ(RegUnescape(RegEscape(raw)), raw);
    for (int c = 0; c < 256; ++c) {
        std::string one(1, static_cast<char>(c));
        EXPECT_EQ(RegUnescape(RegEscape(one)), one) << c;
    }
    EXPECT_FALSE(RegUnescape("\\x4"));
    EXPECT_FALSE(RegUnescape("\\xZZ"));
    EXPECT_FALSE(RegUnescape("trailing\\"));
    EXPECT_FALSE(RegUnescape("bare\"quote"));
    EXPECT_FALSE(RegUnescape("\\n"));
}

TEST_F(RegistryTest, ValuesLandInTheirKeyOfTheirRootsFile) {
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey("Software\\Tolvane\\ComPort1", true));
    reg.WriteString("Port", "COM3");
    reg.WriteInteger("Buffer.InputSize", 4096);
    EXPECT_EQ(Slurp(MachineFile()), "[Software\\\\Tolvane\\\\ComPort1]\n"
                                    "\"Port\"=sz:\"COM3\"\n"
                                    "\"Buffer.InputSize\"=dword:00001000\n");
    EXPECT_FALSE(std::filesystem::exists(UserFile()));

    TRegistry other;
    other.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(other.OpenKey("\\SOFTWARE\\tolvane\\COMPORT1\\", false));
    EXPECT_EQ(other.ReadString("port"), "COM3");
    EXPECT_EQ(other.ReadInteger("BUFFER.INPUTSIZE"), 4096);
    EXPECT_TRUE(other.KeyExists("\\Software"));
    EXPECT_FALSE(other.KeyExists("\\Soft"));
}

TEST_F(RegistryTest, MissingValuesAndWrongTypes) {
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("Software\\T", true));
    EXPECT_EQ(reg.ReadString("Absent"), "");
    EXPECT_FALSE(reg.ValueExists("Absent"));
    EXPECT_THROW(reg.ReadInteger("Absent"), ERegistryException);
    reg.WriteString("Text", "12");
    EXPECT_THROW(reg.ReadInteger("Text"), ERegistryException);
    reg.WriteInteger("Num", -1);
    EXPECT_THROW(reg.ReadString("Num"), ERegistryException);
    EXPECT_EQ(reg.ReadInteger("Num"), -1);
    reg.WriteExpandString("Path", "%HOME%\\x");
    EXPECT_EQ(reg.ReadString("Path"), "%HOME%\\x");
    // Overwriting changes the type in place.
    reg.WriteString("Num", "now text");
    EXPECT_EQ(reg.ReadString("Num"), "now text");
}

TEST_F(RegistryTest, NoOpenKeyReadsEmptyAndRefusesWrites) {
    TRegistry reg;
    EXPECT_EQ(reg.ReadString("X"), "");
    EXPECT_THROW(reg.ReadInteger("X"), ERegistryException);
    EXPECT_THROW(reg.WriteString("X", "v"), ERegistryException);
    EXPECT_FALSE(reg.OpenKey("Nowhere", false));
}

TEST_F(RegistryTest, HandEditedLinesSurviveChangesAndBadLinesAreKept) {
    std::filesystem::create_directories(FDir.File("registry"));
    {
        std::ofstream out(UserFile(), std::ios::binary);
        out << "; my notes\n[Software\\\\A]\n\"X\"=sz:\"1\"\ngarbage line\n\"Bad\"=dword:12\n\n"
               "[Software\\\\B]\n\"Y\"=dword:0000002a\n";
    }
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("software\\a", false));
    reg.WriteString("Z", "new");
    EXPECT_EQ(Slurp(UserFile()),
              "; my notes\n[Software\\\\A]\n\"X\"=sz:\"1\"\ngarbage line\n\"Bad\"=dword:12\n"
              "\"Z\"=sz:\"new\"\n\n"
              "[Software\\\\B]\n\"Y\"=dword:0000002a\n");
    EXPECT_FALSE(reg.ValueExists("Bad"));
    ASSERT_TRUE(reg.OpenKey("\\Software\\B", false));
    EXPECT_EQ(reg.ReadInteger("Y"), 42);
}

TEST_F(RegistryTest, UnwritableDirectoryIsReported) {
    std::string blocker = FDir.File("blocker");
    std::ofstream(blocker) << "x";
    SetRegistryDirectoryOverride(blocker + "/registry");
    HKEY h = nullptr;
    EXPECT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "Software\\X", &h), ENOTDIR);
    EXPECT_EQ(h, nullptr);
    TRegistry reg;
    EXPECT_FALSE(reg.OpenKey("Software\\X", true));
    EXPECT_THROW(reg.WriteString("K", "V"), ERegistryException);
}

TEST_F(RegistryTest, ValueWrittenAfterItsKeyVanishedRecreatesTheKey) {
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "A\\B", &h), 0);
    std::filesystem::remove(UserFile());
    ASSERT_EQ(RegSetValueEx(h, "V", REG_SZ, std::string_view("x\0", 2)), 0);
    DWORD type = 0;
    std::string data;
    ASSERT_EQ(RegQueryValueEx(h, "v", &type, &data), 0);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(data, "x");
    EXPECT_EQ(RegSetValueEx(h, "D", REG_DWORD, "abc"), EINVAL);
    EXPECT_EQ(RegSetValueEx(HKEY_CURRENT_USER, "V", REG_SZ, "x"), EINVAL);
    EXPECT_EQ(RegDeleteValue(h, "V"), 0);
    EXPECT_EQ(RegQueryValueEx(h, "V", &type, &data), ENOENT);
    EXPECT_EQ(RegCloseKey(h), 0);
}

TEST(RegistryLocation, FollowsXdgConfigHome) {
    SetRegistryDirectoryOverride(std::nullopt);
    const char* old = std::getenv("XDG_CONFIG_HOME");
    std::string saved = old ? old : "";
    ::setenv("XDG_CONFIG_HOME", "/tmp/xdg-test", 1);
    EXPECT_EQ(RegistryFilePath(HKEY_CURRENT_USER), "/tmp/xdg-test/cport/registry/HKEY_CURRENT_USER.reg");
    EXPECT_EQ(RegistryFilePath(HKEY_LOCAL_MACHINE), "/tmp/xdg-test/cport/registry/HKEY_LOCAL_MACHINE.reg");
    ::setenv("XDG_CONFIG_HOME", "relative", 1);
    EXPECT_EQ(RegistryDirectory().find("relative"), std::string::npos);
    if (old)
        ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    else
        ::unsetenv("XDG_CONFIG_HOME");
}
