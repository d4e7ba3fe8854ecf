#pragma once

// What the flashing tools (window and command line) check and say about a port beyond what the
// port component itself does: a settings file that cannot be trusted, and a port error explained
// in a person's words. Plain C++; any thread.

#include <cstdint>
#include <string>

class Exception;

enum TSettingsProblem : uint8_t {
    spNone,       // missing (defaults apply) or readable with a usable port name
    spUnreadable, // exists but cannot be read: a directory, no permission, not a regular file
    spBadPort,    // its Port value names no port; the component would quietly use COM1
};

struct TSettingsCheck {
    TSettingsProblem Problem = spNone;
    std::string Message; // names the file, and for spBadPort the section, key and value
};

// Checks the ini settings file File whose section Section a port will load.
TSettingsCheck CheckSettingsFile(const std::string& File, const std::string& Section);

// "COM3 (/dev/ttyUSB0): device is busy: another program has it open" — the port name, the device
// it maps to, and the reason in words when the error carries a platform code. E is the error a
// port operation raised; a plain Exception gives the port and device only.
std::string DescribePortProblem(const std::string& PortName, const Exception& E);
// The same from a port error's code and platform code (an engine notice's ErrorCode and
// ErrorWinCode; WinCode -1: no platform code, port and device only).
std::string DescribePortProblem(const std::string& PortName, int Code, int WinCode);
