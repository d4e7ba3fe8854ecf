// File transfers through lrzsz over a pseudo-terminal: our side runs the program behind the port,
// the far end runs its counterpart behind pipes relayed to the pty's master (so that no program
// sets up either side's terminal). Each protocol sends and receives a file whole; Cancel ends a
// transfer the far end never answers; what cannot be used is refused before anything runs; and
// lrzsz's progress lines give byte counts.

#include "comm/PtyFarEnd.h"
#include "cport/ComPort.h"
#include "platform/ports/DeviceMap.h"
#include "support/TempDir.h"
#include "tools/term/core/Transfer.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <future>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace {
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// A program whose stdin and stdout are relayed to the pty's master from a thread of the test.
class TFarEnd {
  public:
    TFarEnd(int Master, const std::vector<std::string>& Argv, const std::string& Dir, const std::string& Log)
        : FMaster(Master) {
        int In[2], Out[2];
        EXPECT_EQ(::pipe2(In, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(Out, O_CLOEXEC), 0);
        posix_spawn_file_actions_t A;
        posix_spawn_file_actions_init(&A);
        posix_spawn_file_actions_adddup2(&A, In[0], 0);
        posix_spawn_file_actions_adddup2(&A, Out[1], 1);
        posix_spawn_file_actions_addopen(&A, 2, Log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addclosefrom_np(&A, 3);
        posix_spawn_file_actions_addchdir_np(&A, Dir.c_str());
        std::vector<char*> Args;
        for (const auto& S : Argv)
            Args.push_back(const_cast<char*>(S.c_str()));
        Args.push_back(nullptr);
        EXPECT_EQ(::posix_spawnp(&FPid, Args[0], &A, nullptr, Args.data(), environ), 0);
        posix_spawn_file_actions_destroy(&A);
        ::close(In[0]);
        ::close(Out[1]);
        FIn = In[1];
        FOut = Out[0];
        ::fcntl(FIn, F_SETFL, O_NONBLOCK);
        ::fcntl(FOut, F_SETFL, O_NONBLOCK);
        FThread = std::thread([this] { Relay(); });
    }
    // The program's exit status (-1 when it had to be killed after Ms).
    int Finish(std::chrono::milliseconds Ms) {
        const auto Until = std::chrono::steady_clock::now() + Ms;
        int Status = 0;
        while (::waitpid(FPid, &Status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > Until) {
                ::kill(FPid, SIGKILL);
                ::waitpid(FPid, &Status, 0);
                Status = -1;
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
        FThread.join();
        ::close(FIn);
        ::close(FOut);
        return Status < 0 ? -1 : WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
    }

  private:
    // Master → program, program → master, until the program has closed its stdout and all it said
    // has reached the master.
    void Relay() {
        sigset_t Pipe;
        sigemptyset(&Pipe);
        sigaddset(&Pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &Pipe, nullptr);
        std::string ToChild, ToMaster;
        bool ChildOpen = true, InOpen = true;
        char B[8192];
        while (ChildOpen || !ToMaster.empty()) {
            pollfd P[3] = {{FMaster, short(POLLIN | (ToMaster.empty() ? 0 : POLLOUT)), 0},
                           {FOut, short(ChildOpen ? POLLIN : 0), 0},
                           {FIn, short(InOpen && !ToChild.empty() ? POLLOUT : 0), 0}};
            ::poll(P, 3, 100);
            ssize_t N;
            while ((N = ::read(FMaster, B, sizeof B)) > 0)
                ToChild.append(B, size_t(N));
            while (ChildOpen) {
                N = ::read(FOut, B, sizeof B);
                if (N > 0)
                    ToMaster.append(B, size_t(N));
                else if (N == 0 || errno != EINTR)
                    break;
            }
            if (N == 0 || (N < 0 && errno != EAGAIN && errno != EINTR)) ChildOpen = false;
            if (!ToMaster.empty() && (N = ::write(FMaster, ToMaster.data(), ToMaster.size())) > 0)
                ToMaster.erase(0, size_t(N));
            if (InOpen && !ToChild.empty()) {
                N = ::write(FIn, ToChild.data(), ToChild.size());
                if (N > 0) ToChild.erase(0, size_t(N));
                if (N < 0 && errno == EPIPE) InOpen = false;
            }
            if (!InOpen) ToChild.clear();
        }
    }

    int FMaster, FIn = -1, FOut = -1;
    pid_t FPid = 0;
    std::thread FThread;
};

int OpenFds() {
    return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

bool Alive(pid_t Pid) {
    return Pid > 0 && (::kill(Pid, 0) == 0 || errno != ESRCH);
}

class Transfer : public testing::Test {
  protected:
    void SetUp() override {
        SetDeviceMapOverride(std::vector<TDeviceMapEntry>{{"COM14", Pty.Path}});
        Port.SetPort("COM14");
        Port.SetSyncMethod(smNone);
        Port.SetCustomBaudRate(3000000);
        Port.SetBaudRate(brCustom);
        Ours.OnProgress = [this](int64_t Bytes, const std::string&) {
            ++Reports;
            MaxProgress = std::max<int64_t>(MaxProgress, Bytes);
        };
        Ours.OnDone = [this](bool Ok, const std::string& Text) { Done.set_value({Ok, Text}); };
        fs::create_directories(Dir.File("ours"));
        fs::create_directories(Dir.File("far"));
    }
    void TearDown() override { SetDeviceMapOverride(std::nullopt); }
    std::pair<bool, std::string> Outcome(std::chrono::seconds Within) {
        auto F = Done.get_future();
        if (F.wait_for(Within) != std::future_status::ready) {
            ADD_FAILURE() << "no end within " << Within.count() << " s";
            Ours.Cancel();
        }
        return F.get();
    }
    void Reset() {
        Done = {};
        Reports = 0;
        MaxProgress = -1;
    }

    PtyPair Pty;
    TempDir Dir;
    TComPort Port{nullptr};
    TTransfer Ours{Port};
    std::atomic<int> Reports{0};
    std::atomic<int64_t> MaxProgress{-1};
    std::promise<std::pair<bool, std::string>> Done;
};

} // namespace

// Each protocol both ways. Block: the XMODEM block the receiver may pad to (0: exact contents).
// Kept: a file of the same name waits in our folder, and stays as it was.
TEST_F(Transfer, EachProtocolCarriesAFileWholeBothWays) {
    const struct {
        TTransferProtocol Protocol;
        TTransferDirection Direction;
        std::vector<std::string> FarEnd; // run in the far end's folder
        std::size_t Block;
        bool Kept = false;
    } Rows[] = {
        {tpXmodem, tdSend, {"rx", "got.bin"}, 128},
        {tpXmodem1k, tdSend, {"rx", "-c", "got.bin"}, 1024},
        {tpYmodem, tdSend, {"rb"}, 0},
        {tpZmodem, tdSend, {"rz"}, 0},
        {tpXmodem, tdReceive, {"sx", "data.bin"}, 128},
        {tpXmodem1k, tdReceive, {"sx", "-k", "data.bin"}, 1024},
        {tpYmodem, tdReceive, {"sb", "-k", "data.bin"}, 0},
        {tpZmodem, tdReceive, {"sz", "data.bin"}, 0},
        {tpZmodem, tdReceive, {"sz", "data.bin"}, 0, true},
    };
    const std::string Data = FloodPattern(100001);
    Port.Open();
    const int FdsBefore = OpenFds();
    for (const auto& R : Rows) {
        SCOPED_TRACE(testing::Message()
                     << TransferProtocolName(R.Protocol) << (R.Direction == tdSend ? " send" : " receive"));
        Reset();
        const bool Send = R.Direction == tdSend;
        const std::string From = Dir.File(Send ? "ours" : "far"), To = Dir.File(Send ? "far" : "ours");
        const std::string Name = R.Block ? "got.bin" : R.Kept ? "data.bin.0" : "data.bin";
        for (const char* F : {"got.bin", "data.bin", "data.bin.0"})
            fs::remove(To + "/" + F);
        Spit(From + "/data.bin", Data);
        const std::string Old = "kept as it was";
        if (R.Kept) Spit(To + "/data.bin", Old);
        Port.ClearBuffer(true, true);
        Pty.Receive(1 << 20, 50);
        TFarEnd Far(Pty.Master, R.FarEnd, Dir.File("far"), Dir.File("far.log"));
        Ours.Start(R.Protocol, R.Direction, Send ? From + "/data.bin" : R.Block ? To + "/got.bin" : To);
        const auto [Ok, Text] = Outcome(30s);
        EXPECT_TRUE(Ok) << Text;
        EXPECT_FALSE(Text.empty());
        Ours.Wait();
        if (R.Kept) {
            EXPECT_EQ(Slurp(To + "/data.bin"), Old);
        }
        EXPECT_EQ(Far.Finish(10s), 0) << Slurp(Dir.File("far.log"));
        const std::string Got = Slurp(To + "/" + Name);
        if (R.Block == 0) {
            EXPECT_TRUE(Got == Data) << Got.size() << " bytes of " << Data.size();
        } else {
            // Whole 128-byte blocks, padded with 0x1A after the file, less than a block's worth.
            EXPECT_EQ(Got.size() % 128, 0u);
            ASSERT_GE(Got.size(), Data.size());
            EXPECT_LT(Got.size() - Data.size(), R.Block);
            EXPECT_TRUE(Got.compare(0, Data.size(), Data) == 0) << "the file's bytes differ";
            EXPECT_EQ(Got.find_first_not_of('\x1a', Data.size()), std::string::npos);
        }
        EXPECT_GT(Reports.load(), 1);
        EXPECT_GE(MaxProgress.load(), static_cast<int64_t>(Data.size()));
        EXPECT_LE(MaxProgress.load(), static_cast<int64_t>(Data.size() + 1024));
        EXPECT_FALSE(Ours.Running());
    }
    EXPECT_EQ(OpenFds(), FdsBefore) << "descriptors left open";
}

// The far end never answers: Cancel ends the program within a few seconds, the far end hears the
// cancel sequence, and nothing is left (program, link, descriptors). Stubborn: a stand-in for sx
// that ignores SIGTERM and has started a program of its own.
TEST_F(Transfer, CancelEndsATransferTheFarEndNeverAnswers) {
    const struct {
        TTransferProtocol Protocol;
        TTransferDirection Direction;
        std::string Path;
        bool Stubborn = false;
    } Rows[] = {
        {tpXmodem, tdSend, "ours/data.bin"},
        {tpZmodem, tdReceive, "ours"},
        {tpXmodem, tdSend, "ours/data.bin", true},
    };
    Spit(Dir.File("ours/data.bin"), FloodPattern(5000));
    fs::create_directories(Dir.File("stub"));
    Spit(Dir.File("stub/sx"), "#!/bin/sh\ntrap '' TERM\n/bin/sleep 30\n");
    fs::permissions(Dir.File("stub/sx"), fs::perms::owner_all);
    const std::string OldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    Port.Open();
    const int FdsBefore = OpenFds();
    for (const auto& R : Rows) {
        SCOPED_TRACE(testing::Message()
                     << TransferProtocolName(R.Protocol) << (R.Stubborn ? " stubborn" : ""));
        Reset();
        if (R.Stubborn) setenv("PATH", Dir.File("stub").c_str(), 1);
        Ours.Start(R.Protocol, R.Direction, Dir.File(R.Path));
        setenv("PATH", OldPath.c_str(), 1);
        std::this_thread::sleep_for(300ms);
        const pid_t Child = Ours.ChildPid();
        EXPECT_TRUE(Alive(Child));
        EXPECT_TRUE(Ours.Running());
        EXPECT_FALSE(Port.TriggersOnRxChar()) << "the transfer's link takes no data";
        const auto Before = std::chrono::steady_clock::now();
        Ours.Cancel();
        const auto [Ok, Text] = Outcome(10s);
        EXPECT_LT(std::chrono::steady_clock::now() - Before, 3s);
        EXPECT_FALSE(Ok);
        EXPECT_EQ(Text, "cancelled");
        Ours.Wait();
        EXPECT_FALSE(Ours.Running());
        EXPECT_FALSE(Alive(Child)) << "the program is still there";
        EXPECT_TRUE(Port.TriggersOnRxChar()) << "the link is still registered";
        EXPECT_NE(Pty.Receive(1 << 20, 300).find(std::string(5, '\x18')), std::string::npos);
    }
    EXPECT_EQ(OpenFds(), FdsBefore) << "descriptors left open";
}

TEST_F(Transfer, WhatCannotBeUsedIsRefusedBeforeAnythingRuns) {
    const struct {
        TTransferProtocol Protocol;
        TTransferDirection Direction;
        std::string Path;
        bool Open;
        bool EmptyPath; // PATH names a folder without the programs
        const char* Says;
    } Rows[] = {
        {tpXmodem, tdSend, "ours/data.bin", true, true, "sx not found: install lrzsz"},
        {tpZmodem, tdReceive, "ours", true, true, "rz not found: install lrzsz"},
        {tpXmodem, tdSend, "ours/missing.bin", true, false, "No such file"},
        {tpYmodem, tdSend, "ours", true, false, "not a regular file"},
        {tpXmodemCrc, tdReceive, "ours/data.bin", true, false, "exists already"},
        {tpXmodem, tdReceive, "nowhere/got.bin", true, false, "No such file"},
        {tpYmodem, tdReceive, "ours/data.bin", true, false, "not a folder"},
        {tpXmodem, tdSend, "ours/data.bin", false, false, "not connected"},
    };
    Spit(Dir.File("ours/data.bin"), "x");
    const std::string OldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    for (const auto& R : Rows) {
        SCOPED_TRACE(R.Says);
        if (R.Open != Port.Connected()) R.Open ? Port.Open() : Port.Close();
        if (R.EmptyPath) setenv("PATH", Dir.File("far").c_str(), 1);
        try {
            Ours.Start(R.Protocol, R.Direction, Dir.File(R.Path));
            ADD_FAILURE() << "started";
            Ours.Cancel();
            Ours.Wait();
        } catch (const Exception& E) {
            EXPECT_NE(std::string(E.what()).find(R.Says), std::string::npos) << E.what();
        }
        setenv("PATH", OldPath.c_str(), 1);
        EXPECT_FALSE(Ours.Running());
        EXPECT_EQ(Ours.ChildPid(), 0);
    }
    EXPECT_EQ(Pty.Receive(1, 100), "");
}

// Lines as lrzsz writes them, in order, and the counts they report. Written: the size the file
// being received has (-1: no file known).
TEST(TransferProgress, LrzszLinesGiveByteCounts) {
    const struct {
        int64_t Written;
        std::vector<std::string> Lines;
        std::vector<int64_t> Reported;
        std::string Name; // the file asked for its size
    } Rows[] = {
        {-1,
         {"Sending data.bin, 782 blocks: Give your local XMODEM receive command now.",
          "Xmodem sectors/kbytes sent:   0/ 0k", "Xmodem sectors/kbytes sent:   1/ 0k",
          "Xmodem sectors/kbytes sent: 781/97k", "Bytes Sent: 100096   BPS:97781", "Transfer complete"},
         {0, 128, 781 * 128, 100096},
         ""},
        // sb counts its closing empty header from 0 again; a second file starts from 0.
        {-1,
         {"Sending: a.bin", "Ymodem sectors/kbytes sent:  16/ 2k", "Bytes Sent: 100096   BPS:49894",
          "Sending: ", "Ymodem sectors/kbytes sent:   0/ 0k", "Sending: b.bin",
          "Ymodem sectors/kbytes sent:   8/ 1k"},
         {16 * 128, 100096, 8 * 128},
         ""},
        // Block numbers go round; a block repeated counts once; the closing line is negative.
        {100,
         {"rx: ready to receive ./got.bin", "Blocks received: 1", "Blocks received: 255",
          "Blocks received: 0", "Blocks received: 0", "Blocks received: 3", "Blocks received: -10",
          "Bytes received:  100096   BPS:99431"},
         {128, 255 * 128, 256 * 128, 259 * 128, 100096},
         ""},
        // 1 KiB blocks: the file written says more than the blocks do.
        {5000,
         {"Receiving: data.bin.0", "Blocks received: 2", "Blocks received: 3",
          "Bytes received:  100001/ 100001   BPS:49603"},
         {5000, 100001},
         "data.bin.0"},
        {-1,
         {"Bytes Sent:   1024/ 100001   BPS:1799316 ETA 00:00",
          "Bytes Sent:  93184/ 100001   BPS:6 ETA 00:00", "Bytes Sent:  93184/ 100001   BPS:7 ETA 00:00",
          "rz waiting to receive.", "Bytes received: x"},
         {1024, 93184},
         ""},
    };
    for (const auto& R : Rows) {
        SCOPED_TRACE(R.Lines.front());
        std::string Asked;
        TTransferProgress Parser([&](const std::string& Name) {
            Asked = Name;
            return R.Written;
        });
        std::vector<int64_t> Got;
        for (const auto& Line : R.Lines) {
            int64_t Bytes = -1;
            if (Parser.Feed(Line, Bytes)) Got.push_back(Bytes);
        }
        EXPECT_EQ(Got, R.Reported);
        EXPECT_EQ(Asked, R.Name);
    }
}
