#pragma once

// Port names on Linux. Ports are named COM1 … COM16; the device map turns a name into a device
// path (a tty, a pty symlink, or "virtual:NAME" for an in-process virtual device).
//
// The map is built, in this order of precedence:
//   1. the environment variable CPORT_DEVICES ("COM1=/dev/ttyUSB0;COM3=/tmp/sim"),
//   2. the file $XDG_CONFIG_HOME/cport/devices.conf (default ~/.config), one "COMn=path" a line,
//   3. every other serial device present (ttyS* with a real UART, then ttyUSB*, ttyACM*, ttyAMA*,
//      each in natural order) takes the lowest free number.
// The first entry for a name wins. A device already named explicitly (also through a symlink) is
// not numbered a second time. Malformed entries are skipped and reported in Problems.
//
// Every function is thread-safe. The map is rebuilt on each call, so a device plugged in later
// appears at the next enumeration.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

constexpr int MaxComPortNumber = 16;

struct TDeviceMapEntry {
    std::string Name; // "COM3"
    std::string Path; // "/dev/ttyUSB0", "/tmp/sim", "virtual:dev1"
    bool operator==(const TDeviceMapEntry&) const = default;
};

struct TDeviceMap {
    std::vector<TDeviceMapEntry> Entries; // sorted by port number
    std::vector<std::string> Problems;    // one readable line per skipped entry
};

// Where the map is read from; the defaults are the real machine.
struct TDeviceMapSources {
    std::optional<std::string> Environment; // the value of CPORT_DEVICES, if set
    std::string ConfigFile;                 // devices.conf path; empty = none
    std::string SysClassTty = "/sys/class/tty";
    std::string Dev = "/dev";
};

// The sources of the running process: CPORT_DEVICES, XDG_CONFIG_HOME / HOME.
TDeviceMapSources DeviceMapSourcesFromEnvironment();

// The configuration file path: $XDG_CONFIG_HOME/cport/devices.conf, or ~/.config/cport/devices.conf
// when XDG_CONFIG_HOME is unset, empty or relative. Empty when no home directory is known.
std::string DeviceConfigPath();

// "COM3", "com3" or "\\.\COM3" → 3; anything else (COM0, COM17, COM03, COM3:) → 0.
int ComPortNumber(std::string_view name);

// Parses "COMn=path" entries separated by sep (';' for the environment, '\n' for the file).
// Blanks around names and paths are trimmed; in the file, '#' starts a comment line.
// origin names the source in problem texts ("CPORT_DEVICES", the file path).
void ParseDeviceEntries(std::string_view text, char sep, const std::string& origin, TDeviceMap& into);

// True for the device names of serial ports: ttyS, ttyUSB, ttyACM, ttyAMA followed by a number.
bool IsSerialDeviceName(std::string_view name);

// The serial devices present under sources.SysClassTty, as device paths under sources.Dev,
// in numbering order.
std::vector<std::string> ScanSerialDevices(const TDeviceMapSources& sources);

TDeviceMap BuildDeviceMap(const TDeviceMapSources& sources);

// The current map: the override when one is set, else built from DeviceMapSourcesFromEnvironment().
TDeviceMap CurrentDeviceMap();
std::vector<TDeviceMapEntry> PortMap();

// The device path of a port name, or nothing when the name is not mapped.
std::optional<std::string> ResolvePortName(std::string_view name);

// Replaces the whole map (tests, the simulator), kept sorted by port number like a built one;
// nullopt returns to the real machine.
void SetDeviceMapOverride(std::optional<std::vector<TDeviceMapEntry>> entries);

// The system's port list as enumeration reads it: one "COMn:" record per mapped port, with its path.
struct TSystemPort {
    std::string Name; // "COM3:"
    std::string Path;
    bool operator==(const TSystemPort&) const = default;
};
std::vector<TSystemPort> SystemPortList();

// Substitutes the system port list verbatim (so enumeration can be tested with names such as
// "LPT1:" or "com3:"); nullopt returns to the list derived from the device map.
void SetSystemPortListOverride(std::optional<std::vector<TSystemPort>> ports);
