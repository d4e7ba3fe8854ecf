#include "platform/comm/NetBackend.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>
#include <utility>

using namespace telnet;
using Clock = std::chrono::steady_clock;

namespace {

int MsLeft(Clock::time_point until) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

DWORD ConnectError(int e) {
    switch (e) {
    case ECONNREFUSED:
        return ERROR_CONNECTION_REFUSED;
    case ETIMEDOUT:
        return ERROR_SEM_TIMEOUT;
    case ENETUNREACH:
    case EHOSTUNREACH:
        return ERROR_HOST_UNREACHABLE;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// One address, without blocking for longer than until allows.
int ConnectOne(const addrinfo& ai, Clock::time_point until, int* err) {
    int fd = ::socket(ai.ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    if (::connect(fd, ai.ai_addr, ai.ai_addrlen) == 0) return fd;
    if (errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int r;
        while ((r = ::poll(&p, 1, MsLeft(until))) < 0 && errno == EINTR) {
        }
        if (r == 0) {
            *err = ETIMEDOUT;
        } else {
            int e = 0;
            socklen_t len = sizeof e;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &e, &len);
            if (e == 0) return fd;
            *err = e;
        }
    } else {
        *err = errno;
    }
    ::close(fd);
    return -1;
}

void SetOption(int fd, int level, int name, int value) {
    ::setsockopt(fd, level, name, &value, sizeof value);
}

// What a server said before it hung up, as one readable line.
std::string Readable(const std::string& text) {
    std::string out;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7F)
            out.push_back(c);
        else if (!out.empty() && out.back() != ' ')
            out.push_back(' ');
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

// Request values: every modem line change with its delta bits; overrun, parity, framing, break;
// the server's buffer towards us, or towards the device; "tell me the rate".
constexpr BYTE kAllModemChanges = 0xFF, kLineErrors = 0x1E, kPurgeReceive = 1, kPurgeTransmit = 2;
constexpr BYTE kBaudQuery[4] = {0, 0, 0, 0};

void Put32(BYTE* b, uint32_t v) {
    b[0] = static_cast<BYTE>(v >> 24);
    b[1] = static_cast<BYTE>(v >> 16);
    b[2] = static_cast<BYTE>(v >> 8);
    b[3] = static_cast<BYTE>(v);
}

} // namespace

bool ProbeNetPort(const std::string& name, int timeoutMs) {
    auto parsed = ParseNetPortName(name);
    if (!parsed) return false;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(parsed->Host.c_str(), parsed->Service.c_str(), &hints, &found) != 0) return false;
    const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int fd = -1, err = 0;
    for (const addrinfo* ai = found; ai && fd < 0; ai = ai->ai_next)
        fd = ConnectOne(*ai, until, &err);
    ::freeaddrinfo(found);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

TNetBackend::TNetBackend(int fd, bool telnet) : FFd(fd), FTelnet(telnet), FStage(kStageSize) {}

TNetBackend::~TNetBackend() {
    Stop();
    if (FFd >= 0) ::close(FFd);
    if (FWakeFd >= 0) ::close(FWakeFd);
}

std::unique_ptr<TNetBackend> TNetBackend::Open(const TNetPortName& name, DWORD* error, std::string* detail) {
    const std::string shown = name.Shown();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (int r = ::getaddrinfo(name.Host.c_str(), name.Service.c_str(), &hints, &found); r != 0) {
        *error = ERROR_BAD_NETPATH;
        *detail = shown + ": " + (r == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(r));
        return nullptr;
    }
    const auto until = Clock::now() + std::chrono::milliseconds(kConnectMs);
    int fd = -1, err = 0;
    for (const addrinfo* ai = found; ai && fd < 0; ai = ai->ai_next)
        fd = ConnectOne(*ai, until, &err);
    ::freeaddrinfo(found);
    if (fd < 0) {
        *error = ConnectError(err);
        *detail = shown + ": " + std::strerror(err);
        return nullptr;
    }
    // One byte each way is the flash protocol's rhythm: no waiting to fill segments. A peer that
    // vanished without a word is noticed by keep-alive probes while idle and by the send time-out
    // while data waits unacknowledged.
    SetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    SetOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    SetOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, 10);
    SetOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, 5);
    SetOption(fd, IPPROTO_TCP, TCP_KEEPCNT, 3);
    SetOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, kDeadPeerMs);

    std::unique_ptr<TNetBackend> b(new TNetBackend(fd, name.Kind == TNetPortKind::Rfc2217));
    b->FWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (b->FWakeFd < 0) {
        *error = ErrnoToWinError(errno);
        *detail = shown + ": " + std::strerror(errno);
        return nullptr;
    }
    if (!b->Negotiate(error, detail, shown)) return nullptr;
    return b;
}

bool TNetBackend::Negotiate(DWORD* error, std::string* detail, const std::string& shown) {
    auto until = Clock::now() + std::chrono::milliseconds(FTelnet ? kNegotiateMs : kRawSettleMs);
    bool asked = false;
    if (FTelnet) {
        std::lock_guard g(FLock);
        FCtl += FCodec.Start();
        Flush();
    }
    BYTE buf[4096];
    for (;;) {
        if (FTelnet) {
            if (FCodec.ComPortRefused()) {
                *error = ERROR_NOT_SUPPORTED;
                *detail = shown + ": the server offers no serial port control (RFC 2217); socket://" + shown +
                          " reaches it as a plain TCP port";
                return false;
            }
            if (FCodec.ComPortAccepted() && !asked) {
                // Notices of every modem line change and of line errors; then a query whose answer
                // shows the server is serving the port (a busy one says so and hangs up instead).
                asked = true;
                std::lock_guard g(FLock);
                Request(SET_MODEMSTATE_MASK, &kAllModemChanges, 1);
                Request(SET_LINESTATE_MASK, &kLineErrors, 1);
                FBaud.Open.push_back(kQuery);
                Request(SET_BAUDRATE, kBaudQuery, 4);
                Flush();
                // A server that never answers queries is still served, after a shorter wait.
                until = std::min(until, Clock::now() + std::chrono::milliseconds(kQueryMs));
            }
            if (FOpenAnswered) return true;
        }
        // A device already talking fills the stage: the server is serving the port.
        if (FStage.Room() == 0) return true;
        const int left = MsLeft(until);
        if (left == 0) {
            if (!FTelnet || asked) return true;
            *error = ERROR_SEM_TIMEOUT;
            *detail = shown + ": no answer to the serial port negotiation within " +
                      std::to_string(kNegotiateMs / 1000) + " s";
            return false;
        }
        pollfd p{FFd, POLLIN, 0};
        if (::poll(&p, 1, left) < 0 && errno != EINTR) break;
        if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const ssize_t n = ::recv(FFd, buf, std::min(sizeof buf, FStage.Room()), 0);
        if (n > 0) {
            Received(buf, static_cast<size_t>(n));
            std::lock_guard g(FLock);
            if (FBroken) break;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        const int e = n < 0 ? errno : 0;
        const std::string text = Readable(FOpenText);
        *error = text.find("in use") != std::string::npos ? ERROR_ACCESS_DENIED : ERROR_GEN_FAILURE;
        *detail = shown + ": the server closed the connection" +
                  (!text.empty() ? ": " + text
                   : e           ? std::string(": ") + std::strerror(e)
                                 : std::string());
        return false;
    }
    *error = ERROR_GEN_FAILURE;
    *detail = shown + ": " + std::strerror(errno);
    return false;
}

DWORD TNetBackend::Start(TLineSink* sink) {
    if (FThread.joinable()) return ERROR_INVALID_PARAMETER;
    FSink = sink;
    try {
        FThread = std::thread([this] {
            ::pthread_setname_np(::pthread_self(), "comm-net-io");
            Loop();
        });
    } catch (const std::system_error&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return ERROR_SUCCESS;
}

void TNetBackend::Stop() {
    if (FThread.joinable()) {
        FStop.store(true);
        Wake();
        FThread.join();
    }
    std::lock_guard g(FLock);
    if (FFd >= 0) {
        ::close(FFd);
        FFd = -1;
        FBroken = true;
    }
}

void TNetBackend::Wake() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(FWakeFd, &one, sizeof one);
}

void TNetBackend::Gone() {
    std::lock_guard g(FUpcallLock);
    if (FGone) return;
    FGone = true;
    FSink->OnDeviceGone(ERROR_DEVICE_NOT_CONNECTED);
}

// ---- receiving (the port's thread; the opener before Start) ----

void TNetBackend::Received(const BYTE* p, size_t n) {
    if (!FTelnet) {
        Data(p, n);
        return;
    }
    FCodec.Feed(p, n, *this);
    if (!FCodec.Replies().empty()) {
        std::lock_guard g(FLock);
        FCtl += FCodec.Replies();
        FCodec.Replies().clear();
        Flush();
    }
}

void TNetBackend::Data(const BYTE* p, size_t n) {
    if (FDropping) return;
    if (!FSink && FOpenText.size() < 256)
        FOpenText.append(reinterpret_cast<const char*>(p), std::min<size_t>(n, 256));
    // A read never brings more than the stage has room for, and decoding only shrinks it.
    FStage.Append(p, std::min(n, FStage.Room()));
}

void TNetBackend::ComPort(BYTE code, const BYTE* value, size_t n) {
    // Answers to framing requests: a value other than the one asked for is a refused setting.
    auto answer = [&](TAsked& a, uint32_t v) {
        std::lock_guard g(FLock);
        if (a.Open.empty()) return; // a notice nobody asked for
        bool query = false;
        if (a.Open.front() == v || a.Open.front() == kQuery) {
            query = a.Open.front() == kQuery;
            a.Open.pop_front();
        } else if (auto it = std::find(a.Open.begin(), a.Open.end(), v); it != a.Open.end()) {
            // Requests before it were never answered (servers skip some): they are forgotten.
            a.Open.erase(a.Open.begin(), it + 1);
        } else {
            a.Open.pop_front();
            FModeErrors |= CE_MODE;
        }
        if (query) {
            FOpenAnswered = true;
            FDropping = false; // the query behind a purge is answered: the purge is done
        }
    };
    switch (code) {
    case kServer + SET_BAUDRATE:
        if (n == 4)
            answer(FBaud,
                   uint32_t(value[0]) << 24 | uint32_t(value[1]) << 16 | uint32_t(value[2]) << 8 | value[3]);
        break;
    case kServer + SET_DATASIZE:
        if (n == 1) answer(FSize, value[0]);
        break;
    case kServer + SET_PARITY:
        if (n == 1) answer(FParity, value[0]);
        break;
    case kServer + SET_STOPSIZE:
        if (n == 1) answer(FStopBits, value[0]);
        break;
    case kServer + NOTIFY_LINESTATE:
        if (n == 1 && !FDropping) {
            static constexpr std::pair<BYTE, DWORD> kErrors[] = {
                {0x02, CE_OVERRUN}, {0x04, CE_RXPARITY}, {0x08, CE_FRAME}, {0x10, CE_BREAK}};
            for (auto [bit, flag] : kErrors)
                if (value[0] & bit) FStage.Mark(flag, -1);
        }
        break;
    case kServer + NOTIFY_MODEMSTATE:
        if (n == 1) {
            const BYTE v = value[0];
            const DWORD now = (v & 0x10 ? MS_CTS_ON : 0) | (v & 0x20 ? MS_DSR_ON : 0) |
                              (v & 0x40 ? MS_RING_ON : 0) | (v & 0x80 ? MS_RLSD_ON : 0);
            const DWORD last = FModem.exchange(now);
            // A delta bit for a line that reads as before: it went and came back between notices.
            DWORD pulsed = 0;
            if ((v & 0x01) && !((now ^ last) & MS_CTS_ON)) pulsed |= MS_CTS_ON;
            if ((v & 0x02) && !((now ^ last) & MS_DSR_ON)) pulsed |= MS_DSR_ON;
            if ((v & 0x08) && !((now ^ last) & MS_RLSD_ON)) pulsed |= MS_RLSD_ON;
            if ((v & 0x04) && !(now & MS_RING_ON) && !(last & MS_RING_ON)) pulsed |= MS_RING_ON;
            if (FSink) {
                std::lock_guard g(FUpcallLock);
                if (FGone) break;
                if (pulsed) FSink->OnModemLines(last ^ pulsed);
                if (pulsed || now != last) FSink->OnModemLines(now);
            }
        }
        break;
    case kServer + FLOWCONTROL_SUSPEND:
    case kServer + FLOWCONTROL_RESUME: {
        std::lock_guard g(FLock);
        FSuspended = code == kServer + FLOWCONTROL_SUSPEND;
        Flush();
        break;
    }
    case kServer + PURGE_DATA:
        if (n == 1 && (value[0] == 1 || value[0] == 3)) FDropping = false;
        break;
    default:
        break; // SET-CONTROL answers and mask answers: nothing to check
    }
}

bool TNetBackend::DeliverStage() {
    std::lock_guard g(FUpcallLock);
    if (FGone) return true;
    return FStage.Offer(*FSink, FStageEpoch);
}

void TNetBackend::Loop() {
    std::unique_ptr<BYTE[]> raw(new BYTE[kStageSize]);
    {
        std::lock_guard g(FLock);
        FPurgesSeen = FPurges;
    }
    for (;;) {
        bool wantOut, txEmpty, txSpace, broken;
        uint64_t epoch;
        DWORD mode;
        {
            std::lock_guard g(FLock);
            wantOut = FWantOut;
            txEmpty = std::exchange(FTxEmptyOwed, false);
            txSpace = FWantSpace && DataPending() < kTxLimit;
            if (txSpace) FWantSpace = false;
            broken = FBroken;
            epoch = FRxEpoch;
            mode = std::exchange(FModeErrors, 0);
        }
        if (broken || FStop.load()) {
            if (!FStop.load()) Gone();
            return;
        }
        if (epoch != FStageEpoch) {
            FStageEpoch = epoch;
            FStage.Clear();
        }
        NoticePurge();
        if (FDropping && MsLeft(FDropUntil) == 0) FDropping = false;
        if (txSpace || txEmpty || mode) {
            std::lock_guard g(FUpcallLock);
            if (FGone) return;
            if (mode) FSink->OnLineError(mode, -1, FStageEpoch);
            if (txSpace) FSink->OnTxSpace();
            if (txEmpty) FSink->OnTxEmpty();
        }
        DeliverStage();
        FStage.Compact();
        const bool room = FStage.Room() > 0;
        pollfd fds[2] = {{FFd, static_cast<short>((room ? POLLIN : 0) | (wantOut ? POLLOUT : 0)), 0},
                         {FWakeFd, POLLIN, 0}};
        if (::poll(fds, 2, FDropping ? std::max(1, MsLeft(FDropUntil)) : -1) < 0) {
            if (errno == EINTR) continue;
            Gone();
            return;
        }
        if (fds[1].revents & POLLIN) {
            uint64_t v;
            [[maybe_unused]] ssize_t r = ::read(FWakeFd, &v, sizeof v);
            if (FStop.load()) return;
        }
        if (fds[0].revents & POLLOUT) {
            std::lock_guard g(FLock);
            FWantOut = false;
            Flush();
        }
        if (room && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            const ssize_t n = ::recv(FFd, raw.get(), FStage.Room(), MSG_DONTWAIT);
            if (n > 0) {
                NoticePurge(); // asked while this thread waited: its answer may be in these bytes
                Received(raw.get(), static_cast<size_t>(n));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                Gone(); // the server closed, or the connection broke (reset, peer timed out)
                return;
            }
        } else if (fds[0].revents & (POLLERR | POLLHUP)) {
            Gone();
            return;
        }
    }
}

void TNetBackend::NoticePurge() {
    std::lock_guard g(FLock);
    if (FPurges == FPurgesSeen) return;
    FPurgesSeen = FPurges;
    FDropping = true;
    FDropUntil = Clock::now() + std::chrono::milliseconds(kPurgeMs);
}

// ---- sending (callers hold the core's lock; FLock below it) ----

void TNetBackend::Flush() {
    if (FBroken || FFd < 0) return;
    for (;;) {
        if (FWireOff == FWire.size()) {
            FWire.clear();
            FWireOff = 0;
            if (!FCtl.empty()) {
                FWire.swap(FCtl);
            } else if (!FSuspended && DataPending() != 0) {
                const size_t k = std::min<size_t>(DataPending(), 16384);
                const auto* p = reinterpret_cast<const BYTE*>(FData.data()) + FDataOff;
                if (FTelnet)
                    TTelnetCodec::AppendData(FWire, p, k);
                else
                    FWire.assign(reinterpret_cast<const char*>(p), k);
                FDataOff += k;
                if (FDataOff == FData.size()) {
                    FData.clear();
                    FDataOff = 0;
                } else if (FDataOff >= kTxLimit / 2) {
                    FData.erase(0, FDataOff);
                    FDataOff = 0;
                }
            } else {
                break;
            }
        }
        const ssize_t r =
            ::send(FFd, FWire.data() + FWireOff, FWire.size() - FWireOff, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (r > 0) {
            FWireOff += static_cast<size_t>(r);
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            FWantOut = true;
            return;
        } else {
            FBroken = true;
            return;
        }
    }
    if (DataPending() == 0 && FTxActive) {
        FTxActive = false;
        FTxEmptyOwed = true;
    }
}

void TNetBackend::Kick(std::unique_lock<std::mutex>& lock) {
    Flush();
    const bool wake = FWantOut || FBroken || FTxEmptyOwed || FWantSpace;
    lock.unlock();
    if (wake) Wake();
}

void TNetBackend::Request(BYTE command, const BYTE* value, size_t n) {
    TTelnetCodec::AppendComPort(FCtl, command, value, n);
}

void TNetBackend::Ask(TAsked& a, BYTE command, uint32_t value, const BYTE* bytes, size_t n) {
    if (a.Sent && a.Last == value) return;
    a.Sent = true;
    a.Last = value;
    a.Open.push_back(value);
    if (a.Open.size() > 16) a.Open.pop_front();
    Request(command, bytes, n);
}

void TNetBackend::Control(BYTE value, int& last) {
    if (last == value) return;
    last = value;
    Request(SET_CONTROL, &value, 1);
}

DWORD TNetBackend::ApplyState(const DCB& dcb) {
    if (!FTelnet) return ERROR_SUCCESS;
    static constexpr BYTE kParity[] = {1, 2, 3, 4, 5}; // none, odd, even, mark, space
    static constexpr BYTE kStop[] = {1, 3, 2};         // 1, 1.5, 2
    BYTE baud[4];
    Put32(baud, dcb.BaudRate);
    const BYTE size = dcb.ByteSize, parity = kParity[std::min<BYTE>(dcb.Parity, 4)],
               stop = kStop[std::min<BYTE>(dcb.StopBits, 2)];
    // The server has one flow setting for its line: hardware when either direction asks for the
    // RTS/CTS pair, else XON/XOFF when either direction asks for it.
    const BYTE flow = dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE ? 3
                      : dcb.fOutX || dcb.fInX                                      ? 2
                                                                                   : 1;
    std::unique_lock lock(FLock);
    Ask(FBaud, SET_BAUDRATE, dcb.BaudRate, baud, 4);
    Ask(FSize, SET_DATASIZE, size, &size, 1);
    Ask(FParity, SET_PARITY, parity, &parity, 1);
    Ask(FStopBits, SET_STOPSIZE, stop, &stop, 1);
    Control(flow, FFlow);
    Kick(lock);
    return ERROR_SUCCESS;
}

size_t TNetBackend::Write(const BYTE* data, size_t n) {
    std::unique_lock lock(FLock);
    const size_t k = FBroken ? 0 : std::min(n, kTxLimit - std::min(kTxLimit, DataPending()));
    FData.append(reinterpret_cast<const char*>(data), k);
    if (k) FTxActive = true;
    if (k < n) FWantSpace = true;
    Kick(lock); // OnTxEmpty (or OnTxSpace, or the wait for socket space) comes from the port's thread
    return k;
}

size_t TNetBackend::TxPending() const {
    std::lock_guard g(FLock);
    return DataPending() + (FWire.size() - FWireOff) + FCtl.size();
}

DWORD TNetBackend::SendUrgent(BYTE c) {
    std::unique_lock lock(FLock);
    if (FTelnet)
        TTelnetCodec::AppendData(FCtl, &c, 1);
    else
        FCtl.push_back(static_cast<char>(c));
    FTxActive = true;
    Kick(lock);
    return ERROR_SUCCESS;
}

void TNetBackend::PurgeTx() {
    std::unique_lock lock(FLock);
    FData.clear();
    FDataOff = 0;
    if (FTelnet) Request(PURGE_DATA, &kPurgeTransmit, 1);
    Kick(lock);
}

void TNetBackend::PurgeRx(uint64_t epoch) {
    std::unique_lock lock(FLock);
    FRxEpoch = epoch;
    if (FTelnet) {
        // The server's own buffer too, then a query: its answer comes after the purge is done
        // even from a server that does not answer the purge itself.
        Request(PURGE_DATA, &kPurgeReceive, 1);
        FBaud.Open.push_back(kQuery);
        Request(SET_BAUDRATE, kBaudQuery, 4);
        ++FPurges;
    }
    Flush();
    lock.unlock();
    Wake(); // the stage is cleared by the port's thread
}

void TNetBackend::RxSpace() {
    Wake();
}

DWORD TNetBackend::SetDtr(bool on) {
    if (!FTelnet) return ERROR_SUCCESS;
    std::unique_lock lock(FLock);
    Control(on ? 8 : 9, FDtr);
    Kick(lock);
    return ERROR_SUCCESS;
}

DWORD TNetBackend::SetRts(bool on) {
    if (!FTelnet) return ERROR_SUCCESS;
    std::unique_lock lock(FLock);
    Control(on ? 11 : 12, FRts);
    Kick(lock);
    return ERROR_SUCCESS;
}

DWORD TNetBackend::SetBreak(bool on) {
    if (!FTelnet) return ERROR_SUCCESS;
    std::unique_lock lock(FLock);
    Control(on ? 5 : 6, FBreak);
    Kick(lock);
    return ERROR_SUCCESS;
}
