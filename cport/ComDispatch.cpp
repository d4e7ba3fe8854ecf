// Event delivery: the event thread's creation and destruction, dispatch of one wake-up on the
// thread the port's SyncMethod names, the Do and Call operations and the link registry.

#include "cport/ComPort.h"
#include "cport/ComThread.h"
#include "platform/toolkit/MessageTarget.h"
#include "platform/toolkit/ShowException.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace {

// The ports whose events the current thread is delivering right now. Closing one of them from
// here would wait for this very delivery to end.
thread_local std::vector<const TCustomComPort*> tDelivering;

class TDeliveryScope {
  public:
    explicit TDeliveryScope(const TCustomComPort* Port) { tDelivering.push_back(Port); }
    ~TDeliveryScope() { tDelivering.pop_back(); }
    TDeliveryScope(const TDeliveryScope&) = delete;
    TDeliveryScope& operator=(const TDeliveryScope&) = delete;
};

constexpr uint32_t CM_COMEVENT = WM_USER + 1;
constexpr uint32_t CM_COMREMOVED = WM_USER + 2; // WParam: the platform's error code

struct TDelivery {
    TComEvent Event;
    DWORD WindowsBit;
};

// The order in which one wake-up's events are delivered, whatever order they happened in.
constexpr TDelivery DeliveryOrder[] = {
    {evRxChar, EV_RXCHAR}, {evTxEmpty, EV_TXEMPTY},   {evBreak, EV_BREAK},   {evRing, EV_RING},
    {evCTS, EV_CTS},       {evDSR, EV_DSR},           {evRxFlag, EV_RXFLAG}, {evRLSD, EV_RLSD},
    {evError, EV_ERR},     {evRx80Full, EV_RX80FULL},
};

} // namespace

// Event thread. A failing handler must not cost the rest of the wake-up, so each event is delivered
// on its own and its error kept for the event thread to report.
void TComThread::DispatchComMsg() {
    TDeliveryScope scope(FComPort);
    switch (FComPort->SyncMethod()) {
    case smThreadSync:
        Synchronize([this] { DoEvents(); });
        break;
    case smWindowSync:
        SendEvents();
        break;
    case smNone:
        DoEvents();
        break;
    }
}

// The thread the SyncMethod names (main thread for smThreadSync, the event thread for smNone).
void TComThread::DoEvents() {
    TDeliveryScope scope(FComPort);
    TCustomComPort& p = *FComPort;
    for (const TDelivery& d : DeliveryOrder) {
        if (!FEvents.Contains(d.Event)) continue;
        try {
            switch (d.Event) {
            case evRxChar:
                p.CallRxChar();
                break;
            case evTxEmpty:
                p.CallTxEmpty();
                break;
            case evBreak:
                p.CallBreak();
                break;
            case evRing:
                p.CallRing();
                break;
            case evCTS:
                p.CallCTSChange();
                break;
            case evDSR:
                p.CallDSRChange();
                break;
            case evRxFlag:
                p.CallRxFlag();
                break;
            case evRLSD:
                p.CallRLSDChange();
                break;
            case evError:
                p.CallError();
                break;
            case evRx80Full:
                p.CallRx80Full();
                break;
            }
        } catch (...) {
            Keep(std::current_exception());
        }
    }
}

// Event thread, once it has stopped waiting on a device that went away.
void TComThread::DispatchRemoved(DWORD Code) {
    TDeliveryScope scope(FComPort);
    auto deliver = [this, Code] {
        try {
            FComPort->CallRemoved(Code);
        } catch (...) {
            Keep(std::current_exception());
        }
    };
    switch (FComPort->SyncMethod()) {
    case smThreadSync:
        Synchronize(deliver);
        break;
    case smWindowSync:
        if (const TMessageTarget* window = FComPort->FWindow)
            SendMessage(*window, CM_COMREMOVED, Code, 0);
        break;
    case smNone:
        deliver();
        break;
    }
}

// Event thread: each event goes to the hidden message target, whose handler runs on the thread that
// opened the port while this thread waits for it.
void TComThread::SendEvents() {
    const TMessageTarget* window = FComPort->FWindow;
    if (window == nullptr) return;
    for (const TDelivery& d : DeliveryOrder)
        if (FEvents.Contains(d.Event)) SendMessage(*window, CM_COMEVENT, d.WindowsBit, 0);
}

// The thread that owns the hidden message target (the one that opened the port).
void TCustomComPort::WindowMethod(TMessage& Message) {
    if (Message.Msg != CM_COMEVENT && Message.Msg != CM_COMREMOVED) {
        // No default processing on this platform: an unknown message is answered with 0.
        Message.Result = 0;
        return;
    }
    TDeliveryScope scope(this);
    try {
        if (Message.Msg == CM_COMREMOVED) {
            CallRemoved(static_cast<DWORD>(Message.WParam));
            return;
        }
        switch (Message.WParam) {
        case EV_RXCHAR:
            CallRxChar();
            break;
        case EV_RXFLAG:
            CallRxFlag();
            break;
        case EV_TXEMPTY:
            CallTxEmpty();
            break;
        case EV_CTS:
            CallCTSChange();
            break;
        case EV_DSR:
            CallDSRChange();
            break;
        case EV_RLSD:
            CallRLSDChange();
            break;
        case EV_BREAK:
            CallBreak();
            break;
        case EV_ERR:
            CallError();
            break;
        case EV_RING:
            CallRing();
            break;
        case EV_RX80FULL:
            CallRx80Full();
            break;
        default:
            break;
        }
    } catch (...) {
        // Shown by the event thread once the send has returned, so a message box never keeps the
        // event thread waiting inside its send.
        if (FEventThread == nullptr) throw;
        FEventThread->Keep(std::current_exception());
    }
}

// Opening thread.
void TCustomComPort::CreateEventThread() {
    std::unique_ptr<TMessageTarget> window;
    if (FSyncMethod == smWindowSync)
        window = std::make_unique<TMessageTarget>([this](TMessage& m) { WindowMethod(m); });
    // The thread may deliver (and read FWindow) as soon as it is constructed.
    FWindow = window.get();
    try {
        FEventThread = new TComThread(this);
    } catch (...) {
        FWindow = nullptr;
        throw;
    }
    window.release();
}

// Opening thread. Waiting for the thread serves the calls it sends meanwhile, so a delivery in
// flight (smThreadSync, smWindowSync) finishes and the thread can end.
void TCustomComPort::DestroyEventThread() {
    CheckNotOnEventThread();
    delete FEventThread;
    FEventThread = nullptr;
    delete FWindow;
    FWindow = nullptr;
}

void TCustomComPort::CheckNotOnEventThread() const {
    if (std::find(tDelivering.begin(), tDelivering.end(), this) != tDelivering.end())
        throw Exception("Cannot close the com port from its own event handler: closing waits for the "
                        "event delivery that is calling it");
}

void TCustomComPort::DoAfterClose() {
    if (FOnAfterClose) FOnAfterClose(this);
}

void TCustomComPort::DoAfterOpen() {
    if (FOnAfterOpen) FOnAfterOpen(this);
}

void TCustomComPort::DoBeforeClose() {
    if (FOnBeforeClose) FOnBeforeClose(this);
}

void TCustomComPort::DoBeforeOpen() {
    if (FOnBeforeOpen) FOnBeforeOpen(this);
}

void TCustomComPort::DoRxChar(int Count) {
    if (FOnRxChar) FOnRxChar(this, Count);
}

void TCustomComPort::DoRxBuf(const char* Buffer, int Count) {
    if (FOnRxBuf) FOnRxBuf(this, Buffer, Count);
}

void TCustomComPort::DoTxEmpty() {
    if (FOnTxEmpty) FOnTxEmpty(this);
}

void TCustomComPort::DoBreak() {
    if (FOnBreak) FOnBreak(this);
}

void TCustomComPort::DoRing() {
    if (FOnRing) FOnRing(this);
}

void TCustomComPort::DoRxFlag() {
    if (FOnRxFlag) FOnRxFlag(this);
}

void TCustomComPort::DoCTSChange(bool OnOff) {
    if (FOnCTSChange) FOnCTSChange(this, OnOff);
}

void TCustomComPort::DoDSRChange(bool OnOff) {
    if (FOnDSRChange) FOnDSRChange(this, OnOff);
}

void TCustomComPort::DoError(TComErrors Errors) {
    if (FOnError) FOnError(this, Errors);
}

void TCustomComPort::DoRLSDChange(bool OnOff) {
    if (FOnRLSDChange) FOnRLSDChange(this, OnOff);
}

void TCustomComPort::DoRx80Full() {
    if (FOnRx80Full) FOnRx80Full(this);
}

void TCustomComPort::CallAfterClose() {
    DoAfterClose();
}

void TCustomComPort::CallAfterOpen() {
    DoAfterOpen();
    CheckSignals(true);
}

void TCustomComPort::CallBeforeClose() {
    DoBeforeClose();
    CheckSignals(false);
}

void TCustomComPort::CallBeforeOpen() {
    DoBeforeOpen();
}

void TCustomComPort::CallBreak() {
    DoBreak();
}

void TCustomComPort::CallCTSChange() {
    SendSignals(lsCTS, Signals().Contains(csCTS));
    DoCTSChange(Signals().Contains(csCTS));
}

void TCustomComPort::CallDSRChange() {
    SendSignals(lsDSR, Signals().Contains(csDSR));
    DoDSRChange(Signals().Contains(csDSR));
}

void TCustomComPort::CallRLSDChange() {
    SendSignals(lsRLSD, Signals().Contains(csRLSD));
    DoRLSDChange(Signals().Contains(csRLSD));
}

void TCustomComPort::CallError() {
    DoError(LastErrors());
}

void TCustomComPort::CallRing() {
    FLinks.ForEach([this](TComLink* link) {
        if (link->OnRing) link->OnRing(this);
    });
    DoRing();
}

void TCustomComPort::CallRemoved(DWORD Code) {
    const EComPort error(ErrWaitForEvent, static_cast<int>(Code));
    FLinks.ForEach([&](TComLink* link) {
        if (link->OnRemoved) link->OnRemoved(this, error);
    });
}

void TCustomComPort::CallRx80Full() {
    DoRx80Full();
}

void TCustomComPort::CallRxChar() {
    int count = InputCount();
    if (count <= 0) return;
    SendSignals(lsRx, true);
    if (FLinks.Count() > 0) {
        // The first link that takes blocks makes the port read everything waiting, once; the port's
        // own OnRxBuf and every such link then share that one block. The block holds what the read
        // really returned: another reader may have taken bytes since the count was asked.
        std::unique_ptr<char[]> buffer;
        int got = 0;
        FLinks.ForEach([&](TComLink* link) {
            if (!link->OnRxBuf) return;
            if (!buffer) {
                buffer = std::make_unique<char[]>(static_cast<size_t>(count));
                got = Read(buffer.get(), count);
                if (got > 0) DoRxBuf(buffer.get(), got);
            }
            if (got > 0) link->OnRxBuf(this, buffer.get(), got);
        });
        if (buffer) count = 0;
    }
    if (count > 0) DoRxChar(count);
}

void TCustomComPort::CallRxFlag() {
    DoRxFlag();
}

void TCustomComPort::CallTxEmpty() {
    SendSignals(lsTx, false);
    DoTxEmpty();
}

// Runs on the thread that opens or closes the port.
void TCustomComPort::CheckSignals(bool Open) {
    if (Open) {
        CallCTSChange();
        CallDSRChange();
        CallRLSDChange();
    } else {
        SendSignals(lsCTS, false);
        SendSignals(lsDSR, false);
        SendSignals(lsRLSD, false);
        DoCTSChange(false);
        DoDSRChange(false);
        DoRLSDChange(false);
    }
}

// Calls the links on the calling thread: the delivering thread for line changes, the thread of a
// transfer for the Tx and Rx activity signals.
void TCustomComPort::SendSignals(TComLedSignal Signal, bool OnOff) {
    TComSignalEvent TComLink::*callback = nullptr;
    switch (Signal) {
    case lsCTS:
        callback = &TComLink::OnCTSChange;
        break;
    case lsDSR:
        callback = &TComLink::OnDSRChange;
        break;
    case lsRLSD:
        callback = &TComLink::OnRLSDChange;
        break;
    case lsTx:
        callback = &TComLink::OnTxSignal;
        break;
    case lsRx:
        callback = &TComLink::OnRxSignal;
        break;
    case lsRing:
        return; // ring reaches links through CallRing
    }
    if (callback == nullptr) return;
    FLinks.ForEach([&](TComLink* link) {
        if (link->*callback) (link->*callback)(this, OnOff);
    });
}

void TCustomComPort::RegisterLink(TComLink* AComLink) {
    if (!FLinks.Add(AComLink)) throw EComPort(ErrLinkRegistration);
}

void TCustomComPort::UnRegisterLink(TComLink* AComLink) {
    if (!FLinks.Remove(AComLink)) throw EComPort(ErrLinkRegistration);
}

bool TCustomComPort::TriggersOnRxChar() const {
    return !FLinks.AnyTakesRxBuf();
}
