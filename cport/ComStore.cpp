#include "cport/ComPort.h"
#include "platform/profile/IniFiles.h"
#include "platform/profile/Registry.h"

#include <cctype>

// Storing and loading run on the thread that configures the port (the GUI thread).

namespace {

// One table of keys serves both stores: the writer and the reader adapters below decide how a
// text or an integer reaches the ini file or the registry.
struct TIniWriter {
    TIniFile& Ini;
    const std::string& Section;
    void Text(const std::string& Key, const std::string& Value) { Ini.WriteString(Section, Key, Value); }
    void Integer(const std::string& Key, int32_t Value) { Ini.WriteInteger(Section, Key, Value); }
};

struct TRegistryWriter {
    TRegistry& Reg;
    void Text(const std::string& Key, const std::string& Value) { Reg.WriteString(Key, Value); }
    void Integer(const std::string& Key, int32_t Value) { Reg.WriteInteger(Key, Value); }
};

// A missing ini key takes the setting's current value (encoded as when storing), so it changes
// nothing.
struct TIniReader {
    TIniFile& Ini;
    const std::string& Section;
    std::string Text(const std::string& Key, const std::string& Current) {
        return Ini.ReadString(Section, Key, Current);
    }
    int32_t Integer(const std::string& Key, int32_t Current) {
        return Ini.ReadInteger(Section, Key, Current);
    }
};

// The registry has no defaults: a missing text reads empty (and decodes to its fallback), a
// missing integer raises.
struct TRegistryReader {
    TRegistry& Reg;
    std::string Text(const std::string& Key, const std::string&) { return Reg.ReadString(Key); }
    int32_t Integer(const std::string& Key, int32_t) { return Reg.ReadInteger(Key); }
};

template <class W> void StoreKeys(const TCustomComPort& Port, W&& Out) {
    TStoredProps props = Port.StoredProps();
    if (props.Contains(spBasic)) {
        Out.Text("Port", Port.Port());
        Out.Text("BaudRate", BaudRateToStr(Port.BaudRate()));
        if (Port.BaudRate() == brCustom) Out.Integer("CustomBaudRate", Port.CustomBaudRate());
        Out.Text("StopBits", StopBitsToStr(Port.StopBits()));
        Out.Text("DataBits", DataBitsToStr(Port.DataBits()));
        Out.Text("Parity", ParityToStr(Port.Parity().Bits()));
        Out.Text("FlowControl", FlowControlToStr(Port.FlowControl().FlowControl()));
    }
    if (props.Contains(spOthers)) {
        Out.Text("EventChar", CharToStr(Port.EventChar()));
        Out.Text("DiscardNull", BoolToYesNo(Port.DiscardNull()));
    }
    if (props.Contains(spParity)) {
        const TComParity& p = Port.Parity();
        Out.Text("Parity.Check", BoolToYesNo(p.Check()));
        Out.Text("Parity.Replace", BoolToYesNo(p.Replace()));
        Out.Text("Parity.ReplaceChar", CharToStr(p.ReplaceChar()));
    }
    if (props.Contains(spBuffer)) {
        Out.Integer("Buffer.OutputSize", Port.Buffer().OutputSize());
        Out.Integer("Buffer.InputSize", Port.Buffer().InputSize());
    }
    if (props.Contains(spTimeouts)) {
        const TComTimeouts& t = Port.Timeouts();
        Out.Integer("Timeouts.ReadInterval", t.ReadInterval());
        Out.Integer("Timeouts.ReadTotalConstant", t.ReadTotalConstant());
        Out.Integer("Timeouts.ReadTotalMultiplier", t.ReadTotalMultiplier());
        Out.Integer("Timeouts.WriteTotalConstant", t.WriteTotalConstant());
        Out.Integer("Timeouts.WriteTotalMultiplier", t.WriteTotalMultiplier());
    }
    if (props.Contains(spFlowControl)) {
        const TComFlowControl& f = Port.FlowControl();
        Out.Text("FlowControl.ControlRTS", RTSControlToStr(f.ControlRTS()));
        Out.Text("FlowControl.ControlDTR", DTRControlToStr(f.ControlDTR()));
        Out.Text("FlowControl.DSRSensitivity", BoolToYesNo(f.DSRSensitivity()));
        Out.Text("FlowControl.OutCTSFlow", BoolToYesNo(f.OutCTSFlow()));
        Out.Text("FlowControl.OutDSRFlow", BoolToYesNo(f.OutDSRFlow()));
        Out.Text("FlowControl.TxContinueOnXoff", BoolToYesNo(f.TxContinueOnXoff()));
        Out.Text("FlowControl.XonXoffIn", BoolToYesNo(f.XonXoffIn()));
        Out.Text("FlowControl.XonXoffOut", BoolToYesNo(f.XonXoffOut()));
        Out.Text("FlowControl.XoffChar", CharToStr(f.XoffChar()));
        Out.Text("FlowControl.XonChar", CharToStr(f.XonChar()));
    }
}

// Each value goes through its setter as soon as it is read, so a later key sees the effect of an
// earlier one (the FlowControl group, last, refines what the basic preset set up).
template <class R> void LoadKeys(TCustomComPort& Port, R&& In) {
    TStoredProps props = Port.StoredProps();
    if (props.Contains(spBasic)) {
        Port.SetPort(In.Text("Port", Port.Port()));
        Port.SetBaudRate(StrToBaudRate(In.Text("BaudRate", BaudRateToStr(Port.BaudRate()))));
        if (Port.BaudRate() == brCustom) Port.SetCustomBaudRate(In.Integer("CustomBaudRate", 9600));
        Port.SetStopBits(StrToStopBits(In.Text("StopBits", StopBitsToStr(Port.StopBits()))));
        Port.SetDataBits(StrToDataBits(In.Text("DataBits", DataBitsToStr(Port.DataBits()))));
        Port.Parity().SetBits(StrToParity(In.Text("Parity", ParityToStr(Port.Parity().Bits()))));
        Port.FlowControl().SetFlowControl(
            StrToFlowControl(In.Text("FlowControl", FlowControlToStr(Port.FlowControl().FlowControl()))));
    }
    if (props.Contains(spOthers)) {
        Port.SetEventChar(StrToChar(In.Text("EventChar", CharToStr(Port.EventChar()))));
        Port.SetDiscardNull(YesNoToBool(In.Text("DiscardNull", BoolToYesNo(Port.DiscardNull()))));
    }
    if (props.Contains(spParity)) {
        TComParity& p = Port.Parity();
        p.SetCheck(YesNoToBool(In.Text("Parity.Check", BoolToYesNo(p.Check()))));
        p.SetReplace(YesNoToBool(In.Text("Parity.Replace", BoolToYesNo(p.Replace()))));
        p.SetReplaceChar(StrToChar(In.Text("Parity.ReplaceChar", CharToStr(p.ReplaceChar()))));
    }
    if (props.Contains(spBuffer)) {
        TComBuffer& b = Port.Buffer();
        b.SetOutputSize(In.Integer("Buffer.OutputSize", b.OutputSize()));
        b.SetInputSize(In.Integer("Buffer.InputSize", b.InputSize()));
    }
    if (props.Contains(spTimeouts)) {
        TComTimeouts& t = Port.Timeouts();
        t.SetReadInterval(In.Integer("Timeouts.ReadInterval", t.ReadInterval()));
        t.SetReadTotalC(In.Integer("Timeouts.ReadTotalConstant", t.ReadTotalConstant()));
        t.SetReadTotalM(In.Integer("Timeouts.ReadTotalMultiplier", t.ReadTotalMultiplier()));
        t.SetWriteTotalC(In.Integer("Timeouts.WriteTotalConstant", t.WriteTotalConstant()));
        t.SetWriteTotalM(In.Integer("Timeouts.WriteTotalMultiplier", t.WriteTotalMultiplier()));
    }
    if (props.Contains(spFlowControl)) {
        TComFlowControl& f = Port.FlowControl();
        f.SetControlRTS(StrToRTSControl(In.Text("FlowControl.ControlRTS", RTSControlToStr(f.ControlRTS()))));
        f.SetControlDTR(StrToDTRControl(In.Text("FlowControl.ControlDTR", DTRControlToStr(f.ControlDTR()))));
        f.SetDSRSensitivity(
            YesNoToBool(In.Text("FlowControl.DSRSensitivity", BoolToYesNo(f.DSRSensitivity()))));
        f.SetOutCTSFlow(YesNoToBool(In.Text("FlowControl.OutCTSFlow", BoolToYesNo(f.OutCTSFlow()))));
        f.SetOutDSRFlow(YesNoToBool(In.Text("FlowControl.OutDSRFlow", BoolToYesNo(f.OutDSRFlow()))));
        f.SetTxContinueOnXoff(
            YesNoToBool(In.Text("FlowControl.TxContinueOnXoff", BoolToYesNo(f.TxContinueOnXoff()))));
        f.SetXonXoffIn(YesNoToBool(In.Text("FlowControl.XonXoffIn", BoolToYesNo(f.XonXoffIn()))));
        f.SetXonXoffOut(YesNoToBool(In.Text("FlowControl.XonXoffOut", BoolToYesNo(f.XonXoffOut()))));
        f.SetXoffChar(StrToChar(In.Text("FlowControl.XoffChar", CharToStr(f.XoffChar()))));
        f.SetXonChar(StrToChar(In.Text("FlowControl.XonChar", CharToStr(f.XonChar()))));
    }
}

// A location is a root-key name, a backslash and a key path; the port's values live in the key
// path's subkey named after the port. Without a backslash no key is opened, so the accesses that
// follow fail (writes, integer reads) or read empty (texts).
void OpenStoreKey(TRegistry& Reg, const std::string& Location, const std::string& PortName, int FailCode) {
    std::string::size_type slash = Location.find('\\');
    if (slash == std::string::npos) return;
    std::string root = Location.substr(0, slash);
    for (char& c : root)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (root == "HKEY_LOCAL_MACHINE")
        Reg.SetRootKey(HKEY_LOCAL_MACHINE);
    else if (root == "HKEY_CURRENT_USER")
        Reg.SetRootKey(HKEY_CURRENT_USER);
    std::string path = Location.substr(slash + 1);
    if (path.empty()) throw EComPort(FailCode);
    if (path.back() != '\\') path += '\\';
    Reg.OpenKey(path + PortName, true);
}

} // namespace

void TCustomComPort::StoreRegistry(TRegistry& Reg) {
    StoreKeys(*this, TRegistryWriter{Reg});
}

void TCustomComPort::StoreIniFile(TIniFile& IniFile) {
    StoreKeys(*this, TIniWriter{IniFile, Name()});
}

void TCustomComPort::LoadRegistry(TRegistry& Reg) {
    LoadKeys(*this, TRegistryReader{Reg});
}

void TCustomComPort::LoadIniFile(TIniFile& IniFile) {
    LoadKeys(*this, TIniReader{IniFile, Name()});
}

void TCustomComPort::StoreSettings(TStoreType StoreType, const std::string& StoreTo) {
    try {
        if (StoreType == stIniFile) {
            TIniFile ini(StoreTo);
            StoreIniFile(ini);
        } else {
            TRegistry reg;
            OpenStoreKey(reg, StoreTo, Name(), ErrStoreSettings);
            StoreRegistry(reg);
        }
    } catch (...) {
        throw EComPort(ErrStoreSettings);
    }
}

void TCustomComPort::LoadSettings(TStoreType StoreType, const std::string& LoadFrom) {
    BeginUpdate();
    bool failed = false;
    try {
        if (StoreType == stIniFile) {
            TIniFile ini(LoadFrom);
            LoadIniFile(ini);
        } else {
            TRegistry reg;
            OpenStoreKey(reg, LoadFrom, Name(), ErrLoadSettings);
            LoadRegistry(reg);
        }
    } catch (...) {
        failed = true;
    }
    // Balanced in every case; applying the settings here may fail as well.
    try {
        EndUpdate();
    } catch (...) {
        failed = true;
    }
    if (failed) throw EComPort(ErrLoadSettings);
}
