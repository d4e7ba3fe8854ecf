#include "platform/drives/DriveMap.h"

#include "platform/toolkit/UserConfig.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <mutex>

namespace fs = std::filesystem;

namespace {

std::mutex OverrideLock;
std::optional<std::vector<TDriveMapEntry>> MapOverride;

char UpperLetter(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Lexically normal, symbolic links resolved where the path exists, no trailing '/'.
std::string CanonicalRoot(const std::string& Root) {
    std::error_code ec;
    fs::path p = fs::weakly_canonical(fs::path(Root), ec);
    if (ec) p = fs::path(Root).lexically_normal();
    std::string s = p.string();
    while (s.size() > 1 && s.back() == '/')
        s.pop_back();
    return s;
}

void Canonicalise(std::vector<TDriveMapEntry>& Entries) {
    for (auto& e : Entries) {
        e.Letter = UpperLetter(e.Letter);
        e.Root = CanonicalRoot(e.Root);
    }
    std::sort(Entries.begin(), Entries.end(),
              [](const TDriveMapEntry& a, const TDriveMapEntry& b) { return a.Letter < b.Letter; });
}

} // namespace

const TDriveMapEntry* TDriveMap::Find(char Letter) const {
    Letter = UpperLetter(Letter);
    for (auto& e : Entries)
        if (e.Letter == Letter) return &e;
    return nullptr;
}

void ParseDriveEntries(std::string_view Text, char Sep, const std::string& Origin, TDriveMap& Into) {
    int line = 0;
    while (!Text.empty()) {
        ++line;
        size_t cut = Text.find(Sep);
        std::string_view item = TrimBlanks(Text.substr(0, cut));
        Text = cut == std::string_view::npos ? std::string_view{} : Text.substr(cut + 1);
        if (item.empty() || (Sep == '\n' && item.front() == '#')) continue;
        std::string where = Origin + (Sep == '\n' ? " line " : " entry ") + std::to_string(line);
        size_t eq = item.find('=');
        if (eq == std::string_view::npos) {
            Into.Problems.push_back(where + ": expected X=path, got \"" + ShownEntry(item) + "\"");
            continue;
        }
        std::string_view letter = TrimBlanks(item.substr(0, eq));
        std::string_view path = TrimBlanks(item.substr(eq + 1));
        char l = letter.size() == 1 ? UpperLetter(letter[0]) : 0;
        if (l < 'A' || l > 'Z') {
            Into.Problems.push_back(where + ": \"" + ShownEntry(letter) + "\" is not a drive letter A to Z");
        } else if (path.empty() || path.front() != '/') {
            Into.Problems.push_back(where + ": the root of drive " + std::string(1, l) +
                                    " must be an absolute path, got \"" + ShownEntry(path) + "\"");
        } else if (path.find('\0') != std::string_view::npos) {
            Into.Problems.push_back(where + ": the root of drive " + std::string(1, l) +
                                    " contains a NUL byte");
        } else if (Into.Find(l)) {
            Into.Problems.push_back(where + ": drive " + std::string(1, l) +
                                    " is already mapped; entry ignored");
        } else {
            Into.Entries.push_back({l, std::string(path)});
        }
    }
}

TDriveMap BuildDriveMap(const TDriveMapSources& Sources) {
    TDriveMap map;
    if (Sources.Environment) ParseDriveEntries(*Sources.Environment, ';', "TOLVANE_DRIVES", map);
    if (!Sources.ConfigFile.empty()) {
        std::string text, problem;
        if (ReadConfigFile(Sources.ConfigFile, text, problem))
            ParseDriveEntries(text, '\n', Sources.ConfigFile, map);
        else if (!problem.empty())
            map.Problems.push_back(problem);
    }
    if (!map.Find('C')) map.Entries.push_back({'C', "/"});
    Canonicalise(map.Entries);
    return map;
}

std::string DriveConfigPath() {
    std::string base = UserConfigDir();
    if (base.empty()) return {};
    return (fs::path(base) / "tolvane" / "drives.conf").string();
}

TDriveMapSources DriveMapSourcesFromEnvironment() {
    TDriveMapSources s;
    if (const char* env = std::getenv("TOLVANE_DRIVES")) s.Environment = env;
    s.ConfigFile = DriveConfigPath();
    return s;
}

TDriveMap CurrentDriveMap() {
    {
        std::lock_guard lock(OverrideLock);
        if (MapOverride) return TDriveMap{*MapOverride, {}};
    }
    return BuildDriveMap(DriveMapSourcesFromEnvironment());
}

void SetDriveMapOverride(std::optional<std::vector<TDriveMapEntry>> Entries) {
    if (Entries) Canonicalise(*Entries);
    std::lock_guard lock(OverrideLock);
    MapOverride = std::move(Entries);
}
