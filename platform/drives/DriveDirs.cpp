#include "platform/drives/DriveDirs.h"

#include "platform/toolkit/Text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <map>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct TDriveState {
    std::mutex Lock;
    char Current = 0;
    std::map<char, TDrivePath> Dirs;
};

TDriveState& State() {
    static TDriveState s;
    return s;
}

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// Appends the names of Rel to Parts, applying "." and ".." and skipping empty names.
void AppendParts(std::vector<std::string>& Parts, std::string_view Rel) {
    while (!Rel.empty()) {
        size_t cut = 0;
        while (cut < Rel.size() && !IsSeparator(Rel[cut]))
            ++cut;
        std::string_view name = Rel.substr(0, cut);
        Rel.remove_prefix(std::min(Rel.size(), cut + 1));
        if (name.empty() || name == ".") continue;
        if (name == "..") {
            if (!Parts.empty()) Parts.pop_back();
            continue;
        }
        Parts.emplace_back(name);
    }
}

char DriveLetter(char c) {
    c = UpperAscii(c);
    return c >= 'A' && c <= 'Z' ? c : 0;
}

std::string JoinLinux(const std::string& Root, const std::vector<std::string>& Parts) {
    std::string out = Root;
    for (auto& p : Parts) {
        if (out.empty() || out.back() != '/') out += '/';
        out += p;
    }
    return out;
}

bool IsDirectory(const std::string& Path) {
    struct stat st {};
    return ::stat(Path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

struct TDirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};

// Every name in a directory but "." and ".."; Error is errno when it cannot be listed.
std::vector<std::string> AllNames(const std::string& Path, int& Error) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, TDirCloser> dir(::opendir(Path.c_str()));
    if (!dir) {
        Error = errno;
        return names;
    }
    Error = 0;
    for (;;) {
        errno = 0;
        const dirent* e = ::readdir(dir.get());
        if (!e) {
            Error = errno;
            break;
        }
        std::string_view n = e->d_name;
        if (n != "." && n != "..") names.emplace_back(n);
    }
    return names;
}

std::string CwdText() {
    std::string buf(256, '\0');
    while (buf.size() <= (std::size_t{1} << 20)) {
        if (::getcwd(buf.data(), buf.size())) return buf.c_str();
        if (errno != ERANGE) return {};
        buf.assign(buf.size() * 2, '\0');
    }
    return {};
}

// The current directory in drive form (remembered for its drive), or nullopt. Lock held.
std::optional<TDrivePath> CurrentDirLocked(TDriveState& S, const TDriveMap& Map) {
    std::string cwd = CwdText();
    if (cwd.empty()) return std::nullopt;
    auto p = DrivePathOf(cwd, Map, S.Current);
    if (!p) return std::nullopt;
    S.Current = p->Drive;
    S.Dirs[p->Drive] = *p;
    return p;
}

TDrivePath ExpandLocked(TDriveState& S, const TDriveMap& Map, std::string_view Path) {
    if (Path.empty()) throw EDriveError("An empty path names no directory");
    if (Path.find('\0') != std::string_view::npos) throw EDriveError("A path must not contain a NUL byte");
    std::optional<TDrivePath> cur = CurrentDirLocked(S, Map);
    TDrivePath base = cur ? *cur : TDrivePath{S.Current ? S.Current : 'C', {}};
    if (Path.size() >= 2 && Path[1] == ':') {
        char l = DriveLetter(Path[0]);
        if (!l)
            throw EDriveError("\"" + std::string(Path.substr(0, 2)) +
                              "\" is not a drive: drives are A: to Z:");
        if (l != base.Drive) {
            auto it = S.Dirs.find(l);
            base = it != S.Dirs.end() ? it->second : TDrivePath{l, {}};
        }
        Path.remove_prefix(2);
        if (!Path.empty() && IsSeparator(Path[0])) base.Parts.clear();
    } else if (IsSeparator(Path[0])) {
        base.Parts.clear();
    }
    AppendParts(base.Parts, Path);
    return base;
}

} // namespace

std::string TDrivePath::Text() const {
    std::string out{Drive, ':', '\\'};
    for (size_t i = 0; i < Parts.size(); ++i) {
        if (i) out += '\\';
        out += Parts[i];
    }
    return out;
}

std::string AsciiFold(std::string_view Name) {
    std::string out(Name);
    for (char& c : out)
        c = LowerAscii(c);
    return out;
}

std::optional<TDrivePath> ParseFullDrivePath(std::string_view Path) {
    if (Path.size() < 2 || Path[1] != ':' || !DriveLetter(Path[0])) return std::nullopt;
    if (Path.size() > 2 && !IsSeparator(Path[2])) return std::nullopt;
    TDrivePath p{DriveLetter(Path[0]), {}};
    AppendParts(p.Parts, Path.substr(2));
    return p;
}

TDrivePath ExpandDrivePath(std::string_view Path) {
    TDriveMap map = CurrentDriveMap();
    TDriveState& s = State();
    std::lock_guard lock(s.Lock);
    return ExpandLocked(s, map, Path);
}

std::optional<std::string> MatchName(const std::vector<std::string>& Names, std::string_view Name,
                                     const TNameFold& Fold) {
    if (std::find(Names.begin(), Names.end(), Name) != Names.end()) return std::string(Name);
    std::string folded = Fold(Name);
    std::optional<std::string> best;
    for (auto& n : Names)
        if ((!best || n < *best) && Fold(n) == folded) best = n;
    return best;
}

TResolvedPath ResolveDrivePath(const TDrivePath& Path, const TDriveMap& Map, const TNameFold& Fold) {
    const TDriveMapEntry* e = Map.Find(Path.Drive);
    if (!e) throw EDriveError("Drive " + std::string(1, Path.Drive) + ": is not in the drive map");
    TResolvedPath r{e->Root, {e->Letter, {}}};
    for (auto& part : Path.Parts) {
        std::string exact = JoinLinux(r.LinuxPath, {part});
        std::optional<std::string> name;
        if (IsDirectory(exact)) {
            name = part;
        } else {
            int error = 0;
            std::vector<std::string> dirs;
            std::string folded = Fold(part);
            for (auto& n : AllNames(r.LinuxPath, error))
                if (Fold(n) == folded && IsDirectory(JoinLinux(r.LinuxPath, {n}))) dirs.push_back(n);
            name = MatchName(dirs, part, Fold);
        }
        if (!name) throw EDriveError("The directory " + Path.Text() + " does not exist");
        r.LinuxPath = JoinLinux(r.LinuxPath, {*name});
        r.Real.Parts.push_back(*name);
    }
    return r;
}

std::string LinuxPathOf(const TDrivePath& Path, const TDriveMap& Map) {
    const TDriveMapEntry* e = Map.Find(Path.Drive);
    if (!e) throw EDriveError("Drive " + std::string(1, Path.Drive) + ": is not in the drive map");
    return JoinLinux(e->Root, Path.Parts);
}

std::optional<TDrivePath> DrivePathOf(std::string_view LinuxPath, const TDriveMap& Map, char Preferred) {
    if (LinuxPath.empty() || LinuxPath[0] != '/') return std::nullopt;
    auto holds = [LinuxPath](const std::string& Root) {
        if (Root == "/") return true;
        return LinuxPath.substr(0, Root.size()) == Root &&
               (LinuxPath.size() == Root.size() || LinuxPath[Root.size()] == '/');
    };
    const TDriveMapEntry* best = Preferred ? Map.Find(Preferred) : nullptr;
    if (best && !holds(best->Root)) best = nullptr;
    // Entries are sorted by letter, so of equal roots the lowest letter stays.
    if (!best)
        for (auto& e : Map.Entries)
            if (holds(e.Root) && (!best || e.Root.size() > best->Root.size())) best = &e;
    if (!best) return std::nullopt;
    TDrivePath p{best->Letter, {}};
    std::string_view rest = LinuxPath.substr(best->Root == "/" ? 0 : best->Root.size());
    if (rest.find('\\') != std::string_view::npos) return std::nullopt;
    AppendParts(p.Parts, rest);
    return p;
}

TSubdirectories ListSubdirectories(const std::string& LinuxPath) {
    TSubdirectories out;
    for (auto& n : AllNames(LinuxPath, out.Error))
        if (n[0] != '.' && n.find('\\') == std::string::npos && IsDirectory(JoinLinux(LinuxPath, {n})))
            out.Names.push_back(n);
    if (out.Error) out.Names.clear();
    return out;
}

std::string GetCurrentDir() {
    TDriveMap map = CurrentDriveMap();
    TDriveState& s = State();
    std::lock_guard lock(s.Lock);
    auto p = CurrentDirLocked(s, map);
    return p ? p->Text() : std::string{};
}

TResolvedPath SetCurrentDir(std::string_view Path, const TNameFold& Fold) {
    TDriveMap map = CurrentDriveMap();
    TDriveState& s = State();
    std::lock_guard lock(s.Lock);
    TDrivePath full = ExpandLocked(s, map, Path);
    TResolvedPath r = ResolveDrivePath(full, map, Fold);
    if (::chdir(r.LinuxPath.c_str()) != 0)
        throw EDriveError("Cannot change to the directory " + r.Real.Text() + ": " + std::strerror(errno));
    s.Current = r.Real.Drive;
    s.Dirs[r.Real.Drive] = r.Real;
    return r;
}

void SetCurrentDrive(char Letter) {
    TDriveMap map = CurrentDriveMap();
    const char l = DriveLetter(Letter);
    const TDriveMapEntry* e = map.Find(l);
    if (!l || !e) throw EDriveError("Drive " + std::string(1, Letter) + ": is not in the drive map");
    TDriveState& s = State();
    std::lock_guard lock(s.Lock);
    auto it = s.Dirs.find(l);
    if (it != s.Dirs.end() && ::chdir(LinuxPathOf(it->second, map).c_str()) == 0) {
        s.Current = l;
        return;
    }
    if (::chdir(e->Root.c_str()) != 0)
        throw EDriveError("Cannot change to drive " + std::string(1, l) + ": (" + e->Root +
                          "): " + std::strerror(errno));
    s.Current = l;
    s.Dirs[l] = TDrivePath{l, {}};
}

char CurrentDrive() {
    TDriveMap map = CurrentDriveMap();
    TDriveState& s = State();
    std::lock_guard lock(s.Lock);
    CurrentDirLocked(s, map);
    return s.Current;
}

void ResetDriveDirectories() {
    TDriveState& s = State();
    std::lock_guard lock(s.Lock);
    s.Current = 0;
    s.Dirs.clear();
}
