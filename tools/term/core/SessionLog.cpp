#include "tools/term/core/SessionLog.h"

#include "platform/toolkit/Exception.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {
// A long line without an end is written in pieces of this size rather than kept whole.
constexpr std::size_t MaxPending = 64 * 1024;
} // namespace

TSessionLog::~TSessionLog() {
    try {
        Close();
    } catch (const Exception&) {
        // Nothing left to tell the user with; the bytes that failed are lost either way.
    }
}

void TSessionLog::Open(const std::string& FileName, TLogFormat Format) {
    Close();
    const int Fd = ::open(FileName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (Fd < 0) throw Exception("cannot open the log " + FileName + ": " + std::strerror(errno));
    FFd = Fd;
    FFileName = FileName;
    FFormat = Format;
    FAtLineStart = true;
    FAfterCR = false;
}

void TSessionLog::Close() {
    if (FFd < 0) return;
    struct TCloser {
        TSessionLog& Log;
        ~TCloser() {
            ::close(Log.FFd);
            Log.FFd = -1;
            Log.FPending.clear();
        }
    } Closer{*this};
    Flush();
}

std::string TSessionLog::Stamp(std::chrono::system_clock::time_point Time) {
    const std::time_t Seconds = std::chrono::system_clock::to_time_t(Time);
    const auto Ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Time.time_since_epoch()).count() % 1000;
    std::tm Local{};
    localtime_r(&Seconds, &Local);
    char Text[40];
    const std::size_t N = std::strftime(Text, sizeof Text, "%Y-%m-%d %H:%M:%S", &Local);
    std::snprintf(Text + N, sizeof Text - N, ".%03d ", static_cast<int>(Ms < 0 ? Ms + 1000 : Ms));
    return Text;
}

bool TSessionLog::Write(std::string_view Bytes) {
    if (FFd < 0 || Bytes.empty()) return Pending();
    bool LineEnded = false;
    if (FFormat == lfRaw) {
        FPending.append(Bytes);
        LineEnded = Bytes.find_first_of("\r\n") != std::string_view::npos;
    } else {
        for (const char Ch : Bytes) {
            if (Ch == '\n' && FAfterCR) {
                FAfterCR = false;
                continue;
            }
            FAfterCR = Ch == '\r';
            if (Ch == '\r' || Ch == '\n') {
                // An empty line still gets its time: it was received then.
                if (FAtLineStart) FPending += Stamp(FClock ? FClock() : std::chrono::system_clock::now());
                FPending += '\n';
                FAtLineStart = true;
                LineEnded = true;
                continue;
            }
            if (FAtLineStart) FPending += Stamp(FClock ? FClock() : std::chrono::system_clock::now());
            FAtLineStart = false;
            FPending += Ch;
        }
    }
    if (LineEnded || FPending.size() >= MaxPending) Flush();
    return Pending();
}

void TSessionLog::Flush() {
    std::size_t Done = 0;
    while (FFd >= 0 && Done < FPending.size()) {
        const ssize_t N = ::write(FFd, FPending.data() + Done, FPending.size() - Done);
        if (N > 0) {
            Done += static_cast<std::size_t>(N);
            continue;
        }
        if (N < 0 && errno == EINTR) continue;
        const int Err = N < 0 ? errno : ENOSPC;
        FPending.erase(0, Done);
        throw Exception("cannot write the log " + FFileName + ": " + std::strerror(Err));
    }
    FPending.clear();
}
