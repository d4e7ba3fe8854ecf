#include "platform/ports/DeviceMap.h"

#include "platform/toolkit/UserConfig.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::mutex OverrideLock;
std::optional<std::vector<TDeviceMapEntry>> MapOverride;
std::optional<std::vector<TSystemPort>> ListOverride;

// Two paths name the same device when they resolve to the same file; a path that does not
// resolve (a pty gone, "virtual:…") only matches itself.
std::string Identity(const std::string& path) {
    std::error_code ec;
    fs::path p = fs::canonical(path, ec);
    return ec ? path : p.string();
}

bool ReadSmallFile(const fs::path& p, std::string& out) {
    std::ifstream in(p, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    return !in.bad();
}

// A ttyS node exists for every UART slot the 8250 driver reserves; only those with a probed
// port type (not 0, PORT_UNKNOWN) are real hardware. sysfs says so without opening the device,
// which would raise DTR and RTS on a real port. A driver that publishes no type is taken at its
// word that the port exists.
bool IsRealUart(const fs::path& sysEntry) {
    std::error_code ec;
    if (!fs::exists(sysEntry / "device", ec)) return false;
    std::string type;
    if (!ReadSmallFile(sysEntry / "type", type)) return true;
    auto t = TrimBlanks(type);
    return !t.empty() && t != "0";
}

// Natural order inside one family: ttyUSB2 before ttyUSB10.
bool SuffixLess(const std::string& a, const std::string& b, size_t prefix) {
    auto num = [prefix](const std::string& s) -> long {
        std::string_view d(s);
        d.remove_prefix(prefix);
        if (d.empty() || !std::all_of(d.begin(), d.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return -1;
        return d.size() > 9 ? 999999999 : std::strtol(std::string(d).c_str(), nullptr, 10);
    };
    long na = num(a), nb = num(b);
    if (na != nb) return na < nb;
    return a < b;
}

} // namespace

int ComPortNumber(std::string_view name) {
    if (name.size() >= 4 && name.substr(0, 4) == "\\\\.\\") name.remove_prefix(4);
    if (name.size() < 4 || name.size() > 5) return 0;
    for (int i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return 0;
    std::string_view digits = name.substr(3);
    if (digits[0] == '0') return 0;
    int n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return 0;
        n = n * 10 + (c - '0');
    }
    return n >= 1 && n <= MaxComPortNumber ? n : 0;
}

void ParseDeviceEntries(std::string_view text, char sep, const std::string& origin, TDeviceMap& into) {
    int line = 0;
    while (!text.empty() || line == 0) {
        ++line;
        size_t cut = text.find(sep);
        std::string_view raw = text.substr(0, cut);
        text = cut == std::string_view::npos ? std::string_view{} : text.substr(cut + 1);
        std::string_view item = TrimBlanks(raw);
        if (item.empty() || (sep == '\n' && item.front() == '#')) {
            if (text.empty()) break;
            continue;
        }
        auto where = [&] {
            return sep == '\n' ? origin + " line " + std::to_string(line)
                               : origin + " entry " + std::to_string(line);
        };
        size_t eq = item.find('=');
        if (eq == std::string_view::npos) {
            into.Problems.push_back(where() + ": expected COMn=path, got \"" + ShownEntry(item) + "\"");
        } else {
            std::string_view name = TrimBlanks(item.substr(0, eq));
            std::string_view path = TrimBlanks(item.substr(eq + 1));
            int n = ComPortNumber(name);
            if (n == 0 || name.substr(0, 1) == "\\") {
                into.Problems.push_back(where() + ": \"" + ShownEntry(name) + "\" is not a port name COM1 to COM" +
                                        std::to_string(MaxComPortNumber));
            } else if (path.empty()) {
                into.Problems.push_back(where() + ": no device path for COM" + std::to_string(n));
            } else if (path.find('\0') != std::string_view::npos) {
                into.Problems.push_back(where() + ": device path for COM" + std::to_string(n) +
                                        " contains a NUL byte");
            } else {
                std::string canon = "COM" + std::to_string(n);
                bool taken = std::any_of(into.Entries.begin(), into.Entries.end(),
                                         [&](const TDeviceMapEntry& e) { return e.Name == canon; });
                if (taken)
                    into.Problems.push_back(where() + ": " + canon + " is already mapped; entry ignored");
                else
                    into.Entries.push_back({canon, std::string(path)});
            }
        }
        if (text.empty()) break;
    }
}

namespace {
constexpr const char* SerialFamilies[] = {"ttyS", "ttyUSB", "ttyACM", "ttyAMA"};

// The family index of a serial device name ("ttyUSB3" → 1), or -1.
int SerialFamilyOf(std::string_view name) {
    for (size_t f = 0; f < std::size(SerialFamilies); ++f) {
        const size_t len = std::strlen(SerialFamilies[f]);
        if (name.size() <= len || name.compare(0, len, SerialFamilies[f]) != 0) continue;
        if (std::all_of(name.begin() + static_cast<long>(len), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return static_cast<int>(f);
    }
    return -1;
}
} // namespace

namespace {
void SortByPortNumber(std::vector<TDeviceMapEntry>& entries) {
    std::sort(entries.begin(), entries.end(), [](const TDeviceMapEntry& a, const TDeviceMapEntry& b) {
        return ComPortNumber(a.Name) < ComPortNumber(b.Name);
    });
}
} // namespace

bool IsSerialDeviceName(std::string_view name) {
    return SerialFamilyOf(name) >= 0;
}

std::vector<std::string> ScanSerialDevices(const TDeviceMapSources& sources) {
    const auto& Families = SerialFamilies;
    std::vector<std::vector<std::string>> found(std::size(Families));
    std::error_code ec;
    for (fs::directory_iterator it(sources.SysClassTty, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        const int f = SerialFamilyOf(name);
        if (f < 0) continue;
        fs::path dev = fs::path(sources.Dev) / name;
        std::error_code e2;
        if (!fs::exists(dev, e2)) continue;
        if (f == 0 && !IsRealUart(it->path())) continue;
        found[static_cast<size_t>(f)].push_back(name);
    }
    std::vector<std::string> out;
    for (size_t f = 0; f < found.size(); ++f) {
        size_t len = std::strlen(Families[f]);
        std::sort(found[f].begin(), found[f].end(),
                  [len](const std::string& a, const std::string& b) { return SuffixLess(a, b, len); });
        for (auto& n : found[f])
            out.push_back((fs::path(sources.Dev) / n).string());
    }
    return out;
}

TDeviceMap BuildDeviceMap(const TDeviceMapSources& sources) {
    TDeviceMap map;
    if (sources.Environment) ParseDeviceEntries(*sources.Environment, ';', "CPORT_DEVICES", map);
    if (!sources.ConfigFile.empty()) {
        std::string text;
        std::error_code ec;
        if (fs::exists(sources.ConfigFile, ec)) {
            // Only a regular file: a FIFO or a device in its place would block the open.
            if (!fs::is_regular_file(sources.ConfigFile, ec))
                map.Problems.push_back(sources.ConfigFile + ": not a regular file; ignored");
            else if (ReadSmallFile(sources.ConfigFile, text))
                ParseDeviceEntries(text, '\n', sources.ConfigFile, map);
            else
                map.Problems.push_back(sources.ConfigFile + ": cannot be read: " + std::strerror(errno));
        }
    }
    std::vector<std::string> named;
    for (auto& e : map.Entries)
        named.push_back(Identity(e.Path));
    int next = 1;
    for (auto& dev : ScanSerialDevices(sources)) {
        if (std::find(named.begin(), named.end(), Identity(dev)) != named.end()) continue;
        auto isFree = [&](int n) {
            std::string nm = "COM" + std::to_string(n);
            return std::none_of(map.Entries.begin(), map.Entries.end(),
                                [&](const TDeviceMapEntry& e) { return e.Name == nm; });
        };
        while (next <= MaxComPortNumber && !isFree(next))
            ++next;
        if (next > MaxComPortNumber) {
            map.Problems.push_back(dev + ": no free port name left (COM1 to COM" +
                                   std::to_string(MaxComPortNumber) + " are all taken)");
            continue;
        }
        map.Entries.push_back({"COM" + std::to_string(next), dev});
    }
    SortByPortNumber(map.Entries);
    return map;
}

std::string DeviceConfigPath() {
    const std::string base = UserConfigDir();
    return base.empty() ? std::string() : (fs::path(base) / "cport" / "devices.conf").string();
}

TDeviceMapSources DeviceMapSourcesFromEnvironment() {
    TDeviceMapSources s;
    if (const char* env = std::getenv("CPORT_DEVICES")) s.Environment = env;
    s.ConfigFile = DeviceConfigPath();
    return s;
}

TDeviceMap CurrentDeviceMap() {
    {
        std::lock_guard lock(OverrideLock);
        if (MapOverride) return TDeviceMap{*MapOverride, {}};
    }
    return BuildDeviceMap(DeviceMapSourcesFromEnvironment());
}

std::vector<TDeviceMapEntry> PortMap() {
    return CurrentDeviceMap().Entries;
}

std::optional<std::string> ResolvePortName(std::string_view name) {
    int n = ComPortNumber(name);
    if (n == 0) return std::nullopt;
    std::string canon = "COM" + std::to_string(n);
    for (auto& e : PortMap())
        if (e.Name == canon) return e.Path;
    return std::nullopt;
}

void SetDeviceMapOverride(std::optional<std::vector<TDeviceMapEntry>> entries) {
    if (entries) SortByPortNumber(*entries);
    std::lock_guard lock(OverrideLock);
    MapOverride = std::move(entries);
}

std::vector<TSystemPort> SystemPortList() {
    {
        std::lock_guard lock(OverrideLock);
        if (ListOverride) return *ListOverride;
    }
    std::vector<TSystemPort> out;
    for (auto& e : PortMap())
        out.push_back({e.Name + ":", e.Path});
    return out;
}

void SetSystemPortListOverride(std::optional<std::vector<TSystemPort>> ports) {
    std::lock_guard lock(OverrideLock);
    ListOverride = std::move(ports);
}
