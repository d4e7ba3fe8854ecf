// The console's command loop against a virtual device: what each Ctrl+T command does at the far
// end, pass-through with the line maps both ways, and the log.

#include "cport/ComPort.h"
#include "platform/comm/VirtualDevice.h"
#include "support/TempDir.h"
#include "tools/term/core/Console.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace {

class Console : public testing::Test {
  protected:
    void SetUp() override {
        Device = TVirtualDevice::Create("COM12");
        ASSERT_TRUE(Device);
        ASSERT_EQ(::pipe2(Out, O_CLOEXEC | O_NONBLOCK), 0);
        Port.SetPort("COM12");
        Port.SetSyncMethod(smNone);
        Port.Open();
    }
    void TearDown() override {
        ::close(Out[0]);
        ::close(Out[1]);
    }
    std::unique_ptr<TConsole> Make(TConsoleOptions O = {}) {
        O.In = -1;
        O.Out = Out[1];
        auto C = std::make_unique<TConsole>(Port, O);
        C->AskLine = [this](const std::string&) { return Answer; };
        return C;
    }
    std::string Shown() {
        std::string S;
        char Buf[4096];
        for (ssize_t N; (N = ::read(Out[0], Buf, sizeof Buf)) > 0;)
            S.append(Buf, static_cast<size_t>(N));
        return S;
    }
    std::string Sent(size_t Want) {
        std::string Got;
        while (Got.size() < Want && Device->WaitSent(1, 1000))
            Got += Device->ReadSent();
        return Got;
    }

    std::shared_ptr<TVirtualDevice> Device;
    TComPort Port{nullptr};
    int Out[2] = {-1, -1};
    std::string Answer;
    TempDir Dir;
};

} // namespace

TEST_F(Console, CommandKeysActOnTheLineAndNeverReachTheDevice) {
    auto C = Make();
    struct Row {
        std::string keys;
        std::string sent;  // what the device receives
        std::string shown; // a part of what the console prints
    };
    const Row rows[] = {
        {"ab\x14\x14"
         "c",
         "ab\x14"
         "c",
         ""},
        {"\x14"
         "d",
         "", "[tolvane-term] DTR off"},
        {"\x14r", "", "[tolvane-term] RTS off"},
        {"\x14s", "", "DTR off, RTS off"},
        {"\x14h", "", "q quit, b break"},
        {"\x14k", "", "Ctrl+T k is no command"},
        {"x\x14"
         "dy",
         "xy", "DTR on"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.keys));
        C->Typed(r.keys);
        EXPECT_EQ(Sent(r.sent.size()), r.sent);
        EXPECT_NE(Shown().find(r.shown), std::string::npos);
    }
    EXPECT_FALSE(Device->RTS());
    EXPECT_TRUE(Device->DTR());
    std::atomic<bool> SawBreak{false};
    std::thread Watch([&] {
        for (int I = 0; I < 500 && !SawBreak; ++I) {
            SawBreak = Device->BreakOn();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    C->Typed("\x14"
             "b");
    Watch.join();
    EXPECT_TRUE(SawBreak);
    EXPECT_FALSE(Device->BreakOn());
    EXPECT_FALSE(C->Quitting());
    C->Typed("\x14q"
             "ignored");
    EXPECT_TRUE(C->Quitting());
    EXPECT_EQ(Sent(1), "");
}

TEST_F(Console, PassThroughWithMapsAndLog) {
    TConsoleOptions O;
    O.Maps.LfReturns = true;
    O.Maps.Enter = esCRLF;
    O.Maps.Backspace = bsDEL;
    auto C = Make(O);
    C->Typed("ls\r\b");
    EXPECT_EQ(Sent(5), "ls\r\n\x7f");
    Answer = Dir.File("session.log");
    C->Typed("\x14l");
    EXPECT_NE(Shown().find("log on: " + Answer), std::string::npos);
    Device->Deliver("one\ntwo\r\n");
    ASSERT_TRUE(Device->WaitDelivered(1000));
    std::string S;
    for (int I = 0; I < 200 && S.find("two") == std::string::npos; ++I) {
        C->Serve();
        S += Shown();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(S, "one\r\ntwo\r\r\n");
    C->Typed("\x14l");
    std::ifstream Log(Answer, std::ios::binary);
    std::string Logged((std::istreambuf_iterator<char>(Log)), {});
    EXPECT_EQ(Logged, "one\ntwo\r\n") << "the log keeps the bytes as received";
}
