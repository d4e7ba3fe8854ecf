// Feeds arbitrary text to the readers of the two maps users write by hand: the COMn device map
// (CPORT_DEVICES, devices.conf) and the drive map (TOLVANE_DRIVES, drives.conf). Beyond not
// crashing, it checks what the maps promise: every kept entry is well formed and named once, and
// writing the kept entries out again reads back as the same entries without problems.

#include "platform/drives/DriveMap.h"
#include "platform/ports/DeviceMap.h"

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

void FuzzDevices(std::string_view text, char sep) {
    TDeviceMap map;
    ParseDeviceEntries(text, sep, "fuzz", map);
    std::set<std::string> names;
    std::string file;
    for (const TDeviceMapEntry& e : map.Entries) {
        Check(ComPortNumber(e.Name) != 0 && e.Name == "COM" + std::to_string(ComPortNumber(e.Name)));
        Check(names.insert(e.Name).second);
        Check(!e.Path.empty() && e.Path.find('\0') == std::string::npos &&
              e.Path.find(sep) == std::string::npos);
        file += e.Name + "=" + e.Path + sep;
    }
    TDeviceMap again;
    ParseDeviceEntries(file, sep, "fuzz", again);
    Check(again.Problems.empty() && again.Entries == map.Entries);
}

void FuzzDrives(std::string_view text, char sep) {
    TDriveMap map;
    ParseDriveEntries(text, sep, "fuzz", map);
    std::set<char> letters;
    std::string file;
    for (const TDriveMapEntry& e : map.Entries) {
        Check(e.Letter >= 'A' && e.Letter <= 'Z' && letters.insert(e.Letter).second);
        Check(!e.Root.empty() && e.Root.front() == '/' && e.Root.find('\0') == std::string::npos &&
              e.Root.find(sep) == std::string::npos);
        Check(map.Find(e.Letter) != nullptr &&
              map.Find(static_cast<char>(e.Letter + ('a' - 'A'))) != nullptr);
        file += std::string(1, e.Letter) + "=" + e.Root + sep;
    }
    TDriveMap again;
    ParseDriveEntries(file, sep, "fuzz", again);
    Check(again.Problems.empty() && again.Entries == map.Entries);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (char sep : {';', '\n'}) {
        FuzzDevices(text, sep);
        FuzzDrives(text, sep);
    }
    return 0;
}
