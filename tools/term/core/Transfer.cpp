#include "tools/term/core/Transfer.h"
#include "tools/term/core/PortWrite.h"

#include "cport/ComPort.h"
#include "platform/comm/WinComm.h"
#include "platform/toolkit/Exception.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {
using namespace std::chrono_literals;

// The first whole number after Key in Line (blanks skipped), if Key is there.
bool NumberAfter(const std::string& Line, const char* Key, int64_t& Value) {
    const std::size_t At = Line.find(Key);
    if (At == std::string::npos) return false;
    const char* P = Line.c_str() + At + std::strlen(Key);
    while (*P == ' ' || *P == '\t')
        ++P;
    char* End = nullptr;
    errno = 0;
    const long long V = std::strtoll(P, &End, 10);
    if (End == P || errno != 0) return false;
    Value = V;
    return true;
}

// The program's full path from PATH, empty when none is there.
std::string FindProgram(const std::string& Name) {
    const char* Env = std::getenv("PATH");
    const std::string Path = Env && *Env ? Env : "/usr/local/bin:/usr/bin:/bin";
    for (std::size_t From = 0; From <= Path.size();) {
        std::size_t To = Path.find(':', From);
        if (To == std::string::npos) To = Path.size();
        const std::string Dir = To > From ? Path.substr(From, To - From) : ".";
        const std::string Full = Dir + "/" + Name;
        struct stat St {};
        if (::stat(Full.c_str(), &St) == 0 && S_ISREG(St.st_mode) && ::access(Full.c_str(), X_OK) == 0)
            return Full;
        From = To + 1;
    }
    return {};
}

void CloseFd(int& Fd) {
    if (Fd >= 0) ::close(Fd);
    Fd = -1;
}

// A pipe whose ends are closed on exec (the child gets its own ends through dup2).
void MakePipe(int (&Fds)[2]) {
    if (::pipe2(Fds, O_CLOEXEC) != 0)
        throw Exception(std::string("cannot make a pipe: ") + std::strerror(errno));
}

void SetNonBlocking(int Fd) {
    ::fcntl(Fd, F_SETFL, ::fcntl(Fd, F_GETFL) | O_NONBLOCK);
}

std::string Describe(const std::string& Path, const std::string& What) {
    return Path + ": " + What;
}
} // namespace

TTransferCommand TransferCommand(TTransferProtocol Protocol, TTransferDirection Direction,
                                 const std::string& Path) {
    TTransferCommand C;
    if (Direction == tdSend) {
        // A name starting with '-' would read as an option.
        const std::string File = Path.starts_with("-") ? "./" + Path : Path;
        switch (Protocol) {
        case tpXmodem:
        case tpXmodemCrc:
            C.Argv = {"sx", "-vv", File};
            break;
        case tpXmodem1k:
            C.Argv = {"sx", "-k", "-vv", File};
            break;
        case tpYmodem:
            C.Argv = {"sb", "-k", "-vv", File};
            break;
        case tpZmodem:
            C.Argv = {"sz", "-b", "-vv", File};
            break;
        }
        return C;
    }
    switch (Protocol) {
    case tpXmodem:
    case tpXmodemCrc:
    case tpXmodem1k: {
        // rx refuses absolute names (restricted mode): it runs in the file's folder.
        const std::filesystem::path P(Path);
        C.Dir = P.parent_path().string();
        const std::string Name = "./" + P.filename().string();
        if (Protocol == tpXmodem)
            C.Argv = {"rx", "-B", "4096", "-vv", Name};
        else
            C.Argv = {"rx", "-c", "-B", "4096", "-vv", Name};
        break;
    }
    case tpYmodem:
        C.Argv = {"rb", "--rename", "-B", "4096", "-vv"};
        C.Dir = Path;
        break;
    case tpZmodem:
        C.Argv = {"rz", "--rename", "-vv"};
        C.Dir = Path;
        break;
    }
    return C;
}

const char* TransferProtocolName(TTransferProtocol Protocol) {
    switch (Protocol) {
    case tpXmodem:
        return "XMODEM";
    case tpXmodemCrc:
        return "XMODEM-CRC";
    case tpXmodem1k:
        return "XMODEM-1K";
    case tpYmodem:
        return "YMODEM";
    case tpZmodem:
        return "ZMODEM";
    }
    return "?";
}

bool TTransferProgress::Feed(const std::string& Line, int64_t& Bytes) {
    int64_t V = 0;
    if (NumberAfter(Line, "Bytes Sent:", V) || NumberAfter(Line, "Bytes received:", V)) {
        if (V < 0 || V == FLast) return false;
        FLast = Bytes = V;
        return true;
    }
    // A batch's next file counts from 0 (sb's closing "Sending: " names none).
    for (const char* Key : {"Receiving: ", "Sending: "}) {
        const std::size_t At = Line.find(Key);
        if (At == std::string::npos || At + std::strlen(Key) >= Line.size()) continue;
        FName = Line.substr(At + std::strlen(Key));
        FLast = -1;
        FBlockNo = -1;
        FBlocks = 0;
        return false;
    }
    int64_t Count = -1;
    if (NumberAfter(Line, "sectors/kbytes sent:", V)) {
        if (V >= 0) Count = V * 128;
    } else if (NumberAfter(Line, "Blocks received:", V)) {
        // The block number counts 0..255 over and over; a repeated block adds nothing. The
        // closing line has a negative number.
        if (V >= 0 && V <= 255) {
            const int No = static_cast<int>(V);
            FBlocks += ((No - std::max(FBlockNo, 0)) % 256 + 256) % 256;
            FBlockNo = No;
            Count = std::max(FBlocks * 128, FWritten ? FWritten(FName) : int64_t(-1));
        }
    }
    if (Count <= FLast) return false;
    FLast = Bytes = Count;
    return true;
}

TTransfer::TTransfer(TCustomComPort& Port) : FPort(Port) {
    FLink.OnRxBuf = [this](TObject*, const char* Buffer, int Count) { Received(Buffer, Count); };
}

TTransfer::~TTransfer() {
    Cancel();
    Wait();
}

void TTransfer::Start(TTransferProtocol Protocol, TTransferDirection Direction, const std::string& Path) {
    const std::string Name = TransferProtocolName(Protocol);
    if (Running()) throw Exception("a transfer runs already");
    if (!FPort.Connected())
        throw Exception("cannot start the " + Name + " transfer: the port is not connected");
    Wait();

    const TTransferCommand Cmd = TransferCommand(Protocol, Direction, Path);
    struct stat St {};
    if (Direction == tdSend) {
        const int Fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
        std::string Why;
        if (Fd < 0 || ::fstat(Fd, &St) != 0)
            Why = std::strerror(errno);
        else if (!S_ISREG(St.st_mode))
            Why = "not a regular file";
        if (Fd >= 0) ::close(Fd);
        if (!Why.empty()) throw Exception("cannot send " + Describe(Path, Why));
    } else if (Protocol == tpYmodem || Protocol == tpZmodem) {
        if (::stat(Path.c_str(), &St) != 0)
            throw Exception("cannot receive into " + Describe(Path, std::strerror(errno)));
        if (!S_ISDIR(St.st_mode)) throw Exception("cannot receive into " + Describe(Path, "not a folder"));
        if (::access(Path.c_str(), W_OK) != 0)
            throw Exception("cannot receive into " + Describe(Path, std::strerror(errno)));
    } else {
        const std::string Dir = Cmd.Dir.empty() ? "." : Cmd.Dir;
        if (std::filesystem::path(Path).filename().empty())
            throw Exception("cannot receive into " + Describe(Path, "no file name"));
        if (::lstat(Path.c_str(), &St) == 0)
            throw Exception("cannot receive into " + Describe(Path, "the file exists already"));
        if (::stat(Dir.c_str(), &St) != 0 || ::access(Dir.c_str(), W_OK) != 0)
            throw Exception("cannot receive into " + Describe(Path, std::strerror(errno)));
        if (!S_ISDIR(St.st_mode))
            throw Exception("cannot receive into " + Describe(Path, std::strerror(ENOTDIR)));
    }
    FProgram = Cmd.Argv.front();
    const std::string Program = FindProgram(FProgram);
    if (Program.empty()) throw Exception(FProgram + " not found: install lrzsz");

    // Our ends of the pipes wait in poll (the writer to the program's stdin too, so that it can
    // stop when the program has ended); the program's ends are blocking, as a terminal would be.
    int In[2] = {-1, -1}, Out[2] = {-1, -1}, Err[2] = {-1, -1}, Wk[2] = {-1, -1};
    auto CloseAll = [&] {
        for (int* P : {In, Out, Err, Wk})
            for (int I = 0; I < 2; ++I)
                CloseFd(P[I]);
    };
    try {
        MakePipe(In);
        MakePipe(Out);
        MakePipe(Err);
        MakePipe(Wk);
    } catch (...) {
        CloseAll();
        throw;
    }
    SetNonBlocking(In[1]);
    SetNonBlocking(Out[0]);
    SetNonBlocking(Err[0]);
    SetNonBlocking(Wk[0]);

    posix_spawn_file_actions_t Actions;
    posix_spawnattr_t Attr;
    posix_spawn_file_actions_init(&Actions);
    posix_spawnattr_init(&Attr);
    posix_spawn_file_actions_adddup2(&Actions, In[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&Actions, Out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&Actions, Err[1], STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&Actions, 3);
    if (!Cmd.Dir.empty()) posix_spawn_file_actions_addchdir_np(&Actions, Cmd.Dir.c_str());
    // A session of its own: no controlling terminal, and a process group Cancel signals whole.
    sigset_t Mask, Default;
    sigemptyset(&Mask);
    sigemptyset(&Default);
    for (int Sig : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD, SIGALRM, SIGTTIN, SIGTTOU})
        sigaddset(&Default, Sig);
    posix_spawnattr_setsigmask(&Attr, &Mask);
    posix_spawnattr_setsigdefault(&Attr, &Default);
    posix_spawnattr_setflags(&Attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> Argv;
    for (const std::string& A : Cmd.Argv)
        Argv.push_back(const_cast<char*>(A.c_str()));
    Argv.push_back(nullptr);

    FCancel.store(false);
    FStop.store(false);
    {
        std::lock_guard Lock(FLock);
        FQueue.clear();
        FPending = 0;
        FExited = FKilled = FToPortDone = false;
        FError.clear();
    }
    FPort.RegisterLink(&FLink);
    pid_t Pid = 0;
    const int Spawned = ::posix_spawn(&Pid, Program.c_str(), &Actions, &Attr, Argv.data(), environ);
    posix_spawn_file_actions_destroy(&Actions);
    posix_spawnattr_destroy(&Attr);
    CloseFd(In[0]);
    CloseFd(Out[1]);
    CloseFd(Err[1]);
    if (Spawned != 0) {
        FPort.UnRegisterLink(&FLink);
        CloseAll();
        throw Exception("cannot start " + Program + ": " + std::strerror(Spawned));
    }
    FPid.store(Pid, std::memory_order_release);
    FIn = In[1];
    FOut = Out[0];
    FErr = Err[0];
    FWakeRead = Wk[0];
    FWakeWrite = Wk[1];
    FRunning.store(true, std::memory_order_release);
    // Where a receive writes: the file an XMODEM receive was given, else the file rb names.
    TTransferProgress::TWrittenFn Written;
    if (Direction == tdReceive) {
        const bool Named = Protocol == tpXmodem || Protocol == tpXmodemCrc || Protocol == tpXmodem1k;
        Written = [Named, Path](const std::string& Name) -> int64_t {
            if (!Named && Name.empty()) return -1;
            struct stat S {};
            return ::stat((Named ? Path : Path + "/" + Name).c_str(), &S) == 0 ? int64_t(S.st_size) : -1;
        };
    }
    try {
        FToChild = std::thread([this] { ToChild(); });
        FToPort = std::thread([this, Chunk = LineChunk(FPort)] { ToPort(Chunk); });
        FWatch = std::thread([this, Written] { Watch(Written); });
    } catch (...) {
        // No watcher: end the program and the relays here.
        {
            std::lock_guard Lock(FLock);
            ::kill(-Pid, SIGKILL);
        }
        int Status = 0;
        ::waitpid(Pid, &Status, 0);
        FPid.store(0);
        FStop.store(true);
        FQueueChanged.notify_all();
        Wake();
        if (FToChild.joinable()) FToChild.join();
        if (FToPort.joinable()) FToPort.join();
        FPort.UnRegisterLink(&FLink);
        CloseFds();
        FRunning.store(false);
        throw;
    }
}

void TTransfer::Cancel() {
    if (!Running()) return;
    {
        std::lock_guard Lock(FLock);
        if (FCancel.load() || FExited) return;
        FCancel.store(true);
        FCancelAt = std::chrono::steady_clock::now();
        // Ends the write in progress; the relay then sends the cancel sequence.
        PurgeComm(FPort.Handle(), PURGE_TXABORT | PURGE_TXCLEAR);
        const pid_t Pid = FPid.load();
        if (Pid > 0) ::kill(-Pid, SIGTERM);
    }
    FQueueChanged.notify_all();
    Wake();
}

void TTransfer::Wait() {
    if (FWatch.joinable()) FWatch.join();
}

void TTransfer::Wake() {
    std::lock_guard Lock(FLock);
    if (FWakeWrite >= 0) {
        const char One = 1;
        [[maybe_unused]] const ssize_t N = ::write(FWakeWrite, &One, 1);
    }
}

void TTransfer::CloseFds() {
    std::lock_guard Lock(FLock);
    for (int* Fd : {&FIn, &FOut, &FErr, &FWakeRead, &FWakeWrite})
        CloseFd(*Fd);
}

// The port's delivery thread.
void TTransfer::Received(const char* Buffer, int Count) {
    if (Count <= 0) return;
    std::unique_lock Lock(FLock);
    if (FStop.load()) return;
    // A program slower than the line holds the port's delivery (and through it the sender) until
    // it has read; nothing is dropped. The wait ends when the program ends (Cancel ends it).
    FQueueChanged.wait(Lock, [this] { return FPending <= QueueLimit || FStop.load(); });
    if (FStop.load()) return;
    FQueue.append(Buffer, static_cast<std::size_t>(Count));
    FPending += static_cast<std::size_t>(Count);
    Lock.unlock();
    FQueueChanged.notify_all();
}

// Received bytes to the program's stdin.
void TTransfer::ToChild() {
    // A program that has ended makes the write fail with EPIPE instead of raising SIGPIPE (which
    // is sent to the writing thread and stays pending on it until it ends).
    sigset_t Pipe;
    sigemptyset(&Pipe);
    sigaddset(&Pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &Pipe, nullptr);
    bool Broken = false;
    std::string Chunk;
    for (;;) {
        {
            std::unique_lock Lock(FLock);
            FQueueChanged.wait(Lock, [this] { return !FQueue.empty() || FStop.load(); });
            if (FQueue.empty()) break;
            Chunk.swap(FQueue);
            FQueue.clear();
        }
        for (std::size_t Done = 0; !Broken && Done < Chunk.size();) {
            const ssize_t N = ::write(FIn, Chunk.data() + Done, Chunk.size() - Done);
            if (N > 0) {
                Done += static_cast<std::size_t>(N);
            } else if (N < 0 && errno == EAGAIN) {
                if (FStop.load()) break;
                pollfd P{FIn, POLLOUT, 0};
                ::poll(&P, 1, 200);
            } else if (N < 0 && errno != EINTR) {
                Broken = true;
            }
        }
        {
            std::lock_guard Lock(FLock);
            FPending -= Chunk.size();
        }
        FQueueChanged.notify_all();
        Chunk.clear();
    }
}

// The program's stdout to the port.
void TTransfer::ToPort(int ChunkSize) {
    std::vector<char> Buffer(static_cast<std::size_t>(ChunkSize));
    bool CancelSeen = false;
    bool StopSeen = false;
    try {
        for (;;) {
            if (!CancelSeen && FCancel.load()) {
                CancelSeen = true;
                // Cancel purges under the lock it set the flag under: once the lock is free, the
                // purge is over and cannot drop the sequence.
                { std::lock_guard Lock(FLock); }
                SendCancelSequence();
            }
            if (!StopSeen && FStop.load()) StopSeen = true;
            // The wake pipe stays readable once written: it is watched only until it has told.
            pollfd P[2] = {{FOut, POLLIN, 0}, {FWakeRead, POLLIN, 0}};
            const bool WatchWake = !CancelSeen && !StopSeen;
            const int R = ::poll(P, WatchWake ? 2 : 1, WatchWake ? -1 : 100);
            if (R < 0 && errno != EINTR) break;
            const ssize_t N = ::read(FOut, Buffer.data(), Buffer.size());
            if (N == 0) break; // the program and everything it started have closed its stdout
            if (N > 0) {
                // After a cancel the program's words are dropped; it is being ended.
                if (!CancelSeen && !FCancel.load()) WritePort(Buffer.data(), static_cast<int>(N));
                continue;
            }
            if (errno != EAGAIN && errno != EINTR) break;
            // Nothing left and the program is gone (something it started may hold the pipe).
            if (StopSeen && R == 0) break;
        }
    } catch (const std::exception& E) {
        {
            std::lock_guard Lock(FLock);
            if (FError.empty()) FError = E.what();
        }
        Cancel();
        // Drain what the program still says until it has gone, so it never waits on us.
        char Sink[4096];
        for (;;) {
            pollfd P{FOut, POLLIN, 0};
            ::poll(&P, 1, 100);
            const ssize_t N = ::read(FOut, Sink, sizeof Sink);
            if (N == 0 || (N < 0 && errno != EAGAIN && errno != EINTR)) break;
            if (N < 0 && FStop.load()) break;
        }
    }
    {
        std::lock_guard Lock(FLock);
        FToPortDone = true;
    }
    FQueueChanged.notify_all();
}

bool TTransfer::WritePort(const char* Data, int Count) {
    return WriteWhole(
        FPort, Data, Count, FCancel,
        [this] {
            std::unique_lock Lock(FLock);
            FQueueChanged.wait_for(Lock, 50ms, [this] { return FCancel.load(); });
        },
        [](int) {});
}

// Ten CAN bytes end every lrzsz program (and the other XMODEM, YMODEM and ZMODEM programs: five
// are asked for); the backspaces wipe them from a terminal that shows them. A line held for good
// does not hold the transfer's end: the watcher purges the write.
void TTransfer::SendCancelSequence() {
    const std::string Sequence = std::string(10, '\x18') + std::string(10, '\x08');
    try {
        TAsyncGuard Async;
        int Done = 0;
        for (int Try = 0; Done < static_cast<int>(Sequence.size()) && Try < 20; ++Try) {
            FPort.WriteAsync(Sequence.data() + Done, static_cast<int>(Sequence.size()) - Done, Async.P);
            const int Got = FPort.WaitForAsync(Async.P);
            Done += Got;
            if (Got == 0) std::this_thread::sleep_for(50ms);
        }
    } catch (const std::exception&) {
        // A port that has failed cannot carry it; the program ends anyway.
    }
}

void TTransfer::Watch(TTransferProgress::TWrittenFn Written) {
    TTransferProgress Parser(std::move(Written));
    std::string Line, Last;
    auto Take = [&] {
        while (!Line.empty() && (Line.back() == ' ' || Line.back() == '\t'))
            Line.pop_back();
        if (Line.empty()) return;
        Last = Line;
        int64_t Bytes = 0;
        if (Parser.Feed(Line, Bytes) && OnProgress) OnProgress(Bytes, Line);
        Line.clear();
    };
    const pid_t Pid = FPid.load();
    auto Escalate = [&] {
        std::lock_guard Lock(FLock);
        if (FCancel.load() && !FKilled && !FExited && std::chrono::steady_clock::now() - FCancelAt >= 1s) {
            ::kill(-Pid, SIGKILL);
            FKilled = true;
        }
    };

    bool CancelSeen = false;
    char Buffer[4096];
    for (bool Eof = false; !Eof;) {
        pollfd P[2] = {{FErr, POLLIN, 0}, {FWakeRead, POLLIN, 0}};
        const int R = ::poll(P, CancelSeen ? 1 : 2, CancelSeen ? 100 : -1);
        if (R < 0 && errno != EINTR) break;
        if (!CancelSeen && (P[1].revents & POLLIN) && FCancel.load()) CancelSeen = true;
        for (;;) {
            const ssize_t N = ::read(FErr, Buffer, sizeof Buffer);
            if (N > 0) {
                for (ssize_t I = 0; I < N; ++I) {
                    const char C = Buffer[I];
                    if (C == '\r' || C == '\n')
                        Take();
                    else if (Line.size() < 4096)
                        Line += C;
                }
                continue;
            }
            if (N == 0 || (errno != EAGAIN && errno != EINTR)) Eof = true;
            break;
        }
        if (CancelSeen) Escalate();
    }
    Take();

    // The program has closed its stderr: wait for its end (left unreaped until it is marked ended,
    // so that Cancel never signals an id used again).
    int Status = 0;
    for (;;) {
        siginfo_t Info{};
        if (::waitid(P_PID, static_cast<id_t>(Pid), &Info, WEXITED | WNOWAIT | WNOHANG) != 0 &&
            errno != EINTR)
            break;
        if (Info.si_pid == Pid) break;
        std::this_thread::sleep_for(20ms);
        Escalate();
    }
    {
        std::lock_guard Lock(FLock);
        FExited = true;
        while (::waitpid(Pid, &Status, 0) < 0 && errno == EINTR) {
        }
        FPid.store(0, std::memory_order_release);
    }

    // The relays end: the writer to the program at once, the one to the port once it has written
    // what the program said last (a write held by flow control is aborted once cancelled).
    FStop.store(true);
    FQueueChanged.notify_all();
    Wake();
    FToChild.join();
    {
        std::unique_lock Lock(FLock);
        while (!FQueueChanged.wait_for(Lock, 500ms, [this] { return FToPortDone; }))
            if (FCancel.load() && std::chrono::steady_clock::now() - FCancelAt >= 2s)
                PurgeComm(FPort.Handle(), PURGE_TXABORT | PURGE_TXCLEAR);
    }
    FToPort.join();
    FPort.UnRegisterLink(&FLink);
    CloseFds();

    bool Ok = false;
    std::string Text;
    std::string Error;
    {
        std::lock_guard Lock(FLock);
        Error = FError;
    }
    if (!Error.empty()) {
        Text = Error;
    } else if (WIFEXITED(Status) && WEXITSTATUS(Status) == 0) {
        Ok = true;
        Text = Last;
    } else if (FCancel.load()) {
        Text = "cancelled";
    } else if (WIFSIGNALED(Status)) {
        Text = FProgram + " ended by signal " + std::to_string(WTERMSIG(Status)) + " (" +
               strsignal(WTERMSIG(Status)) + ")";
        if (!Last.empty()) Text += ": " + Last;
    } else {
        Text = Last.empty() ? FProgram + " failed with status " + std::to_string(WEXITSTATUS(Status)) : Last;
    }
    FRunning.store(false, std::memory_order_release);
    if (OnDone) OnDone(Ok, Text);
}
