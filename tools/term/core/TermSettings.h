#pragma once

// What tolvane-term's window and its console mode share about the port and the line: the port
// named on the command line, the line settings chosen for one run, and the line maps kept in the
// settings file.

#include "cport/ComTypes.h"
#include "cportui/core/LineMaps.h"

#include <optional>
#include <string>
#include <string_view>

class TComPort;
class TIniFile;

// The line settings the command line chose; they hold for the run only.
struct TLineOptions {
    std::optional<int> Baud;
    std::optional<TDataBits> DataBits;
    std::optional<TParityBits> Parity;
    std::optional<TStopBits> StopBits;
    std::optional<TFlowControl> Flow; // fcNone, fcHardware (RTS/CTS) or fcSoftware (XON/XOFF)
    std::optional<bool> Echo;         // local echo
    bool Any() const { return Baud || DataBits || Parity || StopBits || Flow || Echo; }
};

// Each reads one option's text ("8"; "none", "odd", "even", "mark", "space"; "1", "1.5", "2";
// "none", "rtscts", "xonxoff"; "on", "off"); false for anything else.
bool ParseDataBits(std::string_view Text, TDataBits& Value);
bool ParseParity(std::string_view Text, TParityBits& Value);
bool ParseStopBits(std::string_view Text, TStopBits& Value);
bool ParseFlow(std::string_view Text, TFlowControl& Value);
bool ParseOnOff(std::string_view Text, bool& Value);

// Sets the port's rate (a standard one by its name, any other as a custom rate) and the rest of
// what the options chose.
void SetBaud(TComPort& Port, int Baud);
void ApplyLineOptions(TComPort& Port, const TLineOptions& Options);

// A device path (or network port) given on the command line gets a port name of its own for this
// process, beside the ports already mapped; COMn names are returned as they are.
std::string NameForDevice(const std::string& Given);

// The line maps in the settings file's terminal section ("LfReturns", "DropCR", "Enter",
// "Backspace"); what is missing or unreadable keeps its default.
TLineMaps ReadLineMaps(TIniFile& Ini, const char* Section);
void WriteLineMaps(TIniFile& Ini, const char* Section, const TLineMaps& Maps);
