#include "platform/comm/TtyBackend.h"
#include "platform/comm/RxHold.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <csignal>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Interrupts a thread blocked in TIOCMIWAIT or tcdrain: installed without SA_RESTART, so the
// ioctl returns EINTR and the thread sees the stop flag.
int WakeSignal() {
    static const int sig = [] {
        int s = SIGRTMIN + 6;
        struct sigaction sa {};
        sa.sa_handler = [](int) {};
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        ::sigaction(s, &sa, nullptr);
        return s;
    }();
    return sig;
}

// Threads inherit the opener's signal mask; the two that Stop may have to interrupt must not
// block the wake signal.
void AcceptWakeSignal() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, WakeSignal());
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

bool NoModemLines(int err) {
    return err == ENOTTY || err == EINVAL;
}

constexpr int ModemMask = TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CD;

} // namespace

void TParmrkDecoder::Feed(const BYTE* p, size_t n, TOutput& out) {
    size_t run = 0; // start of the pending plain run
    for (size_t i = 0; i < n; ++i) {
        BYTE b = p[i];
        switch (FState) {
        case 0:
            if (b == 0xFF) {
                if (i > run) out.Data(p + run, i - run);
                FState = 1;
            }
            break;
        case 1:
            if (b == 0x00) {
                FState = 2;
            } else {
                // 0xFF 0xFF is a data 0xFF; anything else cannot come from the line discipline
                // and is passed on as data rather than lost.
                static const BYTE ff = 0xFF;
                out.Data(&ff, 1);
                FState = 0;
                run = b == 0xFF ? i + 1 : i;
                continue;
            }
            break;
        case 2:
            out.Mark(b);
            FState = 0;
            run = i + 1;
            continue;
        }
        if (FState != 0) run = i + 1;
    }
    if (FState == 0 && n > run) out.Data(p + run, n - run);
}

void TLineErrorTally::Add(long frames, long parity, long breaks) {
    // Counters only grow; a driver that resets them must not make the tally negative.
    FFrames += std::max(0L, frames);
    FParity += std::max(0L, parity);
    FBreaks += std::max(0L, breaks);
}

DWORD TLineErrorTally::Classify(BYTE x, bool parityOn) {
    // A break reads as a 0 byte; a 0 with a parity or frame error is possible but rarer.
    if (x == 0 && FBreaks > 0) return --FBreaks, CE_BREAK;
    if (FParity > 0 && (x != 0 || FFrames == 0)) return --FParity, CE_RXPARITY;
    if (FFrames > 0) return --FFrames, CE_FRAME;
    if (FBreaks > 0) return --FBreaks, CE_BREAK;
    if (x == 0) return CE_BREAK;
    return parityOn ? CE_RXPARITY : CE_FRAME;
}

TTtyBackend::TTtyBackend(int fd) : FFd(fd) {
    // A pseudo-terminal answers the modem ioctls with ENOTTY: it has no lines to wait for.
    int bits = 0;
    FHasModemLines = ::ioctl(fd, TIOCMGET, &bits) == 0 || !NoModemLines(errno);
}

TTtyBackend::~TTtyBackend() {
    Stop();
    if (FWakeFd >= 0) ::close(FWakeFd);
}

std::unique_ptr<TTtyBackend> TTtyBackend::Open(const std::string& path, DWORD* error, bool markAlways) {
    *error = ERROR_SUCCESS;
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        *error = e == EBUSY ? ERROR_ACCESS_DENIED : ErrnoToWinError(e);
        return nullptr;
    }
    if (!::isatty(fd)) {
        ::close(fd);
        *error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    // flock keeps out every cooperating opener (including root); TIOCEXCL keeps out the rest.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno;
        ::close(fd);
        *error = e == EWOULDBLOCK ? ERROR_ACCESS_DENIED : ErrnoToWinError(e);
        return nullptr;
    }
    ::ioctl(fd, TIOCEXCL);
    std::unique_ptr<TTtyBackend> b(new TTtyBackend(fd));
    b->FWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (b->FWakeFd < 0) {
        *error = ErrnoToWinError(errno);
        return nullptr;
    }
    // Raw at once: a pty left in cooked mode would echo the first bytes back to the far end.
    uint32_t baud = 0;
    if (TtyGetBaudRate(fd, &baud) == 0 && baud != 0) b->FSettings.BaudRate = baud;
    int lines = 0;
    b->FMarkErrors = markAlways || ::ioctl(fd, TIOCMGET, &lines) == 0;
    b->FSettings.MarkErrors = b->FMarkErrors;
    if (int e = TtyApplyLineSettings(fd, b->FSettings); e != 0) {
        *error = ErrnoToWinError(e);
        return nullptr;
    }
    serial_struct ss{};
    if (::ioctl(fd, TIOCGSERIAL, &ss) == 0 && !(ss.flags & ASYNC_LOW_LATENCY)) {
        ss.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(fd, TIOCSSERIAL, &ss);
    }
    return b;
}

DWORD TTtyBackend::Start(TLineSink* sink) {
    if (FStarted.exchange(true)) return ERROR_INVALID_PARAMETER;
    WakeSignal();
    FSink = sink;
    try {
        // Named so a look at the process (or an idle-wake-up check) can tell the port's threads.
        FReader = std::thread([this] {
            ::pthread_setname_np(::pthread_self(), "comm-tty-rx");
            ReaderLoop();
        });
        FWriter = std::thread([this] {
            ::pthread_setname_np(::pthread_self(), "comm-tty-tx");
            AcceptWakeSignal();
            WriterLoop();
        });
        FWatcher = std::thread([this] {
            ::pthread_setname_np(::pthread_self(), "comm-tty-modem");
            AcceptWakeSignal();
            WatcherLoop();
        });
    } catch (const std::system_error&) {
        // Out of threads: end the ones that started (none of them is blocked yet).
        FStop.store(true);
        WakeReader();
        {
            std::lock_guard g(FLock);
            FWriterCv.notify_all();
        }
        for (std::thread* t : {&FReader, &FWriter, &FWatcher})
            if (t->joinable()) t->join();
        FStarted.store(false);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return ERROR_SUCCESS;
}

void TTtyBackend::Stop() {
    std::lock_guard stopping(FStopLock);
    if (FStarted.load() && !FStop.exchange(true)) {
        WakeReader();
        {
            std::lock_guard g(FLock);
            FWriterCv.notify_all();
        }
        FReader.join();
        // The writer may sit in tcdrain (output held by flow control) and the watcher in
        // TIOCMIWAIT; neither returns on its own. The signal can land just before the ioctl
        // begins, so repeat it until both have seen the stop flag.
        while (!FWriterDone.load() || !FWatchDone.load()) {
            if (!FWriterDone.load()) ::pthread_kill(FWriter.native_handle(), WakeSignal());
            if (!FWatchDone.load()) ::pthread_kill(FWatcher.native_handle(), WakeSignal());
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        FWriter.join();
        FWatcher.join();
    }
    // The device is free for the next opener as soon as the port is closed, even while this
    // object lives on.
    std::lock_guard g(FLock);
    if (FFd < 0) return;
    ::tcflow(FFd, TCOON);
    // TIOCEXCL outlives this descriptor while others hold the tty open (a pty's far end).
    ::ioctl(FFd, TIOCNXCL);
    ::close(FFd);
    FFd = -1;
}

void TTtyBackend::WakeReader() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(FWakeFd, &one, sizeof one);
}

void TTtyBackend::Gone() {
    std::lock_guard g(FUpcallLock);
    if (FGone) return;
    FGone = true;
    FSink->OnDeviceGone(ERROR_DEVICE_NOT_CONNECTED);
}

namespace {
constexpr size_t kReadSize = 65536;
}

// Decodes what the reader reads and offers it to the core. What the core does not take is held,
// in order (data, and the line errors between its bytes), and offered again first; the reader
// reads again only once nothing is held. Line errors are classified by the driver's counters:
// each counter increase stands for one marked byte still to come (or already read). Reader thread
// only.
class TTtyBackend::TReader final : public TParmrkDecoder::TOutput {
  public:
    explicit TReader(TTtyBackend& b) : B(b), Raw(new BYTE[kReadSize]), Held(kReadSize + 2) {
        HaveCounts = ::ioctl(B.FFd, TIOCGICOUNT, &Last) == 0;
    }

    bool Empty() const { return Held.Empty(); }

    // A purge voids what is held and the decoder's half-read mark.
    void FollowEpoch() {
        const uint64_t now = B.FRxEpoch.load();
        if (now == Epoch) return;
        Epoch = now;
        Held.Clear();
        Decoder.Reset();
    }

    // Reads once into the held buffer (which must be empty): >0 bytes read, 0 hung up, <0 errno.
    ssize_t ReadDevice() {
        FollowEpoch();
        Held.Clear();
        ssize_t n = ::read(B.FFd, B.FMarkErrors ? Raw.get() : Held.Tail(), kReadSize);
        if (n <= 0) return n < 0 ? -errno : 0;
        if (B.FMarkErrors) {
            Decoder.Feed(Raw.get(), static_cast<size_t>(n), *this);
            Refresh();
        } else {
            Held.Added(static_cast<size_t>(n));
        }
        return n;
    }

    // Offers what is held; true when the core took all of it.
    bool Deliver() {
        FollowEpoch();
        std::lock_guard g(B.FUpcallLock);
        if (B.FGone) {
            Held.Clear();
            return true;
        }
        return Held.Offer(*B.FSink, Epoch);
    }

    // Decoded output never outgrows what was read by more than the 0xFF a previous read ended
    // with, so one read fits the held buffer.
    void Data(const BYTE* p, size_t n) override { Held.Append(p, n); }

    void Mark(BYTE x) override {
        Refresh();
        DWORD flag = Tally.Classify(x, B.FParityKind.load() != NOPARITY);
        if (flag == CE_RXPARITY && !B.FParityCheck.load()) {
            Data(&x, 1); // parity checking is off: the byte is data
            return;
        }
        Held.Mark(flag, flag == CE_BREAK ? -1 : x);
    }

    // Overruns are not marked in the stream; they show only in the counters: the UART's own
    // (bytes it could not hand on) and the kernel buffer's (bytes the system dropped).
    void Refresh() {
        if (!HaveCounts) return;
        serial_icounter_struct now{};
        if (::ioctl(B.FFd, TIOCGICOUNT, &now) != 0) return;
        Tally.Add(now.frame - Last.frame, now.parity - Last.parity, now.brk - Last.brk);
        if (now.overrun > Last.overrun) Held.Mark(CE_OVERRUN, -1);
        if (now.buf_overrun > Last.buf_overrun) Held.Mark(CE_RXOVER, -1);
        Last = now;
    }

  private:
    TTtyBackend& B;
    TParmrkDecoder Decoder;
    std::unique_ptr<BYTE[]> Raw;
    TRxHold Held;
    uint64_t Epoch = 0;
    bool HaveCounts = false;
    serial_icounter_struct Last{};
    TLineErrorTally Tally;
};

void TTtyBackend::ReaderLoop() {
    TReader reader(*this);
    for (;;) {
        FWakes.fetch_add(1, std::memory_order_relaxed);
        // Any wake-up may mean room (RxSpace) or a purge: offer what is held first.
        const bool waiting = !reader.Empty() && !reader.Deliver();
        // While input is held, POLLIN is left out: the bytes stay with the kernel. Hang-up is
        // reported whatever was asked for.
        pollfd fds[2] = {
            {FFd, static_cast<short>((waiting ? 0 : POLLIN) | (FWantSpace.load() ? POLLOUT : 0)), 0},
            {FWakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            Gone();
            return;
        }
        if (fds[1].revents & POLLIN) {
            uint64_t v;
            [[maybe_unused]] ssize_t r = ::read(FWakeFd, &v, sizeof v);
            if (FStop.load()) return;
        }
        if (fds[0].revents & POLLIN) {
            for (;;) {
                ssize_t n = reader.ReadDevice();
                if (n > 0) {
                    if (!reader.Deliver() || static_cast<size_t>(n) < kReadSize) break;
                    continue;
                }
                if (n == -EINTR) continue;
                if (n == -EAGAIN) break;
                Gone(); // read 0 (hung up) or EIO (unplugged, pty far end closed)
                return;
            }
        } else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            Gone();
            return;
        }
        if ((fds[0].revents & POLLOUT) && FWantSpace.exchange(false)) {
            std::lock_guard g(FUpcallLock);
            if (!FGone) FSink->OnTxSpace();
        }
    }
}

void TTtyBackend::WriterLoop() {
    std::unique_lock lk(FLock);
    bool failed = false; // the device stopped answering; the reader reports it gone
    while (!FStop.load()) {
        FWakes.fetch_add(1, std::memory_order_relaxed);
        if (!failed && FBreakWanted >= 0) {
            // The kernel makes a break change wait for the output to drain, so it runs here and
            // not on the caller's thread.
            int on = FBreakWanted;
            FBreakWanted = -1;
            lk.unlock();
            ::ioctl(FFd, on ? TIOCSBRK : TIOCCBRK);
            lk.lock();
            continue;
        }
        uint64_t target = FWritten.load();
        if (!failed && target != FDrained.load()) {
            uint64_t gen = FPurgeGen;
            lk.unlock();
            int r = ::tcdrain(FFd);
            int err = errno;
            lk.lock();
            if (r != 0) {
                if (err != EINTR) failed = true;
                continue;
            }
            if (gen != FPurgeGen || FDrained.load() >= target) continue;
            FDrained.store(target);
            if (target == FWritten.load()) {
                lk.unlock();
                {
                    std::lock_guard g(FUpcallLock);
                    if (!FGone) FSink->OnTxEmpty();
                }
                lk.lock();
            }
            continue;
        }
        FWriterCv.wait(lk);
    }
    FWriterDone.store(true);
}

void TTtyBackend::WatcherLoop() {
    serial_icounter_struct prev{};
    bool counts = ::ioctl(FFd, TIOCGICOUNT, &prev) == 0;
    DWORD last = ModemLines();
    int idleReturns = 0;
    while (!FStop.load()) {
        FWakes.fetch_add(1, std::memory_order_relaxed);
        if (::ioctl(FFd, TIOCMIWAIT, ModemMask) != 0) {
            if (errno == EINTR) continue;
            break; // no modem lines (pty) or device gone: lines stay as they read, quietly
        }
        DWORD now = ModemLines();
        DWORD pulsed = 0;
        serial_icounter_struct cur{};
        if (counts && ::ioctl(FFd, TIOCGICOUNT, &cur) == 0) {
            // A line that went and came back between two looks still counts as two changes.
            auto pulse = [&](int a, int b, DWORD bit) {
                if (a != b && !((now ^ last) & bit)) pulsed |= bit;
            };
            pulse(cur.cts, prev.cts, MS_CTS_ON);
            pulse(cur.dsr, prev.dsr, MS_DSR_ON);
            pulse(cur.rng, prev.rng, MS_RING_ON);
            pulse(cur.dcd, prev.dcd, MS_RLSD_ON);
            prev = cur;
        }
        if (now == last && !pulsed) {
            // A driver that returns at once without a change would make this loop spin.
            if (++idleReturns > 100) break;
            continue;
        }
        idleReturns = 0;
        std::lock_guard g(FUpcallLock);
        if (FGone) break;
        if (pulsed) FSink->OnModemLines(last ^ pulsed);
        FSink->OnModemLines(now);
        last = now;
    }
    FWatchDone.store(true);
}

DWORD TTtyBackend::ApplyState(const DCB& dcb) {
    TTtyLineSettings s;
    s.BaudRate = dcb.BaudRate;
    s.ByteSize = dcb.ByteSize;
    s.Parity = dcb.Parity;
    s.StopBits = dcb.StopBits;
    // The kernel's CTS flow also drives RTS from its own buffer, so it is used only when the
    // settings ask for exactly that pair; other combinations are left to the driver core.
    s.HardwareFlow = dcb.fOutxCtsFlow && dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
    s.XonChar = static_cast<BYTE>(dcb.XonChar);
    s.XoffChar = static_cast<BYTE>(dcb.XoffChar);
    s.XonXoffOutput = dcb.fOutX != 0;
    std::lock_guard g(FLock);
    s.MarkErrors = FMarkErrors;
    if (int e = TtyApplyLineSettings(FFd, s); e != 0) return ErrnoToWinError(e);
    FSettings = s;
    FKernelCtsFlow.store(s.HardwareFlow);
    FParityKind.store(dcb.Parity);
    FParityCheck.store(dcb.fParity != 0);
    return ERROR_SUCCESS;
}

size_t TTtyBackend::Write(const BYTE* data, size_t n) {
    if (n == 0) return 0;
    std::lock_guard g(FLock);
    ssize_t r = ::write(FFd, data, n);
    if (r < 0) r = 0; // EAGAIN: full; EIO: the reader reports the device gone
    if (r > 0) {
        FWritten.fetch_add(static_cast<uint64_t>(r));
        FWriterCv.notify_one();
    }
    if (static_cast<size_t>(r) < n && !FWantSpace.exchange(true)) WakeReader();
    return static_cast<size_t>(r);
}

size_t TTtyBackend::TxPending() const {
    return static_cast<size_t>(FWritten.load() - FDrained.load());
}

DWORD TTtyBackend::SendUrgent(BYTE c) {
    std::lock_guard g(FLock);
    int r;
    if (c == 0) {
        // NUL disables a control character, so it cannot go out ahead of the queue.
        r = ::write(FFd, &c, 1) == 1 ? 0 : -1;
    } else if (c == FSettings.XoffChar) {
        r = ::tcflow(FFd, TCIOFF);
    } else if (c == FSettings.XonChar) {
        r = ::tcflow(FFd, TCION);
    } else if (FSettings.XonXoffOutput) {
        // With IXON a borrowed stop character would also stop output on a byte received meanwhile:
        // the byte goes out in turn instead of ahead.
        r = ::write(FFd, &c, 1) == 1 ? 0 : -1;
    } else {
        BYTE prev = 0;
        if (int e = TtySetStopChar(FFd, c, &prev); e != 0) return ErrnoToWinError(e);
        r = ::tcflow(FFd, TCIOFF);
        int err = errno;
        TtySetStopChar(FFd, prev, &prev);
        errno = err;
    }
    if (r != 0) return ErrnoToWinError(errno);
    FWritten.fetch_add(1);
    FWriterCv.notify_one();
    return ERROR_SUCCESS;
}

void TTtyBackend::PurgeTx() {
    std::lock_guard g(FLock);
    ::tcflush(FFd, TCOFLUSH);
    FDrained.store(FWritten.load());
    ++FPurgeGen;
    FWriterCv.notify_one();
}

void TTtyBackend::PurgeRx(uint64_t epoch) {
    // The kernel's buffer first, then the epoch: a byte read in between is dropped, never a stale
    // one delivered.
    ::tcflush(FFd, TCIFLUSH);
    FRxEpoch.store(epoch);
    WakeReader();
}

void TTtyBackend::RxSpace() {
    WakeReader();
}

DWORD TTtyBackend::ModemBits(int bitsOn, int bitsOff) {
    if (bitsOn && ::ioctl(FFd, TIOCMBIS, &bitsOn) != 0 && !NoModemLines(errno)) return ErrnoToWinError(errno);
    if (bitsOff && ::ioctl(FFd, TIOCMBIC, &bitsOff) != 0 && !NoModemLines(errno))
        return ErrnoToWinError(errno);
    return ERROR_SUCCESS;
}

DWORD TTtyBackend::SetDtr(bool on) {
    return on ? ModemBits(TIOCM_DTR, 0) : ModemBits(0, TIOCM_DTR);
}
DWORD TTtyBackend::SetRts(bool on) {
    return on ? ModemBits(TIOCM_RTS, 0) : ModemBits(0, TIOCM_RTS);
}

DWORD TTtyBackend::SetBreak(bool on) {
    std::lock_guard g(FLock);
    FBreakWanted = on ? 1 : 0;
    FWriterCv.notify_one();
    return ERROR_SUCCESS;
}

DWORD TTtyBackend::ModemLines() {
    int bits = 0;
    if (::ioctl(FFd, TIOCMGET, &bits) != 0) return 0;
    return (bits & TIOCM_CTS ? MS_CTS_ON : 0) | (bits & TIOCM_DSR ? MS_DSR_ON : 0) |
           (bits & TIOCM_RNG ? MS_RING_ON : 0) | (bits & TIOCM_CD ? MS_RLSD_ON : 0);
}

void TTtyBackend::NoteXoffHold(bool held) {
    // Stops the kernel's own queue too, so output halts within a character, not a buffer.
    ::tcflow(FFd, held ? TCOOFF : TCOON);
}
