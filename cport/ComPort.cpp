#include "cport/ComPort.h"

#include "cport/SetupHook.h"
#include "platform/toolkit/FormData.h"
#include "platform/toolkit/ShowException.h"

#include <mutex>
#include <utility>

namespace {

std::mutex& SetupHookLock() {
    static std::mutex lock;
    return lock;
}

TSetupDialogHook& SetupHookSlot() {
    static TSetupDialogHook hook;
    return hook;
}

int LastWinCode() {
    return static_cast<int>(GetLastError());
}

} // namespace

void SetSetupDialogHook(TSetupDialogHook Hook) {
    std::lock_guard<std::mutex> guard(SetupHookLock());
    SetupHookSlot() = std::move(Hook);
}

TSetupDialogHook SetupDialogHook() {
    std::lock_guard<std::mutex> guard(SetupHookLock());
    return SetupHookSlot();
}

TCustomComPort::TCustomComPort(TComponent* AOwner) : TComponent(AOwner) {
    FParity = std::make_unique<TComParity>();
    FParity->SetComPort(this);
    FFlowControl = std::make_unique<TComFlowControl>();
    FFlowControl->SetComPort(this);
    FTimeouts = std::make_unique<TComTimeouts>();
    FTimeouts->SetComPort(this);
    FBuffer = std::make_unique<TComBuffer>();
    FBuffer->SetComPort(this);
}

// GUI thread. A destroyed port must not keep its device or thread: when Close fails (an abort the
// device refuses), the thread and the handle are released anyway and the error is shown.
TCustomComPort::~TCustomComPort() {
    ShutDown();
    FBuffer.reset();
    FFlowControl.reset();
    FTimeouts.reset();
    FParity.reset();
}

// Runs first in the most derived destructor (and again, doing nothing, in each base): the event
// thread calls this object's virtual Do operations until it has stopped, so it must stop while the
// object is still whole, and followers that unregister from Notification must find it whole too.
void TCustomComPort::ShutDown() {
    try {
        Close();
    } catch (...) {
        std::exception_ptr error = std::current_exception();
        if (ThreadCreated()) {
            try {
                DestroyEventThread();
            } catch (...) {
            }
            FThreadCreated.store(false, std::memory_order_release);
        }
        DestroyHandle();
        FConnected.store(false, std::memory_order_release);
        ShowException(error);
    }
    // Followers unregister their links from Notification; they must find this port whole.
    NotifyDestroying();
}

// GUI thread.
void TCustomComPort::Open() {
    if (Connected() || Designing()) return;
    CallBeforeOpen();
    CreateHandle();
    FConnected.store(true, std::memory_order_release);
    try {
        SetupComPort();
        if (FEvents.Empty()) {
            FThreadCreated.store(false, std::memory_order_release);
        } else {
            CreateEventThread();
            FThreadCreated.store(true, std::memory_order_release);
        }
    } catch (...) {
        // A refused setting or a thread that could not start: the device is closed again, so
        // Connected never claims an open port that is only half set up.
        DestroyHandle();
        FConnected.store(false, std::memory_order_release);
        throw;
    }
    CallAfterOpen();
}

// GUI thread; never on the port's own event thread, which Close waits for.
void TCustomComPort::Close() {
    if (!Connected() || Designing()) return;
    CheckNotOnEventThread();
    CallBeforeClose();
    AbortAllAsync();
    if (ThreadCreated()) {
        DestroyEventThread();
        FThreadCreated.store(false, std::memory_order_release);
    }
    DestroyHandle();
    FConnected.store(false, std::memory_order_release);
    CallAfterClose();
}

void TCustomComPort::CreateHandle() {
    std::string name = "\\\\.\\" + FPort;
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const int code = LastWinCode();
        throw EComPort(ErrOpenPort, code, CommOpenErrorText());
    }
    FHandlePort = FPort;
    FHandleSyncMethod = FSyncMethod;
    FHandle.store(h, std::memory_order_release);
}

void TCustomComPort::DestroyHandle() {
    HANDLE h = FHandle.exchange(INVALID_HANDLE_VALUE, std::memory_order_acq_rel);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
}

void TCustomComPort::SetupComPort() {
    ApplyBuffer();
    ApplyDCB();
    ApplyTimeouts();
}

bool TCustomComPort::ApplyAllowed() const {
    return Connected() && FUpdateCount == 0 && !Designing() && !Loading();
}

DCB TCustomComPort::BuildDCB() const {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = FBaudRate == brCustom ? static_cast<DWORD>(FCustomBaudRate) : BaudRateValue(FBaudRate);

    const TComParity& parity = *FParity;
    const TComFlowControl& flow = *FFlowControl;
    const bool errorChar = parity.Check() && parity.Replace();
    DWORD flags = 0x0001; // fBinary
    if (parity.Check()) flags |= 0x0002;
    if (flow.OutCTSFlow()) flags |= 0x0004;
    if (flow.OutDSRFlow()) flags |= 0x0008;
    flags |= DTRControlFlags(flow.ControlDTR());
    if (flow.DSRSensitivity()) flags |= 0x0040;
    if (flow.TxContinueOnXoff()) flags |= 0x0080;
    if (flow.XonXoffOut()) flags |= 0x0100;
    if (flow.XonXoffIn()) flags |= 0x0200;
    if (errorChar) flags |= 0x0400;
    if (FDiscardNull) flags |= 0x0800;
    flags |= RTSControlFlags(flow.ControlRTS());
    SetDcbFlags(dcb, flags);

    const WORD limit = static_cast<WORD>(FBuffer->InputSize() / 4);
    dcb.XonLim = limit;
    dcb.XoffLim = limit;
    dcb.ByteSize = DataBitsSize(FDataBits);
    dcb.Parity = ParityCode(parity.Bits());
    dcb.StopBits = StopBitsCode(FStopBits);
    dcb.XonChar = flow.XonChar();
    dcb.XoffChar = flow.XoffChar();
    dcb.ErrorChar = errorChar ? parity.ReplaceChar() : 0;
    dcb.EofChar = 0;
    dcb.EvtChar = FEventChar;
    return dcb;
}

void TCustomComPort::ApplyDCB() {
    if (!ApplyAllowed()) return;
    DCB dcb = BuildDCB();
    // A bit rate of 0 would hang up a tty line, and a negative custom rate would reach the device
    // as four thousand million bit/s: both are refused like any rate the device rejects.
    if (dcb.BaudRate == 0 || (FBaudRate == brCustom && FCustomBaudRate <= 0))
        throw EComPort(ErrSetCommState, static_cast<int>(ERROR_INVALID_PARAMETER));
    if (!SetCommState(Handle(), &dcb)) throw EComPort(ErrSetCommState, LastWinCode());
}

void TCustomComPort::ApplyTimeouts() {
    if (!ApplyAllowed()) return;
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = static_cast<DWORD>(FTimeouts->ReadInterval());
    t.ReadTotalTimeoutMultiplier = static_cast<DWORD>(FTimeouts->ReadTotalMultiplier());
    t.ReadTotalTimeoutConstant = static_cast<DWORD>(FTimeouts->ReadTotalConstant());
    t.WriteTotalTimeoutMultiplier = static_cast<DWORD>(FTimeouts->WriteTotalMultiplier());
    t.WriteTotalTimeoutConstant = static_cast<DWORD>(FTimeouts->WriteTotalConstant());
    if (!SetCommTimeouts(Handle(), &t)) throw EComPort(ErrSetCommTimeouts, LastWinCode());
}

void TCustomComPort::ApplyBuffer() {
    if (!ApplyAllowed()) return;
    if (!SetupComm(Handle(), static_cast<DWORD>(FBuffer->InputSize()),
                   static_cast<DWORD>(FBuffer->OutputSize())))
        throw EComPort(ErrSetupComm, LastWinCode());
}

void TCustomComPort::BeginUpdate() {
    ++FUpdateCount;
}

void TCustomComPort::EndUpdate() {
    if (FUpdateCount <= 0) return;
    if (--FUpdateCount == 0) SetupComPort();
}

// Runs once after the stored properties were read: a stored Connected = true becomes an open now.
// An open that fails is shown, not raised, so the owner's window still comes up. A port that was
// already open when the read began keeps its device (opening again would fail and lose the handle)
// and gets the settings it was given while loading, which were held back then; if the read named
// another port, it moves there as a port change would.
void TCustomComPort::Loaded() {
    TComponent::Loaded();
    if (!Connected() || Designing()) return;
    try {
        if (Handle() != INVALID_HANDLE_VALUE && FHandlePort == FPort && FHandleSyncMethod == FSyncMethod) {
            SetupComPort();
        } else if (Handle() != INVALID_HANDLE_VALUE) {
            Close();
            Open();
        } else {
            FConnected.store(false, std::memory_order_release);
            Open();
        }
    } catch (const std::exception& e) {
        ShowException(e);
    } catch (...) {
        ShowException(std::current_exception());
    }
}

void TCustomComPort::SetConnected(bool Value) {
    // A port that is open while its stored properties are read again and told to be closed is
    // closed now: Loaded would see it as closed and nothing would release its device.
    if (Loading() && !Value && Connected() && Handle() != INVALID_HANDLE_VALUE && !Designing()) {
        Close();
        return;
    }
    if (Designing() || Loading()) {
        FConnected.store(Value, std::memory_order_release);
        return;
    }
    if (Value == Connected()) return;
    if (Value)
        Open();
    else
        Close();
}

void TCustomComPort::SetBaudRate(TBaudRate Value) {
    if (FBaudRate == Value) return;
    FBaudRate = Value;
    ApplyDCB();
}

void TCustomComPort::SetCustomBaudRate(int32_t Value) {
    if (FCustomBaudRate == Value) return;
    FCustomBaudRate = Value;
    ApplyDCB();
}

void TCustomComPort::SetPort(const std::string& Value) {
    std::string name = NormalizePortName(Value);
    if (name == FPort) return;
    FPort = std::move(name);
    if (Connected() && !Designing() && !Loading()) {
        Close();
        Open();
    }
}

void TCustomComPort::SetStopBits(TStopBits Value) {
    if (FStopBits == Value) return;
    FStopBits = Value;
    ApplyDCB();
}

void TCustomComPort::SetDataBits(TDataBits Value) {
    if (FDataBits == Value) return;
    FDataBits = Value;
    ApplyDCB();
}

void TCustomComPort::SetDiscardNull(bool Value) {
    if (FDiscardNull == Value) return;
    FDiscardNull = Value;
    ApplyDCB();
}

void TCustomComPort::SetEventChar(char Value) {
    if (FEventChar == Value) return;
    FEventChar = Value;
    ApplyDCB();
}

void TCustomComPort::SetBuffer(const TComBuffer& Value) {
    FBuffer->Assign(Value);
    ApplyBuffer();
}

void TCustomComPort::SetParity(const TComParity& Value) {
    FParity->Assign(Value);
    ApplyDCB();
}

void TCustomComPort::SetTimeouts(const TComTimeouts& Value) {
    FTimeouts->Assign(Value);
    ApplyTimeouts();
}

void TCustomComPort::SetFlowControl(const TComFlowControl& Value) {
    FFlowControl->Assign(Value);
    ApplyDCB();
}

void TCustomComPort::SetSyncMethod(TSyncMethod Value) {
    if (FSyncMethod == Value) return;
    // While loading the value is only stored: Loaded restarts the event thread of a port that was
    // already open, so the thread and the hidden target match the method again.
    if (Handle() != INVALID_HANDLE_VALUE && !Loading()) throw EComPort(ErrSyncMethodConnected);
    FSyncMethod = Value;
}

void TCustomComPort::ShowSetupDialog() {
    TSetupDialogHook hook = SetupDialogHook();
    if (!hook) throw Exception("The port setup dialog is not available in this program");
    hook(*this);
}

namespace {

const std::vector<std::string> BaudRateNames = {
    "brCustom", "br110",   "br300",   "br600",   "br1200",  "br2400",   "br4800",   "br9600",
    "br14400",  "br19200", "br38400", "br56000", "br57600", "br115200", "br128000", "br256000"};
const std::vector<std::string> StopBitsNames = {"sbOneStopBit", "sbOne5StopBits", "sbTwoStopBits"};
const std::vector<std::string> DataBitsNames = {"dbFive", "dbSix", "dbSeven", "dbEight"};
const std::vector<std::string> ParityNames = {"prNone", "prOdd", "prEven", "prMark", "prSpace"};
const std::vector<std::string> DTRNames = {"dtrDisable", "dtrEnable", "dtrHandshake"};
const std::vector<std::string> RTSNames = {"rtsDisable", "rtsEnable", "rtsHandshake", "rtsToggle"};
const std::vector<std::string> FlowControlNames = {"fcHardware", "fcSoftware", "fcNone", "fcCustom"};
const std::vector<std::string> EventNames = {"evRxChar", "evTxEmpty", "evRxFlag", "evRing", "evBreak",
                                             "evCTS",    "evDSR",     "evError",  "evRLSD", "evRx80Full"};
const std::vector<std::string> SyncMethodNames = {"smThreadSync", "smWindowSync", "smNone"};

void RegisterSubObjects() {
    TPublished<TComParity>("TComParity", "TPersistent")
        .Enum("Bits", &TComParity::Bits, &TComParity::SetBits, ParityNames)
        .Bool("Check", &TComParity::Check, &TComParity::SetCheck, Default(false))
        .Bool("Replace", &TComParity::Replace, &TComParity::SetReplace, Default(false))
        .Char("ReplaceChar", &TComParity::ReplaceChar, &TComParity::SetReplaceChar, Default(char(0)))
        .Register();
    TPublished<TComBuffer>("TComBuffer", "TPersistent")
        .Integer("InputSize", &TComBuffer::InputSize, &TComBuffer::SetInputSize, Default(1024))
        .Integer("OutputSize", &TComBuffer::OutputSize, &TComBuffer::SetOutputSize, Default(1024))
        .Register();
    TPublished<TComTimeouts>("TComTimeouts", "TPersistent")
        .Integer("ReadInterval", &TComTimeouts::ReadInterval, &TComTimeouts::SetReadInterval, Default(-1))
        .Integer("ReadTotalMultiplier", &TComTimeouts::ReadTotalMultiplier, &TComTimeouts::SetReadTotalM,
                 Default(0))
        .Integer("ReadTotalConstant", &TComTimeouts::ReadTotalConstant, &TComTimeouts::SetReadTotalC,
                 Default(0))
        .Integer("WriteTotalMultiplier", &TComTimeouts::WriteTotalMultiplier, &TComTimeouts::SetWriteTotalM,
                 Default(100))
        .Integer("WriteTotalConstant", &TComTimeouts::WriteTotalConstant, &TComTimeouts::SetWriteTotalC,
                 Default(1000))
        .Register();
    TPublished<TComFlowControl>("TComFlowControl", "TPersistent")
        .Enum("FlowControl", &TComFlowControl::FlowControl, &TComFlowControl::SetFlowControl,
              FlowControlNames, Never())
        .Bool("OutCTSFlow", &TComFlowControl::OutCTSFlow, &TComFlowControl::SetOutCTSFlow)
        .Bool("OutDSRFlow", &TComFlowControl::OutDSRFlow, &TComFlowControl::SetOutDSRFlow)
        .Enum("ControlDTR", &TComFlowControl::ControlDTR, &TComFlowControl::SetControlDTR, DTRNames)
        .Enum("ControlRTS", &TComFlowControl::ControlRTS, &TComFlowControl::SetControlRTS, RTSNames)
        .Bool("XonXoffOut", &TComFlowControl::XonXoffOut, &TComFlowControl::SetXonXoffOut)
        .Bool("XonXoffIn", &TComFlowControl::XonXoffIn, &TComFlowControl::SetXonXoffIn)
        .Bool("DSRSensitivity", &TComFlowControl::DSRSensitivity, &TComFlowControl::SetDSRSensitivity,
              Default(false))
        .Bool("TxContinueOnXoff", &TComFlowControl::TxContinueOnXoff, &TComFlowControl::SetTxContinueOnXoff,
              Default(false))
        .Char("XonChar", &TComFlowControl::XonChar, &TComFlowControl::SetXonChar, Default(char(17)))
        .Char("XoffChar", &TComFlowControl::XoffChar, &TComFlowControl::SetXoffChar, Default(char(19)))
        .Register();
}

const TClassInfo& RegisterComPort() {
    RegisterSubObjects();
    return TPublished<TComPort>("TComPort", "TComponent")
        .Bool("Connected", &TComPort::Connected, &TComPort::SetConnected, Default(false))
        .Enum("BaudRate", &TComPort::BaudRate, &TComPort::SetBaudRate, BaudRateNames)
        .String("Port", &TComPort::Port, &TComPort::SetPort)
        .Object(
            "Parity", [](TComPort& p) { return &p.Parity(); }, "TComParity")
        .Enum("StopBits", &TComPort::StopBits, &TComPort::SetStopBits, StopBitsNames)
        .Enum("DataBits", &TComPort::DataBits, &TComPort::SetDataBits, DataBitsNames)
        .Bool("DiscardNull", &TComPort::DiscardNull, &TComPort::SetDiscardNull, Default(false))
        .Char("EventChar", &TComPort::EventChar, &TComPort::SetEventChar, Default(char(0)))
        .Set("Events", &TComPort::Events, &TComPort::SetEvents, EventNames)
        .Object(
            "Buffer", [](TComPort& p) { return &p.Buffer(); }, "TComBuffer")
        .Object(
            "FlowControl", [](TComPort& p) { return &p.FlowControl(); }, "TComFlowControl")
        .Object(
            "Timeouts", [](TComPort& p) { return &p.Timeouts(); }, "TComTimeouts")
        .Enum("SyncMethod", &TComPort::SyncMethod, &TComPort::SetSyncMethod, SyncMethodNames,
              Default(smThreadSync))
        .Event<TNotifyEvent>("OnAfterOpen", &TComPort::OnAfterOpen, &TComPort::SetOnAfterOpen)
        .Event<TNotifyEvent>("OnAfterClose", &TComPort::OnAfterClose, &TComPort::SetOnAfterClose)
        .Event<TNotifyEvent>("OnBeforeOpen", &TComPort::OnBeforeOpen, &TComPort::SetOnBeforeOpen)
        .Event<TNotifyEvent>("OnBeforeClose", &TComPort::OnBeforeClose, &TComPort::SetOnBeforeClose)
        .Event<TRxCharEvent>("OnRxChar", &TComPort::OnRxChar, &TComPort::SetOnRxChar)
        .Event<TRxBufEvent>("OnRxBuf", &TComPort::OnRxBuf, &TComPort::SetOnRxBuf)
        .Event<TNotifyEvent>("OnTxEmpty", &TComPort::OnTxEmpty, &TComPort::SetOnTxEmpty)
        .Event<TNotifyEvent>("OnBreak", &TComPort::OnBreak, &TComPort::SetOnBreak)
        .Event<TNotifyEvent>("OnRing", &TComPort::OnRing, &TComPort::SetOnRing)
        .Event<TComSignalEvent>("OnCTSChange", &TComPort::OnCTSChange, &TComPort::SetOnCTSChange)
        .Event<TComSignalEvent>("OnDSRChange", &TComPort::OnDSRChange, &TComPort::SetOnDSRChange)
        .Event<TComSignalEvent>("OnRLSDChange", &TComPort::OnRLSDChange, &TComPort::SetOnRLSDChange)
        .Event<TNotifyEvent>("OnRxFlag", &TComPort::OnRxFlag, &TComPort::SetOnRxFlag)
        .Event<TComErrorEvent>("OnError", &TComPort::OnError, &TComPort::SetOnError)
        .Event<TNotifyEvent>("OnRx80Full", &TComPort::OnRx80Full, &TComPort::SetOnRx80Full)
        .Register();
}

// Registered when the library is loaded, so stored form data can create a port by class name
// before any port exists.
[[maybe_unused]] const TClassInfo& ComPortClassAtLoad = TComPort::StaticClassInfo();

} // namespace

const TClassInfo& TComPort::StaticClassInfo() {
    static const TClassInfo& info = RegisterComPort();
    return info;
}

TComPort::TComPort(TComponent* AOwner) : TCustomComPort(AOwner) {
    StaticClassInfo();
}

TComPort::~TComPort() {
    ShutDown();
}
