// The terminal's session log: bytes on disk at each line end (so a killed program leaves its
// lines), the text form's times and line ends, appending, and errors that say which file.

#include "platform/toolkit/Exception.h"
#include "support/TempDir.h"
#include "tools/term/core/SessionLog.h"

#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {
using namespace std::chrono;
const system_clock::time_point Noon = system_clock::time_point(seconds(1700000000)) + milliseconds(42);
std::string Every256() {
    std::string S;
    for (int I = 0; I < 256; ++I)
        S += static_cast<char>(I);
    return S;
}
} // namespace

TEST(SessionLog, RawKeepsEveryByteAndWritesThroughAtEachLineEnd) {
    TempDir Dir;
    TSessionLog Log;
    Log.Open(Dir.File("raw.log"), lfRaw);
    // A line still open waits for the flush the owner runs within 100 ms.
    EXPECT_TRUE(Log.Write("boot"));
    EXPECT_EQ(Slurp(Dir.File("raw.log")), "");
    Log.Flush();
    EXPECT_EQ(Slurp(Dir.File("raw.log")), "boot");
    // A line end writes everything at once, also what follows it in the same block.
    EXPECT_FALSE(Log.Write(" ok\r\nnext"));
    EXPECT_EQ(Slurp(Dir.File("raw.log")), "boot ok\r\nnext");
    EXPECT_FALSE(Log.Write(Every256()));
    Log.Close();
    EXPECT_EQ(Slurp(Dir.File("raw.log")), "boot ok\r\nnext" + Every256());
    // Another log on the same file adds to it.
    Log.Open(Dir.File("raw.log"), lfRaw);
    Log.Write("more\n");
    EXPECT_EQ(Slurp(Dir.File("raw.log")), "boot ok\r\nnext" + Every256() + "more\n");
}

TEST(SessionLog, TextPutsTheTimeAtEachLineStartAndOneLineEndForCRLF) {
    const std::string T = TSessionLog::Stamp(Noon);
    EXPECT_TRUE(std::regex_match(T, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.042 )"))) << T;
    const struct {
        std::vector<std::string> Blocks;
        std::string Expected;
    } Cases[] = {
        {{"ab\r\ncd\n"}, T + "ab\n" + T + "cd\n"},
        {{"x\r", "\ny"}, T + "x\n" + T + "y"}, // CR LF split between blocks is one line end
        {{"a\rb\n"}, T + "a\n" + T + "b\n"},   // CR alone ends a line too
        {{"\n\r\n", "\r"}, T + "\n" + T + "\n" + T + "\n"},
        {{"\x1b[1mhot\x1b[0m", "\n"}, T + "\x1b[1mhot\x1b[0m\n"},
    };
    for (const auto& C : Cases) {
        TempDir Dir;
        {
            TSessionLog Log;
            Log.SetClock([] { return Noon; });
            Log.Open(Dir.File("text.log"), lfText);
            for (const std::string& B : C.Blocks)
                Log.Write(B);
        }
        EXPECT_EQ(Slurp(Dir.File("text.log")), C.Expected) << testing::PrintToString(C.Blocks);
    }
}

TEST(SessionLog, FilesThatCannotBeOpenedOrWrittenSaySo) {
    TempDir Dir;
    TSessionLog Log;
    try {
        Log.Open(Dir.File("no/such/dir/x.log"), lfRaw);
        FAIL() << "opened";
    } catch (const Exception& E) {
        EXPECT_NE(std::string(E.what()).find("no/such/dir/x.log"), std::string::npos) << E.what();
    }
    EXPECT_FALSE(Log.Active());
    // A full disk: the line that could not be written is an error, not silence.
    Log.Open("/dev/full", lfRaw);
    EXPECT_THROW(Log.Write("line\n"), Exception);
}

// The program is killed (no destructor, no flush): every complete line is in the file.
TEST(SessionLog, AKilledProgramLeavesEveryLineItReceived) {
    TempDir Dir;
    const std::string File = Dir.File("killed.log");
    int Ready[2];
    ASSERT_EQ(::pipe(Ready), 0);
    const pid_t Child = ::fork();
    ASSERT_GE(Child, 0);
    if (Child == 0) {
        TSessionLog Log;
        Log.Open(File, lfText);
        for (int I = 1; I <= 500; ++I)
            Log.Write("line " + std::to_string(I) + (I % 3 ? "\r\n" : "\n"));
        Log.Write("open line without end");
        const char One = 1;
        [[maybe_unused]] ssize_t N = ::write(Ready[1], &One, 1);
        for (;;)
            ::pause();
    }
    ::close(Ready[1]);
    char Got = 0;
    ASSERT_EQ(::read(Ready[0], &Got, 1), 1);
    ::close(Ready[0]);
    ::kill(Child, SIGKILL);
    int Status = 0;
    ::waitpid(Child, &Status, 0);
    ASSERT_TRUE(WIFSIGNALED(Status));

    const std::string Text = Slurp(File);
    std::size_t Lines = 0, Pos = 0;
    for (std::size_t End; (End = Text.find('\n', Pos)) != std::string::npos; Pos = End + 1) {
        ++Lines;
        const std::string Line = Text.substr(Pos, End - Pos);
        EXPECT_EQ(Line.substr(24), "line " + std::to_string(Lines)) << Line;
    }
    EXPECT_EQ(Lines, 500u);
}
