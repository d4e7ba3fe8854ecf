#include "platform/comm/VirtualDevice.h"
#include "platform/comm/LineBackend.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include <pthread.h>

namespace {

// How much the device takes before the port has to wait for room (as a UART fifo plus a driver
// buffer would); large enough for bulk transfers, small enough to exercise the back-pressure path.
constexpr size_t kTxCapacity = 64 * 1024;

struct TRegistry {
    std::mutex Mutex;
    std::map<std::string, std::weak_ptr<TVirtualDevice>, std::less<>> Devices;
};

TRegistry& Registry() {
    static TRegistry registry;
    return registry;
}

using TClock = std::chrono::steady_clock;

} // namespace

struct TVirtualDevice::TState {
    std::string Name;
    mutable std::mutex M;
    mutable std::condition_variable Cv; // every state change; waiters re-check their condition

    bool Open = false;
    bool Removed = false;
    bool Running = false; // upcalls allowed
    int Active = 0;       // upcalls in progress
    TLineSink* Sink = nullptr;

    DWORD Modem = 0;
    bool Dtr = false, Rts = false, Brk = false, XoffHeld = false, XoffSent = false;

    std::string Sent;
    std::string Tx;
    size_t TxInFlight = 0;
    bool Hold = false, Paced = false, WantSpace = false, Quit = false;
    std::function<void(const std::string&)> SentHandler;

    // Received input the port has not taken yet: data (Flags 0) or one line error, in order.
    struct TRxItem {
        std::string Data;
        DWORD Flags = 0;
        int Byte = -1;
    };
    std::deque<TRxItem> RxHeld;
    size_t RxHeldBytes = 0;
    bool RxDelivering = false; // one thread offers input at a time, so the order holds
    uint64_t RxRoom = 0;       // room signals from the port so far
    uint64_t RxRoomSeen = 0;   // the last one the receive thread has acted on
    uint64_t RxEpoch = 0;      // the port's purge count, carried by every receive upcall

    void ClearHeld() {
        RxHeld.clear();
        RxHeldBytes = 0;
        Cv.notify_all();
    }

    // Queues input behind what is held, then offers it unless another thread is offering.
    void Receive(std::unique_lock<std::mutex>& lock, TRxItem item) {
        if (!Running) return;
        RxHeldBytes += item.Flags ? 1 : item.Data.size();
        RxHeld.push_back(std::move(item));
        OfferHeld(lock);
    }

    // Offers held input to the port until all is taken or the port refuses some (it signals room
    // later). The item being offered is taken out of the queue, so a purge meanwhile cannot pull
    // it away from under the upcall; what the port leaves of it goes back to the front.
    void OfferHeld(std::unique_lock<std::mutex>& lock) {
        if (RxDelivering) return;
        RxDelivering = true;
        while (Running && !RxHeld.empty()) {
            TRxItem item = std::move(RxHeld.front());
            RxHeld.pop_front();
            const uint64_t epoch = RxEpoch, room = RxRoom;
            size_t taken = 0;
            bool took = false;
            Upcall(lock, [&](TLineSink* sink) {
                if (item.Flags)
                    took = sink->OnLineError(item.Flags, item.Byte, epoch);
                else
                    took = (taken = sink->OnReceive(reinterpret_cast<const BYTE*>(item.Data.data()),
                                                    item.Data.size(), epoch)) == item.Data.size();
            });
            // Closed or removed meanwhile: everything held is gone. Purged: the queue was
            // cleared, this item with it.
            if (!Running) break;
            if (epoch != RxEpoch) continue;
            RxHeldBytes -= item.Flags ? (took ? 1 : 0) : taken;
            if (!took) {
                item.Data.erase(0, taken);
                RxHeld.push_front(std::move(item));
                // Room that appeared during the upcall has been signalled already: go on at once.
                if (room == RxRoom) break;
            }
        }
        RxDelivering = false;
        Cv.notify_all();
    }

    DCB Dcb{};
    COMMTIMEOUTS Timeouts{};
    DWORD InQueue = 0, OutQueue = 0;
    int StateCount = 0, TimeoutsCount = 0, SetupCount = 0, OpenCount = 0;
    DWORD Fail[4] = {};

    DWORD TakeFailure(TFailOp op) {
        DWORD code = Fail[op];
        Fail[op] = ERROR_SUCCESS;
        return code;
    }

    // Runs f(sink) without the lock, unless upcalls are stopped.
    template <class F> void Upcall(std::unique_lock<std::mutex>& lock, F f) {
        if (!Running) return;
        TLineSink* sink = Sink;
        ++Active;
        lock.unlock();
        f(sink);
        lock.lock();
        if (--Active == 0) Cv.notify_all();
    }
};

class TVirtualBackend : public TLineBackend {
  public:
    explicit TVirtualBackend(std::shared_ptr<TVirtualDevice::TState> state) : S(std::move(state)) {}
    ~TVirtualBackend() override { Stop(); }

    DWORD Start(TLineSink* sink) override {
        std::lock_guard lock(S->M);
        S->Sink = sink;
        S->Running = !S->Removed;
        S->Quit = false;
        S->RxEpoch = 0;
        S->RxRoom = S->RxRoomSeen = 0;
        FThread = std::thread([this] { TransmitLoop(); });
        pthread_setname_np(FThread.native_handle(), "comm-vdev-tx");
        FRxThread = std::thread([this] { ReceiveLoop(); });
        pthread_setname_np(FRxThread.native_handle(), "comm-vdev-rx");
        return ERROR_SUCCESS;
    }

    void Stop() override {
        std::unique_lock lock(S->M);
        if (FStopped) return;
        FStopped = true;
        S->Running = false;
        S->Quit = true;
        S->Cv.notify_all();
        S->Cv.wait(lock, [&] { return S->Active == 0; });
        lock.unlock();
        if (FThread.joinable()) FThread.join();
        if (FRxThread.joinable()) FRxThread.join();
        lock.lock();
        S->Sink = nullptr;
        S->ClearHeld();
        S->Open = false;
        S->Dtr = S->Rts = S->Brk = S->XoffHeld = S->XoffSent = false;
        S->Tx.clear();
        S->TxInFlight = 0;
        S->Cv.notify_all();
    }

    DWORD ApplyState(const DCB& dcb) override {
        std::lock_guard lock(S->M);
        if (DWORD code = S->TakeFailure(TVirtualDevice::foSetCommState)) return code;
        S->Dcb = dcb;
        ++S->StateCount;
        return ERROR_SUCCESS;
    }

    DWORD ApplyQueueSizes(DWORD inQueue, DWORD outQueue) override {
        std::lock_guard lock(S->M);
        if (DWORD code = S->TakeFailure(TVirtualDevice::foSetupComm)) return code;
        S->InQueue = inQueue;
        S->OutQueue = outQueue;
        ++S->SetupCount;
        return ERROR_SUCCESS;
    }

    DWORD ApplyTimeouts(const COMMTIMEOUTS& t) override {
        std::lock_guard lock(S->M);
        if (DWORD code = S->TakeFailure(TVirtualDevice::foSetCommTimeouts)) return code;
        S->Timeouts = t;
        ++S->TimeoutsCount;
        return ERROR_SUCCESS;
    }

    size_t Write(const BYTE* data, size_t n) override {
        std::lock_guard lock(S->M);
        size_t room = S->Tx.size() < kTxCapacity ? kTxCapacity - S->Tx.size() : 0;
        size_t take = std::min(n, room);
        if (take < n) S->WantSpace = true;
        if (take) {
            S->Tx.append(reinterpret_cast<const char*>(data), take);
            S->Cv.notify_all();
        }
        return take;
    }

    size_t TxPending() const override {
        std::lock_guard lock(S->M);
        return S->Tx.size() + S->TxInFlight;
    }

    DWORD SendUrgent(BYTE c) override {
        std::lock_guard lock(S->M);
        S->Tx.insert(S->Tx.begin(), static_cast<char>(c));
        S->Cv.notify_all();
        return ERROR_SUCCESS;
    }

    void PurgeTx() override {
        std::lock_guard lock(S->M);
        S->Tx.clear();
    }
    void PurgeRx(uint64_t epoch) override {
        std::lock_guard lock(S->M);
        S->RxEpoch = epoch;
        S->ClearHeld();
    }
    void RxSpace() override {
        std::lock_guard lock(S->M);
        ++S->RxRoom;
        S->Cv.notify_all();
    }

    DWORD SetDtr(bool on) override { return SetLine(S->Dtr, on); }
    DWORD SetRts(bool on) override { return SetLine(S->Rts, on); }
    DWORD SetBreak(bool on) override { return SetLine(S->Brk, on); }
    DWORD ModemLines() override {
        std::lock_guard lock(S->M);
        return S->Modem;
    }
    void NoteXoffHold(bool held) override { SetLine(S->XoffHeld, held); }
    void NoteXoffSent(bool sent) override { SetLine(S->XoffSent, sent); }

  private:
    DWORD SetLine(bool& line, bool on) {
        std::lock_guard lock(S->M);
        line = on;
        S->Cv.notify_all();
        return ERROR_SUCCESS;
    }

    // Time on the line for n characters at the configured framing.
    TClock::duration LineTime(size_t n) const {
        const DCB& d = S->Dcb;
        double bits = 1.0 + (d.ByteSize ? d.ByteSize : 8) + (d.Parity ? 1 : 0) +
                      (d.StopBits == TWOSTOPBITS    ? 2.0
                       : d.StopBits == ONE5STOPBITS ? 1.5
                                                    : 1.0);
        double baud = d.BaudRate ? d.BaudRate : 9600;
        return std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(n * bits / baud));
    }

    // Hands held input on when the port signals room.
    void ReceiveLoop() {
        std::unique_lock lock(S->M);
        for (;;) {
            S->Cv.wait(lock, [&] { return S->Quit || S->RxRoom != S->RxRoomSeen; });
            if (S->Quit) return;
            S->RxRoomSeen = S->RxRoom;
            S->OfferHeld(lock);
        }
    }

    void TransmitLoop() {
        std::unique_lock lock(S->M);
        for (;;) {
            S->Cv.wait(lock, [&] { return S->Quit || (!S->Tx.empty() && !S->Hold); });
            if (S->Quit) return;
            std::string chunk;
            if (S->Paced) {
                // About a millisecond of line time per step, so pacing stays smooth.
                size_t perStep =
                    std::max<size_t>(1, static_cast<size_t>(std::chrono::milliseconds(1) / LineTime(1)));
                chunk = S->Tx.substr(0, perStep);
                S->Tx.erase(0, chunk.size());
                S->TxInFlight = chunk.size();
                const auto until = TClock::now() + LineTime(chunk.size());
                S->Cv.wait_until(lock, until, [&] { return S->Quit; });
                if (S->Quit) return;
            } else {
                chunk.swap(S->Tx);
                S->TxInFlight = chunk.size();
            }
            S->TxInFlight = 0;
            auto handler = S->SentHandler;
            const bool wantSpace = S->WantSpace;
            S->WantSpace = false;
            if (wantSpace) S->Upcall(lock, [](TLineSink* sink) { sink->OnTxSpace(); });
            if (S->Tx.empty() && S->TxInFlight == 0)
                S->Upcall(lock, [](TLineSink* sink) { sink->OnTxEmpty(); });
            // Bytes count as sent once the port has heard of the room and the empty line they
            // leave, so whoever waits for them also finds the port's events latched.
            if (!handler) S->Sent += chunk;
            S->Cv.notify_all();
            if (handler) {
                lock.unlock();
                handler(chunk);
                lock.lock();
            }
        }
    }

    std::shared_ptr<TVirtualDevice::TState> S;
    std::thread FThread, FRxThread;
    bool FStopped = false;
};

// ---- the device object ----

TVirtualDevice::TVirtualDevice(const std::string& name) : FState(std::make_shared<TState>()) {
    FState->Name = name;
}

std::shared_ptr<TVirtualDevice> TVirtualDevice::Create(const std::string& name) {
    if (name.empty()) return nullptr;
    TRegistry& r = Registry();
    std::lock_guard lock(r.Mutex);
    auto it = r.Devices.find(name);
    if (it != r.Devices.end() && !it->second.expired()) return nullptr;
    std::shared_ptr<TVirtualDevice> device(new TVirtualDevice(name));
    r.Devices[name] = device;
    return device;
}

std::shared_ptr<TVirtualDevice> TVirtualDevice::Find(std::string_view name) {
    TRegistry& r = Registry();
    std::lock_guard lock(r.Mutex);
    auto it = r.Devices.find(name);
    return it == r.Devices.end() ? nullptr : it->second.lock();
}

TVirtualDevice::~TVirtualDevice() {
    {
        TRegistry& r = Registry();
        std::lock_guard lock(r.Mutex);
        auto it = r.Devices.find(FState->Name);
        if (it != r.Devices.end() && it->second.expired()) r.Devices.erase(it);
    }
    Remove();
}

const std::string& TVirtualDevice::Name() const {
    return FState->Name;
}

bool TVirtualDevice::IsOpen() const {
    std::lock_guard lock(FState->M);
    return FState->Open;
}

static bool WaitFor(TVirtualDevice::TState& s, std::unique_lock<std::mutex>& lock, DWORD ms,
                    const std::function<bool()>& pred) {
    if (ms == INFINITE) {
        s.Cv.wait(lock, pred);
        return true;
    }
    return s.Cv.wait_for(lock, std::chrono::milliseconds(ms), pred);
}

bool TVirtualDevice::WaitOpen(bool open, DWORD timeoutMs) const {
    std::unique_lock lock(FState->M);
    return WaitFor(*FState, lock, timeoutMs, [&] { return FState->Open == open; });
}

void TVirtualDevice::Deliver(const void* data, size_t n) {
    if (!n) return;
    std::unique_lock lock(FState->M);
    FState->Receive(lock, {std::string(static_cast<const char*>(data), n)});
}

void TVirtualDevice::Deliver(std::string_view bytes) {
    Deliver(bytes.data(), bytes.size());
}

static void InjectError(TVirtualDevice::TState& s, DWORD flags, int byte) {
    std::unique_lock lock(s.M);
    s.Receive(lock, {std::string(), flags, byte});
}

void TVirtualDevice::InjectFrame(BYTE byte) {
    InjectError(*FState, CE_FRAME, byte);
}
void TVirtualDevice::InjectParity(BYTE byte) {
    InjectError(*FState, CE_RXPARITY, byte);
}
void TVirtualDevice::InjectOverrun() {
    InjectError(*FState, CE_OVERRUN, -1);
}
void TVirtualDevice::InjectBreak() {
    InjectError(*FState, CE_BREAK, -1);
}
void TVirtualDevice::InjectRxOver() {
    InjectError(*FState, CE_RXOVER, -1);
}

size_t TVirtualDevice::HeldBack() const {
    std::lock_guard lock(FState->M);
    return FState->RxHeldBytes;
}

bool TVirtualDevice::WaitDelivered(DWORD timeoutMs) const {
    std::unique_lock lock(FState->M);
    return WaitFor(*FState, lock, timeoutMs, [&] { return FState->RxHeld.empty() && !FState->RxDelivering; });
}

static void SetModem(TVirtualDevice::TState& s, DWORD bit, bool on) {
    std::unique_lock lock(s.M);
    DWORD now = on ? (s.Modem | bit) : (s.Modem & ~bit);
    if (now == s.Modem) return;
    s.Modem = now;
    s.Upcall(lock, [&](TLineSink* sink) { sink->OnModemLines(now); });
}

void TVirtualDevice::SetCTS(bool on) {
    SetModem(*FState, MS_CTS_ON, on);
}
void TVirtualDevice::SetDSR(bool on) {
    SetModem(*FState, MS_DSR_ON, on);
}
void TVirtualDevice::SetRing(bool on) {
    SetModem(*FState, MS_RING_ON, on);
}
void TVirtualDevice::SetRLSD(bool on) {
    SetModem(*FState, MS_RLSD_ON, on);
}

std::string TVirtualDevice::ReadSent() {
    std::lock_guard lock(FState->M);
    std::string out;
    out.swap(FState->Sent);
    return out;
}

bool TVirtualDevice::WaitSent(size_t n, DWORD timeoutMs) {
    std::unique_lock lock(FState->M);
    return WaitFor(*FState, lock, timeoutMs, [&] { return FState->Sent.size() >= n; });
}

void TVirtualDevice::OnSent(std::function<void(const std::string& bytes)> handler) {
    std::lock_guard lock(FState->M);
    FState->SentHandler = std::move(handler);
}

bool TVirtualDevice::DTR() const {
    std::lock_guard lock(FState->M);
    return FState->Dtr;
}
bool TVirtualDevice::RTS() const {
    std::lock_guard lock(FState->M);
    return FState->Rts;
}
bool TVirtualDevice::BreakOn() const {
    std::lock_guard lock(FState->M);
    return FState->Brk;
}
bool TVirtualDevice::XoffHeld() const {
    std::lock_guard lock(FState->M);
    return FState->XoffHeld;
}
bool TVirtualDevice::XoffSent() const {
    std::lock_guard lock(FState->M);
    return FState->XoffSent;
}

void TVirtualDevice::HoldTransmit(bool hold) {
    std::lock_guard lock(FState->M);
    FState->Hold = hold;
    FState->Cv.notify_all();
}

void TVirtualDevice::SetPacing(bool paced) {
    std::lock_guard lock(FState->M);
    FState->Paced = paced;
}

DCB TVirtualDevice::LastDCB() const {
    std::lock_guard lock(FState->M);
    return FState->Dcb;
}
COMMTIMEOUTS TVirtualDevice::LastTimeouts() const {
    std::lock_guard lock(FState->M);
    return FState->Timeouts;
}
DWORD TVirtualDevice::InQueueSize() const {
    std::lock_guard lock(FState->M);
    return FState->InQueue;
}
DWORD TVirtualDevice::OutQueueSize() const {
    std::lock_guard lock(FState->M);
    return FState->OutQueue;
}
int TVirtualDevice::SetCommStateCount() const {
    std::lock_guard lock(FState->M);
    return FState->StateCount;
}
int TVirtualDevice::SetCommTimeoutsCount() const {
    std::lock_guard lock(FState->M);
    return FState->TimeoutsCount;
}
int TVirtualDevice::SetupCommCount() const {
    std::lock_guard lock(FState->M);
    return FState->SetupCount;
}
int TVirtualDevice::OpenCount() const {
    std::lock_guard lock(FState->M);
    return FState->OpenCount;
}

void TVirtualDevice::FailNext(TFailOp op, DWORD code) {
    std::lock_guard lock(FState->M);
    FState->Fail[op] = code;
}

void TVirtualDevice::Remove() {
    std::unique_lock lock(FState->M);
    FState->Removed = true;
    if (!FState->Running) return;
    // The gone notice is the last upcall: stop the gate first, then deliver it.
    TLineSink* sink = FState->Sink;
    FState->Running = false;
    FState->ClearHeld();
    ++FState->Active;
    lock.unlock();
    sink->OnDeviceGone(ERROR_DEVICE_NOT_CONNECTED);
    lock.lock();
    if (--FState->Active == 0) FState->Cv.notify_all();
}

void TVirtualDevice::Restore() {
    std::lock_guard lock(FState->M);
    FState->Removed = false;
}

bool TVirtualDevice::Removed() const {
    std::lock_guard lock(FState->M);
    return FState->Removed;
}

std::unique_ptr<TLineBackend> OpenVirtualBackend(const std::shared_ptr<TVirtualDevice>& device,
                                                 DWORD* error) {
    TVirtualDevice::TState& s = *device->FState;
    std::lock_guard lock(s.M);
    DWORD code = ERROR_SUCCESS;
    if (s.Removed)
        code = ERROR_FILE_NOT_FOUND;
    else if (DWORD failure = s.TakeFailure(TVirtualDevice::foOpen))
        code = failure;
    else if (s.Open)
        code = ERROR_ACCESS_DENIED;
    if (code != ERROR_SUCCESS) {
        if (error) *error = code;
        return nullptr;
    }
    s.Open = true;
    ++s.OpenCount;
    s.Cv.notify_all();
    return std::make_unique<TVirtualBackend>(device->FState);
}
