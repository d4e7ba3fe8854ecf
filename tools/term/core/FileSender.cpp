#include "tools/term/core/FileSender.h"
#include "tools/term/core/PortWrite.h"

#include "cport/ComPort.h"
#include "platform/comm/WinComm.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

TFileSender::TFileSender(TCustomComPort& Port) : FPort(Port) {}

TFileSender::~TFileSender() {
    Cancel();
    Wait();
}

void TFileSender::Start(const std::string& FileName) {
    if (Running()) throw Exception("a file is being sent already");
    if (!FPort.Connected()) throw Exception("cannot send " + FileName + ": the port is not connected");
    Wait();
    const int Fd = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat St {};
    std::string Why;
    if (Fd < 0 || ::fstat(Fd, &St) != 0)
        Why = std::strerror(errno);
    else if (!S_ISREG(St.st_mode))
        Why = "not a regular file";
    if (!Why.empty()) {
        if (Fd >= 0) ::close(Fd);
        throw Exception("cannot send " + FileName + ": " + Why);
    }
    FTotal = St.st_size;
    Launch(Fd, FileName);
}

void TFileSender::StartData(std::string Data, const std::string& Name) {
    if (Running()) throw Exception("a file is being sent already");
    if (!FPort.Connected()) throw Exception("cannot send " + Name + ": the port is not connected");
    Wait();
    FData = std::move(Data);
    FTotal = static_cast<int64_t>(FData.size());
    Launch(-1, Name);
}

void TFileSender::Launch(int Fd, const std::string& Name) {
    FCancel.store(false);
    FRunning.store(true, std::memory_order_release);
    try {
        FThread = std::thread([this, Fd, Chunk = LineChunk(FPort), Name] { Run(Fd, Chunk, Name); });
    } catch (...) {
        FRunning.store(false);
        if (Fd >= 0) ::close(Fd);
        throw;
    }
}

void TFileSender::Cancel() {
    if (!Running()) return;
    {
        std::lock_guard Lock(FLock);
        FCancel.store(true);
    }
    FWake.notify_all();
    // Ends the write in progress (and drops what waits in the output queue); the event thread's
    // reads are left alone. A port closed meanwhile has nothing to abort.
    PurgeComm(FPort.Handle(), PURGE_TXABORT | PURGE_TXCLEAR);
}

void TFileSender::Wait() {
    if (FThread.joinable()) FThread.join();
}

void TFileSender::Run(int Fd, int ChunkSize, const std::string& FileName) {
    TSendResult Result = srDone;
    std::string Text;
    int64_t Sent = 0;
    std::vector<char> Buffer(static_cast<std::size_t>(ChunkSize));
    try {
        while (Sent < FTotal) {
            if (FCancel.load()) {
                Result = srCancelled;
                break;
            }
            const auto Want = static_cast<std::size_t>(std::min<int64_t>(ChunkSize, FTotal - Sent));
            if (Fd < 0) {
                if (!WriteAll(FData.data() + Sent, static_cast<int>(Want), Sent)) {
                    Result = srCancelled;
                    break;
                }
                continue;
            }
            const ssize_t N = ::read(Fd, Buffer.data(), Want);
            if (N < 0 && errno == EINTR) continue;
            if (N <= 0) {
                Result = srFailed;
                Text = N < 0 ? "cannot read " + FileName + ": " + std::strerror(errno)
                             : FileName + " got shorter while it was sent";
                break;
            }
            if (!WriteAll(Buffer.data(), static_cast<int>(N), Sent)) {
                Result = srCancelled;
                break;
            }
        }
    } catch (const std::exception& E) {
        // A write aborted by Cancel ends with "aborted"; anything else is the port's failure.
        Result = FCancel.load() ? srCancelled : srFailed;
        Text = E.what();
    }
    if (Fd >= 0) ::close(Fd);
    FRunning.store(false, std::memory_order_release);
    if (OnDone) OnDone(Result, Sent, Text);
}

bool TFileSender::WriteAll(const char* Data, int Count, int64_t& Sent) {
    return WriteWhole(
        FPort, Data, Count, FCancel,
        [this] {
            std::unique_lock Lock(FLock);
            FWake.wait_for(Lock, std::chrono::milliseconds(50), [this] { return FCancel.load(); });
        },
        [this, &Sent](int Got) {
            Sent += Got;
            if (OnProgress) OnProgress(Sent, FTotal);
        });
}
