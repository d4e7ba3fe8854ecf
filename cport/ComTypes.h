#pragma once

// Vocabulary of the serial port component: line settings, events, signals and errors, their
// platform codes and texts, the asynchronous-operation record and the component's exception.

#include "platform/comm/WinComm.h"
#include "platform/toolkit/Exception.h"
#include "platform/toolkit/Object.h"
#include "platform/toolkit/TSet.h"

#include <atomic>
#include <cstdint>
#include <string>

class TCustomComPort;

enum TBaudRate : uint8_t {
    brCustom,
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000
};
enum TStopBits : uint8_t { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDataBits : uint8_t { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits : uint8_t { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl : uint8_t { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl : uint8_t { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl : uint8_t { fcHardware, fcSoftware, fcNone, fcCustom };

enum TComEvent : uint8_t {
    evRxChar,
    evTxEmpty,
    evRxFlag,
    evRing,
    evBreak,
    evCTS,
    evDSR,
    evError,
    evRLSD,
    evRx80Full
};
using TComEvents = TSet<TComEvent, uint16_t>;
constexpr TComEvents AllComEvents = TComEvents::FromBits(0x3FF);

enum TComSignal : uint8_t { csCTS, csDSR, csRing, csRLSD };
using TComSignals = TSet<TComSignal, uint8_t>;

// RLSD comes before Ring here, unlike TComSignal.
enum TComLedSignal : uint8_t { lsCTS, lsDSR, lsRLSD, lsRing, lsRx, lsTx };

enum TComError : uint8_t { ceFrame, ceRxParity, ceOverrun, ceBreak, ceIO, ceMode, ceRxOver, ceTxFull };
using TComErrors = TSet<TComError, uint8_t>;

enum TSyncMethod : uint8_t { smThreadSync, smWindowSync, smNone };
enum TStoreType : uint8_t { stRegistry, stIniFile };

enum TStoredProp : uint8_t { spBasic, spFlowControl, spBuffer, spTimeouts, spParity, spOthers };
using TStoredProps = TSet<TStoredProp, uint8_t>;

enum TOperationKind : uint8_t { okWrite, okRead };

// Bit for bit the low byte of the status flag word that ClearCommError reports.
enum TComStateFlag : uint8_t { sfCTSHold, sfDSRHold, sfRLSDHold, sfXoffHold, sfXoffSent, sfEof, sfTxim };
using TComStateFlags = TSet<TComStateFlag, uint8_t>;

// Platform codes of the settings (what goes into the device control block).
DWORD BaudRateValue(TBaudRate Value); // 0 for brCustom: the port's CustomBaudRate is used instead
BYTE StopBitsCode(TStopBits Value);
BYTE DataBitsSize(TDataBits Value);
BYTE ParityCode(TParityBits Value);
DWORD DTRControlFlags(TDTRFlowControl Value); // bits 4-5 of the DCB flag word
DWORD RTSControlFlags(TRTSFlowControl Value); // bits 12-13 of the DCB flag word
DWORD ComErrorFlag(TComError Value);          // CE_… flag reported by ClearCommError
DWORD ComSignalFlag(TComSignal Value);        // MS_…_ON bit reported by GetCommModemStatus

// Text conversions. From text: exact match ignoring ASCII case, first member in ordinal order,
// a fixed fallback member otherwise.
std::string BaudRateToStr(TBaudRate Value);
TBaudRate StrToBaudRate(const std::string& Str); // fallback br9600
std::string StopBitsToStr(TStopBits Value);
TStopBits StrToStopBits(const std::string& Str); // fallback sbOneStopBit
std::string DataBitsToStr(TDataBits Value);
TDataBits StrToDataBits(const std::string& Str); // fallback dbEight
std::string ParityToStr(TParityBits Value);
TParityBits StrToParity(const std::string& Str); // fallback prNone
std::string FlowControlToStr(TFlowControl Value);
TFlowControl StrToFlowControl(const std::string& Str); // fallback fcCustom
std::string DTRControlToStr(TDTRFlowControl Value);
TDTRFlowControl StrToDTRControl(const std::string& Str); // fallback dtrDisable
std::string RTSControlToStr(TRTSFlowControl Value);
TRTSFlowControl StrToRTSControl(const std::string& Str); // fallback rtsDisable

std::string BoolToYesNo(bool Value);
bool YesNoToBool(const std::string& Str);
// Codes 33..127 as the character itself, every other code as "#" and the decimal code.
std::string CharToStr(char Value);
char StrToChar(const std::string& Str);
// Any text to "COM1".."COM16"; what is no such port becomes "COM1".
std::string NormalizePortName(const std::string& Str);
// True when NormalizePortName keeps the port Str names instead of falling back to "COM1".
bool IsPortName(const std::string& Str);

// Error codes of EComPort.
constexpr int ErrOpenPort = 1;
constexpr int ErrWriteFile = 2;
constexpr int ErrReadFile = 3;
constexpr int ErrInvalidAsync = 4;
constexpr int ErrPurgeComm = 5;
constexpr int ErrAsyncStatus = 6;
constexpr int ErrSetCommState = 7;
constexpr int ErrSetCommTimeouts = 8;
constexpr int ErrSetupComm = 9;
constexpr int ErrClearCommError = 10;
constexpr int ErrModemStatus = 11;
constexpr int ErrEscapeComm = 12;
constexpr int ErrTransmitChar = 13;
constexpr int ErrSyncMethodConnected = 14;
constexpr int ErrEnumPorts = 15;
constexpr int ErrStoreSettings = 16;
constexpr int ErrLoadSettings = 17;
constexpr int ErrLinkRegistration = 18;
constexpr int ErrLedState = 19;
constexpr int ErrEventThreadRunning = 20;
constexpr int ErrWaitForEvent = 21;

// The component's one exception type. WinCode is -1 when no platform call failed.
class EComPort : public Exception {
  public:
    explicit EComPort(int ACode);
    EComPort(int ACode, int AWinCode);
    // With the system's reason beyond the code (a network port's host and what it said), when known.
    EComPort(int ACode, int AWinCode, const std::string& ADetail);

    int WinCode() const noexcept { return FWinCode; }
    int Code() const noexcept { return FCode; }

    // Fixed message of a code; the empty text for a code outside 1..21.
    static std::string MessageOfCode(int ACode);

  private:
    int FWinCode;
    int FCode;
};

// One overlapped read or write. Made only by InitAsync, freed only by DoneAsync.
struct TAsync {
    OVERLAPPED Overlapped;
    TOperationKind Kind;
    // A text write's own copy of its bytes: they must outlive the caller's string until the
    // write has ended, so the record keeps them until it is reused or freed.
    std::string Data;
};
using PAsync = TAsync*;

// Allocates a record with a zeroed OVERLAPPED and a new manual-reset, signalled event. Raises
// EComPort code 4 with the platform code when no event can be made. The previous p is not freed.
void InitAsync(PAsync& p);
// Closes the event, frees the record, sets p to null. A null p is left alone.
void DoneAsync(PAsync& p);

// A record for one call or one writer's life, freed on every path out of its scope.
struct TAsyncGuard {
    PAsync P = nullptr;
    TAsyncGuard() { InitAsync(P); }
    ~TAsyncGuard() { DoneAsync(P); }
    TAsyncGuard(const TAsyncGuard&) = delete;
    TAsyncGuard& operator=(const TAsyncGuard&) = delete;
};

// The settings sub-objects. Each holds a non-owning back reference to the port that owns it
// (null for a free-standing object). Setters store first, then ask the port to apply the group;
// the port applies only when open and not inside an update batch. Assign copies the stored
// fields only: no setters, no apply, the back reference stays.
// A port's settings are changed on the thread that configures it (the GUI thread); fields that
// the event thread also reads are atomic.

class TComTimeouts : public TPersistent {
  public:
    TComTimeouts() = default;
    std::string ClassName() const override { return "TComTimeouts"; }
    void Assign(const TPersistent& Source) override;

    TCustomComPort* ComPort() const { return FComPort; }
    void SetComPort(TCustomComPort* AComPort) { FComPort = AComPort; }

    int32_t ReadInterval() const { return FReadInterval; }
    int32_t ReadTotalMultiplier() const { return FReadTotalM; }
    int32_t ReadTotalConstant() const { return FReadTotalC; }
    int32_t WriteTotalMultiplier() const { return FWriteTotalM; }
    int32_t WriteTotalConstant() const { return FWriteTotalC; }
    void SetReadInterval(int32_t Value);
    void SetReadTotalM(int32_t Value);
    void SetReadTotalC(int32_t Value);
    void SetWriteTotalM(int32_t Value);
    void SetWriteTotalC(int32_t Value);

  private:
    void SetField(int32_t& Field, int32_t Value);

    TCustomComPort* FComPort = nullptr;
    int32_t FReadInterval = -1;
    int32_t FReadTotalM = 0;
    int32_t FReadTotalC = 0;
    int32_t FWriteTotalM = 100;
    int32_t FWriteTotalC = 1000;
};

class TComFlowControl : public TPersistent {
  public:
    TComFlowControl() = default;
    std::string ClassName() const override { return "TComFlowControl"; }
    void Assign(const TPersistent& Source) override;

    TCustomComPort* ComPort() const { return FComPort; }
    void SetComPort(TCustomComPort* AComPort) { FComPort = AComPort; }

    // Summary of ControlRTS, OutCTSFlow, XonXoffIn and XonXoffOut.
    TFlowControl FlowControl() const;
    // Presets those four fields (fcCustom leaves them) and applies the line state, always.
    void SetFlowControl(TFlowControl Value);

    bool OutCTSFlow() const { return FOutCTSFlow; }
    bool OutDSRFlow() const { return FOutDSRFlow; }
    TDTRFlowControl ControlDTR() const { return FControlDTR; }
    TRTSFlowControl ControlRTS() const { return FControlRTS; }
    bool XonXoffOut() const { return FXonXoffOut; }
    bool XonXoffIn() const { return FXonXoffIn; }
    bool DSRSensitivity() const { return FDSRSensitivity; }
    bool TxContinueOnXoff() const { return FTxContinueOnXoff; }
    char XonChar() const { return FXonChar; }
    char XoffChar() const { return FXoffChar; }
    void SetOutCTSFlow(bool Value);
    void SetOutDSRFlow(bool Value);
    void SetControlDTR(TDTRFlowControl Value);
    void SetControlRTS(TRTSFlowControl Value);
    void SetXonXoffOut(bool Value);
    void SetXonXoffIn(bool Value);
    void SetDSRSensitivity(bool Value);
    void SetTxContinueOnXoff(bool Value);
    void SetXonChar(char Value);
    void SetXoffChar(char Value);

  private:
    template <typename T> void SetField(T& Field, T Value);
    void Apply();

    TCustomComPort* FComPort = nullptr;
    bool FOutCTSFlow = false;
    bool FOutDSRFlow = false;
    TDTRFlowControl FControlDTR = dtrDisable;
    TRTSFlowControl FControlRTS = rtsDisable;
    bool FXonXoffOut = false;
    bool FXonXoffIn = false;
    bool FDSRSensitivity = false;
    bool FTxContinueOnXoff = false;
    char FXonChar = 17;
    char FXoffChar = 19;
};

class TComParity : public TPersistent {
  public:
    TComParity() = default;
    std::string ClassName() const override { return "TComParity"; }
    void Assign(const TPersistent& Source) override;

    TCustomComPort* ComPort() const { return FComPort; }
    void SetComPort(TCustomComPort* AComPort) { FComPort = AComPort; }

    TParityBits Bits() const { return FBits; }
    // Also read by the event thread (which error flags LastErrors reports).
    bool Check() const { return FCheck.load(std::memory_order_relaxed); }
    bool Replace() const { return FReplace; }
    char ReplaceChar() const { return FReplaceChar; }
    void SetBits(TParityBits Value);
    void SetCheck(bool Value);
    void SetReplace(bool Value);
    void SetReplaceChar(char Value);

  private:
    void Apply();

    TCustomComPort* FComPort = nullptr;
    TParityBits FBits = prNone;
    std::atomic<bool> FCheck{false};
    bool FReplace = false;
    char FReplaceChar = 0;
};

class TComBuffer : public TPersistent {
  public:
    TComBuffer() = default;
    std::string ClassName() const override { return "TComBuffer"; }
    void Assign(const TPersistent& Source) override;

    TCustomComPort* ComPort() const { return FComPort; }
    void SetComPort(TCustomComPort* AComPort) { FComPort = AComPort; }

    int32_t InputSize() const { return FInputSize; }
    int32_t OutputSize() const { return FOutputSize; }
    // A positive odd size is stored one lower, so queue sizes are even.
    void SetInputSize(int32_t Value);
    void SetOutputSize(int32_t Value);

  private:
    void SetField(int32_t& Field, int32_t Value);

    TCustomComPort* FComPort = nullptr;
    int32_t FInputSize = 1024;
    int32_t FOutputSize = 1024;
};
