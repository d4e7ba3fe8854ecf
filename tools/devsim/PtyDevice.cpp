#include "tools/devsim/PtyDevice.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace devsim {

namespace {
int64_t NowMicros() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

void SleepUntil(int64_t us) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(us / 1'000'000);
    ts.tv_nsec = static_cast<long>(us % 1'000'000) * 1000;
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Written to a temporary file and renamed, so a reader never sees half a job.
void WriteFileAtomically(const std::string& path, const std::string& data) {
    const std::string tmp = path + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) Fail("cannot write " + tmp);
    const bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    if (std::fclose(f) != 0 || !ok) {
        ::unlink(tmp.c_str());
        Fail("cannot write " + tmp);
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        errno = err;
        Fail("cannot rename " + tmp + " to " + path);
    }
}
} // namespace

std::string TPtyDevice::OutputProblem(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return "cannot write " + path + ": " + (S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "not a regular file");
    // The contents go through a temporary file beside the target: try that file once now.
    const std::string tmp = path + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return "cannot write " + tmp + ": " + std::strerror(errno);
    ::close(fd);
    ::unlink(tmp.c_str());
    return std::string();
}

int64_t TPtyDevice::SilenceMicros(uint32_t baud) {
    const int64_t t = 30 * ByteMicros(baud);
    return t < 20'000 ? 20'000 : t;
}

TPtyDevice::TPtyDevice(TPtyOptions options) : FOptions(std::move(options)), FSim(FOptions.Device) {}

TPtyDevice::~TPtyDevice() {
    if (!FOptions.Link.empty() && !FSlave.empty()) {
        char target[4096];
        const ssize_t n = ::readlink(FOptions.Link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == FSlave)
            ::unlink(FOptions.Link.c_str());
    }
    for (int fd : {FMaster, FSlaveFd, FWake[0], FWake[1]})
        if (fd >= 0) ::close(fd);
}

void TPtyDevice::Open() {
    if (FOptions.Baud == 0) throw std::runtime_error("the bit rate must be above 0");
    FMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FMaster < 0) Fail("cannot open a pseudo-terminal");
    if (::grantpt(FMaster) != 0 || ::unlockpt(FMaster) != 0) Fail("cannot unlock the pseudo-terminal");
    char name[256];
    if (::ptsname_r(FMaster, name, sizeof name) != 0) Fail("cannot name the pseudo-terminal");
    FSlave = name;
    // The device keeps the slave open itself: the line then stays up between tool runs, and the
    // master never reports a hang-up while no tool has the port open.
    FSlaveFd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FSlaveFd < 0) Fail("cannot open " + FSlave);
    termios t{};
    if (::tcgetattr(FSlaveFd, &t) == 0) {
        // Raw both ways: no echo of the tool's bytes, no translation of CR, NUL or 0xFF.
        ::cfmakeraw(&t);
        ::tcsetattr(FSlaveFd, TCSANOW, &t);
    }
    const int flags = ::fcntl(FMaster, F_GETFL);
    ::fcntl(FMaster, F_SETFL, flags | O_NONBLOCK);
    if (::pipe2(FWake, O_CLOEXEC | O_NONBLOCK) != 0) Fail("cannot create a pipe");
    if (!FOptions.Link.empty()) {
        struct stat st {};
        if (::lstat(FOptions.Link.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                errno = EEXIST;
                Fail("will not replace " + FOptions.Link + " (not a symbolic link)");
            }
            ::unlink(FOptions.Link.c_str());
        }
        if (::symlink(FSlave.c_str(), FOptions.Link.c_str()) != 0)
            Fail("cannot link " + FOptions.Link + " to " + FSlave);
    }
}

void TPtyDevice::Stop() {
    FStop.store(true);
    if (FWake[1] >= 0) {
        const char c = 0;
        [[maybe_unused]] ssize_t n = ::write(FWake[1], &c, 1); // async-signal-safe
    }
}

void TPtyDevice::WriteAll(const std::string& bytes) {
    const int64_t bt = ByteMicros(FOptions.Baud);
    for (std::size_t i = 0; i < bytes.size();) {
        std::size_t chunk = bytes.size() - i;
        if (FOptions.Pace) {
            // A byte reaches the tool when its last bit has left the wire.
            const int64_t start = std::max(NowMicros(), FTxFree);
            FTxFree = start + bt;
            SleepUntil(FTxFree);
            chunk = 1;
        }
        const ssize_t n = ::write(FMaster, bytes.data() + i, chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                pollfd p{FMaster, POLLOUT, 0};
                ::poll(&p, 1, 100);
                continue;
            }
            Fail("write to the pseudo-terminal");
        }
        i += static_cast<std::size_t>(n);
    }
}

void TPtyDevice::Finish(const std::function<void(const TJobReport&)>& onJob, long& jobs) {
    for (TJobReport& r : FSim.TakeReports()) {
        if (!FOptions.Output.empty()) WriteFileAtomically(FOptions.Output, r.Flash);
        if (onJob) onJob(r);
        ++jobs;
        if (FOptions.Jobs >= 0 && jobs >= FOptions.Jobs) FStop.store(true);
    }
}

void TPtyDevice::Run(const std::function<void(const TJobReport&)>& onJob) {
    const int64_t silence = SilenceMicros(FOptions.Baud);
    const int64_t bt = ByteMicros(FOptions.Baud);
    int64_t lastRx = NowMicros();
    long jobs = 0;
    char buf[4096];
    while (!FStop.load()) {
        timespec wait{};
        timespec* timeout = nullptr;
        if (FSim.AwaitingSilence()) {
            const int64_t left = std::max<int64_t>(0, lastRx + silence - NowMicros());
            wait.tv_sec = static_cast<time_t>(left / 1'000'000);
            wait.tv_nsec = static_cast<long>(left % 1'000'000) * 1000;
            timeout = &wait;
        }
        pollfd fds[2] = {{FMaster, POLLIN, 0}, {FWake[0], POLLIN, 0}};
        const int rc = ::ppoll(fds, 2, timeout, nullptr);
        if (rc < 0) {
            if (errno == EINTR) continue;
            Fail("poll");
        }
        if (fds[1].revents) break;
        TDeviceReply reply;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::read(FMaster, buf, sizeof buf);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (n <= 0) {
                // Only when our own slave descriptor is gone; nothing more can arrive.
                break;
            }
            lastRx = NowMicros();
            if (FBangAt >= 0) {
                FTurnarounds.push_back(lastRx - FBangAt);
                FBangAt = -1;
            }
            if (FOptions.Pace) FRxFree = std::max(lastRx, FRxFree) + static_cast<int64_t>(n) * bt;
            reply = FSim.Receive(std::string_view(buf, static_cast<std::size_t>(n)));
        } else if (FSim.AwaitingSilence() && NowMicros() - lastRx >= silence) {
            reply = FSim.Silence();
        }
        Finish(onJob, jobs);
        if (reply.Bytes.empty()) continue;
        if (FOptions.Pace) {
            // The answer cannot start before the bytes it answers have come off the wire.
            FTxFree = std::max(FTxFree, FRxFree);
        }
        if (reply.AfterBlock && FOptions.BlockDelayMs > 0) {
            const int64_t ready = std::max(NowMicros(), FRxFree) + int64_t(FOptions.BlockDelayMs) * 1000;
            SleepUntil(ready);
        }
        WriteAll(reply.Bytes);
        if (reply.Bytes.back() == '!') FBangAt = NowMicros();
    }
    FSim.Abandon();
    Finish(onJob, jobs);
}

} // namespace devsim
