#include "cport/ComTypes.h"
#include "platform/toolkit/Text.h"

#include "cport/ComPort.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <string_view>

namespace {

constexpr std::array<DWORD, 16> BaudRates = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                                             14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
constexpr std::array<const char*, 16> BaudRateTexts = {
    "Custom", "110",   "300",   "600",   "1200",  "2400",   "4800",   "9600",
    "14400",  "19200", "38400", "56000", "57600", "115200", "128000", "256000"};
constexpr std::array<const char*, 3> StopBitsTexts = {"1", "1.5", "2"};
constexpr std::array<const char*, 4> DataBitsTexts = {"5", "6", "7", "8"};
constexpr std::array<const char*, 5> ParityTexts = {"None", "Odd", "Even", "Mark", "Space"};
constexpr std::array<const char*, 4> FlowControlTexts = {"Hardware", "Software", "None", "Custom"};
constexpr std::array<const char*, 3> DTRTexts = {"Disable", "Enable", "Handshake"};
constexpr std::array<const char*, 4> RTSTexts = {"Disable", "Enable", "Handshake", "Toggle"};

constexpr std::array<DWORD, 8> ErrorFlags = {CE_FRAME, CE_RXPARITY, CE_OVERRUN, CE_BREAK,
                                             CE_IOE,   CE_MODE,     CE_RXOVER,  CE_TXFULL};
constexpr std::array<DWORD, 4> SignalFlags = {MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON};

constexpr std::array<const char*, 21> ErrorMessages = {
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set SyncMethod while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
};

// The table entry of an enumeration value; a value outside the table (only reachable by a cast)
// gives the empty text rather than reading past the table.
template <typename Enum, size_t N> std::string TextOf(const std::array<const char*, N>& texts, Enum value) {
    size_t i = static_cast<size_t>(value);
    return i < N ? std::string(texts[i]) : std::string();
}

template <typename Enum, size_t N>
Enum MemberOf(const std::array<const char*, N>& texts, const std::string& str, Enum fallback) {
    for (size_t i = 0; i < N; ++i)
        if (SameText(str, texts[i])) return static_cast<Enum>(i);
    return fallback;
}

// A signed 32-bit decimal integer with optional sign and nothing else around it.
bool ParseInt(std::string_view text, long long& value) {
    if (text.empty()) return false;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    bool negative = false;
    if (*first == '+' || *first == '-') {
        negative = *first == '-';
        ++first;
    }
    if (first == last) return false;
    unsigned long long magnitude = 0;
    auto [ptr, ec] = std::from_chars(first, last, magnitude);
    if (ec != std::errc() || ptr != last) return false;
    // Only what fits a signed 32-bit integer is a number.
    if (magnitude > (negative ? 2147483648ull : 2147483647ull)) return false;
    value = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    return true;
}

} // namespace

DWORD BaudRateValue(TBaudRate Value) {
    size_t i = static_cast<size_t>(Value);
    return i < BaudRates.size() ? BaudRates[i] : 0;
}
BYTE StopBitsCode(TStopBits Value) {
    return static_cast<BYTE>(Value);
}
BYTE DataBitsSize(TDataBits Value) {
    return static_cast<BYTE>(Value + 5);
}
BYTE ParityCode(TParityBits Value) {
    return static_cast<BYTE>(Value);
}
DWORD DTRControlFlags(TDTRFlowControl Value) {
    return (static_cast<DWORD>(Value) & 3u) << 4;
}
DWORD RTSControlFlags(TRTSFlowControl Value) {
    return (static_cast<DWORD>(Value) & 3u) << 12;
}
DWORD ComErrorFlag(TComError Value) {
    size_t i = static_cast<size_t>(Value);
    return i < ErrorFlags.size() ? ErrorFlags[i] : 0;
}
DWORD ComSignalFlag(TComSignal Value) {
    size_t i = static_cast<size_t>(Value);
    return i < SignalFlags.size() ? SignalFlags[i] : 0;
}

std::string BaudRateToStr(TBaudRate Value) {
    return TextOf(BaudRateTexts, Value);
}
TBaudRate StrToBaudRate(const std::string& Str) {
    return MemberOf(BaudRateTexts, Str, br9600);
}
std::string StopBitsToStr(TStopBits Value) {
    return TextOf(StopBitsTexts, Value);
}
TStopBits StrToStopBits(const std::string& Str) {
    return MemberOf(StopBitsTexts, Str, sbOneStopBit);
}
std::string DataBitsToStr(TDataBits Value) {
    return TextOf(DataBitsTexts, Value);
}
TDataBits StrToDataBits(const std::string& Str) {
    return MemberOf(DataBitsTexts, Str, dbEight);
}
std::string ParityToStr(TParityBits Value) {
    return TextOf(ParityTexts, Value);
}
TParityBits StrToParity(const std::string& Str) {
    return MemberOf(ParityTexts, Str, prNone);
}
std::string FlowControlToStr(TFlowControl Value) {
    return TextOf(FlowControlTexts, Value);
}
TFlowControl StrToFlowControl(const std::string& Str) {
    return MemberOf(FlowControlTexts, Str, fcCustom);
}
std::string DTRControlToStr(TDTRFlowControl Value) {
    return TextOf(DTRTexts, Value);
}
TDTRFlowControl StrToDTRControl(const std::string& Str) {
    return MemberOf(DTRTexts, Str, dtrDisable);
}
std::string RTSControlToStr(TRTSFlowControl Value) {
    return TextOf(RTSTexts, Value);
}
TRTSFlowControl StrToRTSControl(const std::string& Str) {
    return MemberOf(RTSTexts, Str, rtsDisable);
}

std::string BoolToYesNo(bool Value) {
    return Value ? "Yes" : "No";
}
bool YesNoToBool(const std::string& Str) {
    return SameText(Str, "YES");
}

std::string CharToStr(char Value) {
    unsigned code = static_cast<unsigned char>(Value);
    if (code >= 33 && code <= 127) return std::string(1, Value);
    return "#" + std::to_string(code);
}

char StrToChar(const std::string& Str) {
    if (Str.empty()) return 0;
    if (Str[0] != '#' || Str.size() == 1) return Str[0];
    long long number = 0;
    if (!ParseInt(std::string_view(Str).substr(1), number)) return 0;
    return static_cast<char>(static_cast<unsigned long long>(number) & 0xFFu);
}

namespace {
// The port number a name stands for ("COM3", "com3", "3"), or 0 when it names no port.
long long PortNumberOf(const std::string& Str) {
    std::string_view rest(Str);
    if (rest.size() >= 3 && SameText(rest.substr(0, 3), "COM")) rest.remove_prefix(3);
    long long number = 0;
    if (!ParseInt(rest, number) || number < 1 || number > 16) return 0;
    return number;
}
} // namespace

std::string NormalizePortName(const std::string& Str) {
    const long long number = PortNumberOf(Str);
    return "COM" + std::to_string(number == 0 ? 1 : number);
}

bool IsPortName(const std::string& Str) {
    return PortNumberOf(Str) != 0;
}

std::string EComPort::MessageOfCode(int ACode) {
    if (ACode < 1 || ACode > static_cast<int>(ErrorMessages.size())) return std::string();
    return ErrorMessages[static_cast<size_t>(ACode - 1)];
}

EComPort::EComPort(int ACode) : Exception(MessageOfCode(ACode)), FWinCode(-1), FCode(ACode) {}

EComPort::EComPort(int ACode, int AWinCode)
    : Exception(MessageOfCode(ACode) + " (win error code: " + std::to_string(AWinCode) + ")"),
      FWinCode(AWinCode), FCode(ACode) {}

EComPort::EComPort(int ACode, int AWinCode, const std::string& ADetail) : EComPort(ACode, AWinCode) {
    if (!ADetail.empty()) SetMessage(Message() + ": " + ADetail);
}

void InitAsync(PAsync& p) {
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (event == nullptr || event == INVALID_HANDLE_VALUE)
        throw EComPort(ErrInvalidAsync, static_cast<int>(GetLastError()));
    p = new TAsync{};
    p->Overlapped.hEvent = event;
}

void DoneAsync(PAsync& p) {
    if (p == nullptr) return;
    CloseHandle(p->Overlapped.hEvent);
    delete p;
    p = nullptr;
}

void TComTimeouts::Assign(const TPersistent& Source) {
    const auto* src = dynamic_cast<const TComTimeouts*>(&Source);
    if (src == nullptr) {
        TPersistent::Assign(Source);
        return;
    }
    FReadInterval = src->FReadInterval;
    FReadTotalM = src->FReadTotalM;
    FReadTotalC = src->FReadTotalC;
    FWriteTotalM = src->FWriteTotalM;
    FWriteTotalC = src->FWriteTotalC;
}

void TComTimeouts::SetField(int32_t& Field, int32_t Value) {
    if (Field == Value) return;
    Field = Value;
    if (FComPort != nullptr) FComPort->ApplyTimeouts();
}

void TComTimeouts::SetReadInterval(int32_t Value) {
    SetField(FReadInterval, Value);
}
void TComTimeouts::SetReadTotalM(int32_t Value) {
    SetField(FReadTotalM, Value);
}
void TComTimeouts::SetReadTotalC(int32_t Value) {
    SetField(FReadTotalC, Value);
}
void TComTimeouts::SetWriteTotalM(int32_t Value) {
    SetField(FWriteTotalM, Value);
}
void TComTimeouts::SetWriteTotalC(int32_t Value) {
    SetField(FWriteTotalC, Value);
}

void TComFlowControl::Assign(const TPersistent& Source) {
    const auto* src = dynamic_cast<const TComFlowControl*>(&Source);
    if (src == nullptr) {
        TPersistent::Assign(Source);
        return;
    }
    FOutCTSFlow = src->FOutCTSFlow;
    FOutDSRFlow = src->FOutDSRFlow;
    FControlDTR = src->FControlDTR;
    FControlRTS = src->FControlRTS;
    FXonXoffOut = src->FXonXoffOut;
    FXonXoffIn = src->FXonXoffIn;
    FDSRSensitivity = src->FDSRSensitivity;
    FTxContinueOnXoff = src->FTxContinueOnXoff;
    FXonChar = src->FXonChar;
    FXoffChar = src->FXoffChar;
}

void TComFlowControl::Apply() {
    if (FComPort != nullptr) FComPort->ApplyDCB();
}

template <typename T> void TComFlowControl::SetField(T& Field, T Value) {
    if (Field == Value) return;
    Field = Value;
    Apply();
}

TFlowControl TComFlowControl::FlowControl() const {
    if (FControlRTS == rtsHandshake && FOutCTSFlow && !FXonXoffIn && !FXonXoffOut) return fcHardware;
    if (FControlRTS == rtsDisable && !FOutCTSFlow && FXonXoffIn && FXonXoffOut) return fcSoftware;
    if (FControlRTS == rtsDisable && !FOutCTSFlow && !FXonXoffIn && !FXonXoffOut) return fcNone;
    return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl Value) {
    if (Value != fcCustom) {
        FControlRTS = rtsDisable;
        FOutCTSFlow = false;
        FXonXoffIn = false;
        FXonXoffOut = false;
        if (Value == fcHardware) {
            FControlRTS = rtsHandshake;
            FOutCTSFlow = true;
        } else if (Value == fcSoftware) {
            FXonXoffIn = true;
            FXonXoffOut = true;
        }
    }
    Apply();
}

void TComFlowControl::SetOutCTSFlow(bool Value) {
    SetField(FOutCTSFlow, Value);
}
void TComFlowControl::SetOutDSRFlow(bool Value) {
    SetField(FOutDSRFlow, Value);
}
void TComFlowControl::SetControlDTR(TDTRFlowControl Value) {
    SetField(FControlDTR, Value);
}
void TComFlowControl::SetControlRTS(TRTSFlowControl Value) {
    SetField(FControlRTS, Value);
}
void TComFlowControl::SetXonXoffOut(bool Value) {
    SetField(FXonXoffOut, Value);
}
void TComFlowControl::SetXonXoffIn(bool Value) {
    SetField(FXonXoffIn, Value);
}
void TComFlowControl::SetDSRSensitivity(bool Value) {
    SetField(FDSRSensitivity, Value);
}
void TComFlowControl::SetTxContinueOnXoff(bool Value) {
    SetField(FTxContinueOnXoff, Value);
}
void TComFlowControl::SetXonChar(char Value) {
    SetField(FXonChar, Value);
}
void TComFlowControl::SetXoffChar(char Value) {
    SetField(FXoffChar, Value);
}

void TComParity::Assign(const TPersistent& Source) {
    const auto* src = dynamic_cast<const TComParity*>(&Source);
    if (src == nullptr) {
        TPersistent::Assign(Source);
        return;
    }
    FBits = src->FBits;
    FCheck.store(src->Check(), std::memory_order_relaxed);
    FReplace = src->FReplace;
    FReplaceChar = src->FReplaceChar;
}

void TComParity::Apply() {
    if (FComPort != nullptr) FComPort->ApplyDCB();
}

void TComParity::SetBits(TParityBits Value) {
    if (FBits == Value) return;
    FBits = Value;
    Apply();
}

void TComParity::SetCheck(bool Value) {
    if (Check() == Value) return;
    FCheck.store(Value, std::memory_order_relaxed);
    Apply();
}

void TComParity::SetReplace(bool Value) {
    if (FReplace == Value) return;
    FReplace = Value;
    Apply();
}

void TComParity::SetReplaceChar(char Value) {
    if (FReplaceChar == Value) return;
    FReplaceChar = Value;
    Apply();
}

void TComBuffer::Assign(const TPersistent& Source) {
    const auto* src = dynamic_cast<const TComBuffer*>(&Source);
    if (src == nullptr) {
        TPersistent::Assign(Source);
        return;
    }
    FInputSize = src->FInputSize;
    FOutputSize = src->FOutputSize;
}

void TComBuffer::SetField(int32_t& Field, int32_t Value) {
    if (Field == Value) return;
    Field = Value;
    if (Field > 0 && Field % 2 != 0) --Field;
    if (FComPort != nullptr) FComPort->ApplyBuffer();
}

void TComBuffer::SetInputSize(int32_t Value) {
    SetField(FInputSize, Value);
}
void TComBuffer::SetOutputSize(int32_t Value) {
    SetField(FOutputSize, Value);
}
