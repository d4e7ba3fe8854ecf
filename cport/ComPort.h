#pragma once

// The serial port component: one object per serial device.
//
// Where the member functions are defined:
//   ComPort.cpp     construction, properties and setters, Open/Close, CreateHandle/DestroyHandle,
//                   SetupComPort, ApplyDCB/ApplyTimeouts/ApplyBuffer, BeginUpdate/EndUpdate,
//                   Loaded, ShowSetupDialog, TComPort and its form-data registration
//   ComDispatch.cpp the event thread's creation and destruction, the Do and Call operations,
//                   CheckSignals, SendSignals, links, TriggersOnRxChar, WindowMethod
//   ComPortIO.cpp   data transfer, status queries and line control
//   ComStore.cpp    StoreSettings/LoadSettings and the four store/load operations
//
// Threads: the GUI thread creates, configures, opens and closes a port. While the port is open
// with events, its event thread reads Handle, SyncMethod, Events, the links and the handlers;
// those are fixed while the thread runs or are safe to read from it. Transfers may run on any
// thread. Handlers are set before the port opens (or on the thread that delivers them).

#include "cport/ComLink.h"
#include "cport/ComTypes.h"
#include "platform/toolkit/Component.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TComThread;
class TMessageTarget;
struct TMessage;
class TIniFile;
class TRegistry;
struct TClassInfo;

class TCustomComPort : public TComponent {
  public:
    explicit TCustomComPort(TComponent* AOwner);
    ~TCustomComPort() override;

    std::string ClassName() const override { return "TCustomComPort"; }

    // Lifecycle (GUI thread).
    void Open();
    void Close();
    void BeginUpdate();
    void EndUpdate();

    // Settings persistence.
    void StoreSettings(TStoreType StoreType, const std::string& StoreTo);
    void LoadSettings(TStoreType StoreType, const std::string& LoadFrom);

    // Followers (framer, signal LED, terminal) register the link they own.
    void RegisterLink(TComLink* AComLink);
    void UnRegisterLink(TComLink* AComLink);

    // Runs the port setup dialog on this port through the hook the UI library installs
    // (SetupHook.h). Raises Exception when no dialog is available.
    void ShowSetupDialog();

    // Data transfer. Each start takes a record made by InitAsync.
    int WriteAsync(const void* Buffer, int Count, PAsync& AsyncPtr);
    int Write(const void* Buffer, int Count);
    int WriteStrAsync(const std::string& Str, PAsync& AsyncPtr);
    int WriteStr(const std::string& Str);
    int ReadAsync(void* Buffer, int Count, PAsync& AsyncPtr);
    int Read(void* Buffer, int Count);
    int ReadStrAsync(std::string& Str, int Count, PAsync& AsyncPtr);
    int ReadStr(std::string& Str, int Count);
    int WaitForAsync(PAsync& AsyncPtr);
    bool IsAsyncCompleted(PAsync AsyncPtr);
    void WaitForEvent(TComEvents& Events, int Timeout);
    void AbortAllAsync();
    void ClearBuffer(bool Input, bool Output);

    // Status and line control.
    int InputCount();
    int OutputCount();
    TComSignals Signals();
    TComStateFlags StateFlags();
    TComErrors LastErrors();
    void SetDTR(bool OnOff);
    void SetRTS(bool OnOff);
    void SetXonXoff(bool OnOff);
    void SetBreak(bool OnOff);
    void TransmitChar(char Ch);

    // Window procedure of the hidden message target used by smWindowSync.
    void WindowMethod(TMessage& Message);

    // Properties.
    HANDLE Handle() const { return FHandle.load(std::memory_order_acquire); }
    bool Connected() const { return FConnected.load(std::memory_order_acquire); }
    void SetConnected(bool Value);
    TBaudRate BaudRate() const { return FBaudRate; }
    void SetBaudRate(TBaudRate Value);
    int32_t CustomBaudRate() const { return FCustomBaudRate; }
    void SetCustomBaudRate(int32_t Value);
    const std::string& Port() const { return FPort; }
    void SetPort(const std::string& Value);
    TStopBits StopBits() const { return FStopBits; }
    void SetStopBits(TStopBits Value);
    TDataBits DataBits() const { return FDataBits; }
    void SetDataBits(TDataBits Value);
    bool DiscardNull() const { return FDiscardNull; }
    void SetDiscardNull(bool Value);
    char EventChar() const { return FEventChar; }
    void SetEventChar(char Value);
    // Taken by the event thread when the port opens; a change on an open port waits for the next open.
    TComEvents Events() const { return FEvents; }
    void SetEvents(TComEvents Value) { FEvents = Value; }
    TComBuffer& Buffer() { return *FBuffer; }
    const TComBuffer& Buffer() const { return *FBuffer; }
    void SetBuffer(const TComBuffer& Value);
    TComParity& Parity() { return *FParity; }
    const TComParity& Parity() const { return *FParity; }
    void SetParity(const TComParity& Value);
    TComTimeouts& Timeouts() { return *FTimeouts; }
    const TComTimeouts& Timeouts() const { return *FTimeouts; }
    void SetTimeouts(const TComTimeouts& Value);
    TComFlowControl& FlowControl() { return *FFlowControl; }
    const TComFlowControl& FlowControl() const { return *FFlowControl; }
    void SetFlowControl(const TComFlowControl& Value);
    TSyncMethod SyncMethod() const { return FSyncMethod; }
    void SetSyncMethod(TSyncMethod Value);
    TStoredProps StoredProps() const { return FStoredProps; }
    void SetStoredProps(TStoredProps Value) { FStoredProps = Value; }
    bool TriggersOnRxChar() const;
    bool ThreadCreated() const { return FThreadCreated.load(std::memory_order_acquire); }
    int UpdateCount() const { return FUpdateCount; }

    // Events (plain write).
    const TRxCharEvent& OnRxChar() const { return FOnRxChar; }
    void SetOnRxChar(TRxCharEvent Value) { FOnRxChar = std::move(Value); }
    const TRxBufEvent& OnRxBuf() const { return FOnRxBuf; }
    void SetOnRxBuf(TRxBufEvent Value) { FOnRxBuf = std::move(Value); }
    const TNotifyEvent& OnTxEmpty() const { return FOnTxEmpty; }
    void SetOnTxEmpty(TNotifyEvent Value) { FOnTxEmpty = std::move(Value); }
    const TNotifyEvent& OnBreak() const { return FOnBreak; }
    void SetOnBreak(TNotifyEvent Value) { FOnBreak = std::move(Value); }
    const TNotifyEvent& OnRing() const { return FOnRing; }
    void SetOnRing(TNotifyEvent Value) { FOnRing = std::move(Value); }
    const TComSignalEvent& OnCTSChange() const { return FOnCTSChange; }
    void SetOnCTSChange(TComSignalEvent Value) { FOnCTSChange = std::move(Value); }
    const TComSignalEvent& OnDSRChange() const { return FOnDSRChange; }
    void SetOnDSRChange(TComSignalEvent Value) { FOnDSRChange = std::move(Value); }
    const TComSignalEvent& OnRLSDChange() const { return FOnRLSDChange; }
    void SetOnRLSDChange(TComSignalEvent Value) { FOnRLSDChange = std::move(Value); }
    const TComErrorEvent& OnError() const { return FOnError; }
    void SetOnError(TComErrorEvent Value) { FOnError = std::move(Value); }
    const TNotifyEvent& OnRxFlag() const { return FOnRxFlag; }
    void SetOnRxFlag(TNotifyEvent Value) { FOnRxFlag = std::move(Value); }
    const TNotifyEvent& OnAfterOpen() const { return FOnAfterOpen; }
    void SetOnAfterOpen(TNotifyEvent Value) { FOnAfterOpen = std::move(Value); }
    const TNotifyEvent& OnAfterClose() const { return FOnAfterClose; }
    void SetOnAfterClose(TNotifyEvent Value) { FOnAfterClose = std::move(Value); }
    const TNotifyEvent& OnBeforeOpen() const { return FOnBeforeOpen; }
    void SetOnBeforeOpen(TNotifyEvent Value) { FOnBeforeOpen = std::move(Value); }
    const TNotifyEvent& OnBeforeClose() const { return FOnBeforeClose; }
    void SetOnBeforeClose(TNotifyEvent Value) { FOnBeforeClose = std::move(Value); }
    const TNotifyEvent& OnRx80Full() const { return FOnRx80Full; }
    void SetOnRx80Full(TNotifyEvent Value) { FOnRx80Full = std::move(Value); }

  protected:
    // Settings persistence, overridable to store more or other settings.
    virtual void StoreRegistry(TRegistry& Reg);
    virtual void StoreIniFile(TIniFile& IniFile);
    virtual void LoadRegistry(TRegistry& Reg);
    virtual void LoadIniFile(TIniFile& IniFile);

    // Open and close the device.
    virtual void CreateHandle();
    virtual void DestroyHandle();
    // ApplyBuffer, ApplyDCB, ApplyTimeouts, in this order.
    virtual void SetupComPort();

    void Loaded() override;
    // Closes the port and sends the removal notices; a class derived from a port calls it first in
    // its destructor (the event thread calls virtual operations until it has stopped).
    void ShutDown();

    // Raise the published events; each does nothing when its handler is empty.
    virtual void DoAfterClose();
    virtual void DoAfterOpen();
    virtual void DoBeforeClose();
    virtual void DoBeforeOpen();
    virtual void DoRxChar(int Count);
    virtual void DoRxBuf(const char* Buffer, int Count);
    virtual void DoTxEmpty();
    virtual void DoBreak();
    virtual void DoRing();
    virtual void DoRxFlag();
    virtual void DoCTSChange(bool OnOff);
    virtual void DoDSRChange(bool OnOff);
    virtual void DoError(TComErrors Errors);
    virtual void DoRLSDChange(bool OnOff);
    virtual void DoRx80Full();

    // Apply one settings group to the open device; nothing happens while closed, inside an
    // update batch, designing or loading.
    virtual void ApplyDCB();
    virtual void ApplyTimeouts();
    virtual void ApplyBuffer();

    // Link notification combined with the events.
    void CallAfterClose();
    void CallAfterOpen();
    void CallBeforeClose();
    void CallBeforeOpen();
    void CallBreak();
    void CallCTSChange();
    void CallDSRChange();
    void CallRLSDChange();
    void CallError();
    void CallRing();
    void CallRx80Full();
    void CallRxChar();
    void CallRxFlag();
    void CallTxEmpty();
    // The device went away (Code: the platform's reason): the links hear it through OnRemoved.
    void CallRemoved(DWORD Code);
    void CheckSignals(bool Open);
    void SendSignals(TComLedSignal Signal, bool OnOff);

    // The device control block ApplyDCB hands to the device, built from the settings alone.
    DCB BuildDCB() const;
    bool ApplyAllowed() const;

  private:
    friend class TComThread;
    friend class TComTimeouts;
    friend class TComFlowControl;
    friend class TComParity;
    friend class TComBuffer;

    // Open step: the hidden message target (smWindowSync only), then the event thread, which sets
    // the event mask on this thread before it runs. Close step: the thread, then the target.
    // CreateEventThread leaves nothing behind when it raises.
    void CreateEventThread();
    void DestroyEventThread();
    // Raises when called on this port's own event thread, where closing would wait for itself.
    void CheckNotOnEventThread() const;
    bool Designing() const { return ComponentState().Contains(csDesigning); }
    bool Loading() const { return ComponentState().Contains(csLoading); }

    TComThread* FEventThread = nullptr;
    std::atomic<bool> FThreadCreated{false};
    std::atomic<HANDLE> FHandle{INVALID_HANDLE_VALUE};
    std::string FHandlePort; // the port name Handle was opened on
    TSyncMethod FHandleSyncMethod = smThreadSync; // and the method its event thread delivers by
    TMessageTarget* FWindow = nullptr;
    int FUpdateCount = 0;
    TComLinkList FLinks;
    std::atomic<bool> FConnected{false};
    TBaudRate FBaudRate = br9600;
    int32_t FCustomBaudRate = 9600;
    std::string FPort = "COM1";
    TStopBits FStopBits = sbOneStopBit;
    TDataBits FDataBits = dbEight;
    bool FDiscardNull = false;
    char FEventChar = 0;
    TComEvents FEvents = AllComEvents;
    std::unique_ptr<TComBuffer> FBuffer;
    std::unique_ptr<TComParity> FParity;
    std::unique_ptr<TComTimeouts> FTimeouts;
    std::unique_ptr<TComFlowControl> FFlowControl;
    TSyncMethod FSyncMethod = smThreadSync;
    TStoredProps FStoredProps{spBasic};
    TRxCharEvent FOnRxChar;
    TRxBufEvent FOnRxBuf;
    TNotifyEvent FOnTxEmpty;
    TNotifyEvent FOnBreak;
    TNotifyEvent FOnRing;
    TComSignalEvent FOnCTSChange;
    TComSignalEvent FOnDSRChange;
    TComSignalEvent FOnRLSDChange;
    TComErrorEvent FOnError;
    TNotifyEvent FOnRxFlag;
    TNotifyEvent FOnAfterOpen;
    TNotifyEvent FOnAfterClose;
    TNotifyEvent FOnBeforeOpen;
    TNotifyEvent FOnBeforeClose;
    TNotifyEvent FOnRx80Full;
};

// The port as placed on a window: its properties are published to stored form data.
class TComPort : public TCustomComPort {
  public:
    explicit TComPort(TComponent* AOwner);
    ~TComPort() override;
    std::string ClassName() const override { return "TComPort"; }
    // The published properties and their stored defaults (registered once, on first use).
    static const TClassInfo& StaticClassInfo();
};

// Port enumeration (ComEnum.h): appends the system's serial port names to Ports.
void EnumComPorts(std::vector<std::string>& Ports);
