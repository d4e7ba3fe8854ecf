#include "tools/term/core/TermSettings.h"

#include "cport/ComPort.h"
#include "platform/ports/DeviceMap.h"
#include "platform/profile/IniFiles.h"

#include <algorithm>
#include <vector>

bool ParseDataBits(std::string_view Text, TDataBits& Value) {
    static const char* const Names[] = {"5", "6", "7", "8"};
    return PickName(Names, Text, Value);
}
bool ParseParity(std::string_view Text, TParityBits& Value) {
    static const char* const Names[] = {"none", "odd", "even", "mark", "space"};
    return PickName(Names, Text, Value);
}
bool ParseStopBits(std::string_view Text, TStopBits& Value) {
    static const char* const Names[] = {"1", "1.5", "2"};
    return PickName(Names, Text, Value);
}
bool ParseFlow(std::string_view Text, TFlowControl& Value) {
    // In the order of TFlowControl: hardware, software, none.
    static const char* const Names[] = {"rtscts", "xonxoff", "none"};
    return PickName(Names, Text, Value);
}
bool ParseOnOff(std::string_view Text, bool& Value) {
    static const char* const Names[] = {"off", "on"};
    int V = 0;
    if (!PickName(Names, Text, V)) return false;
    Value = V != 0;
    return true;
}

// The port setup dialog still lists the ports already mapped beside the new name.
std::string NameForDevice(const std::string& Given) {
    if (const int N = ComPortNumber(Given)) return "COM" + std::to_string(N);
    std::vector<TDeviceMapEntry> Map = PortMap();
    for (const TDeviceMapEntry& E : Map)
        if (E.Path == Given) return E.Name;
    int Free = 1;
    for (bool Taken = true; Taken && Free < 16;) {
        Taken = false;
        for (const TDeviceMapEntry& E : Map)
            if (ComPortNumber(E.Name) == Free) Taken = true;
        if (Taken) ++Free;
    }
    const std::string Name = "COM" + std::to_string(Free);
    std::erase_if(Map, [&](const TDeviceMapEntry& E) { return E.Name == Name; });
    Map.push_back({Name, Given});
    SetDeviceMapOverride(Map);
    return Name;
}

void SetBaud(TComPort& Port, int Baud) {
    for (int B = br110; B <= br256000; ++B) {
        if (static_cast<int>(BaudRateValue(static_cast<TBaudRate>(B))) == Baud) {
            Port.SetBaudRate(static_cast<TBaudRate>(B));
            return;
        }
    }
    Port.SetCustomBaudRate(Baud);
    Port.SetBaudRate(brCustom);
}

void ApplyLineOptions(TComPort& Port, const TLineOptions& O) {
    if (O.Baud) SetBaud(Port, *O.Baud);
    if (O.DataBits) Port.SetDataBits(*O.DataBits);
    if (O.StopBits) Port.SetStopBits(*O.StopBits);
    if (O.Parity) Port.Parity().SetBits(*O.Parity);
    if (O.Flow) Port.FlowControl().SetFlowControl(*O.Flow);
}

TLineMaps ReadLineMaps(TIniFile& Ini, const char* Section) {
    TLineMaps M;
    M.LfReturns = Ini.ReadBool(Section, "LfReturns", false);
    M.DropCr = Ini.ReadBool(Section, "DropCR", false);
    ParseEnter(Ini.ReadString(Section, "Enter", EnterName(esAsTyped)), M.Enter);
    ParseBackspace(Ini.ReadString(Section, "Backspace", BackspaceName(bsAsTyped)), M.Backspace);
    return M;
}

void WriteLineMaps(TIniFile& Ini, const char* Section, const TLineMaps& M) {
    Ini.WriteBool(Section, "LfReturns", M.LfReturns);
    Ini.WriteBool(Section, "DropCR", M.DropCr);
    Ini.WriteString(Section, "Enter", EnterName(M.Enter));
    Ini.WriteString(Section, "Backspace", BackspaceName(M.Backspace));
}
