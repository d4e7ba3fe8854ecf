#include "platform/profile/AtomicFile.h"
#include "platform/toolkit/Text.h"
#include "platform/profile/Registry.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

struct TRegKeyHandle {
    HKEY Root;
    std::string Path; // normalised: components joined by single backslashes, no outer ones
};

namespace {

bool IsRoot(HKEY key) {
    return key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE;
}

std::string NormalisePath(std::string_view path) {
    std::string out;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('\\', start);
        if (end == std::string_view::npos) end = path.size();
        if (end > start) {
            if (!out.empty()) out += '\\';
            out.append(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return out;
}

// Whether path names the key at or above existing (a parent key exists when a child does).
bool PathCovers(std::string_view existing, std::string_view path) {
    if (path.empty()) return true;
    if (existing.size() < path.size()) return false;
    if (!SameText(existing.substr(0, path.size()), path)) return false;
    return existing.size() == path.size() || existing[path.size()] == '\\';
}

struct TRegEntry {
    bool Raw = true;
    std::string Line; // raw line as read, without its newline
    std::string Name;
    DWORD Type = REG_NONE;
    std::string Data;
};

struct TRegBlock {
    std::string Path; // the first block holds the lines before any key and has no header
    std::vector<TRegEntry> Entries;
};

struct TRegDoc {
    std::vector<TRegBlock> Blocks{TRegBlock{}};

    TRegBlock* Find(std::string_view path) {
        for (std::size_t i = 1; i < Blocks.size(); ++i)
            if (SameText(Blocks[i].Path, path)) return &Blocks[i];
        return nullptr;
    }
    bool Exists(std::string_view path) const {
        if (path.empty()) return true;
        for (std::size_t i = 1; i < Blocks.size(); ++i)
            if (PathCovers(Blocks[i].Path, path)) return true;
        return false;
    }
};

const char* TypeName(DWORD type) {
    switch (type) {
    case REG_SZ:
        return "sz";
    case REG_EXPAND_SZ:
        return "expand_sz";
    case REG_BINARY:
        return "binary";
    case REG_DWORD:
        return "dword";
    default:
        return nullptr;
    }
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Finds the end of a quoted, escaped text starting after its opening quote; npos when unclosed.
std::size_t QuotedEnd(std::string_view s, std::size_t from) {
    for (std::size_t i = from; i < s.size(); ++i) {
        if (s[i] == '\\')
            ++i;
        else if (s[i] == '"')
            return i;
    }
    return std::string_view::npos;
}

bool ParseValueLine(std::string_view line, TRegEntry& e) {
    if (line.empty() || line[0] != '"') return false;
    std::size_t nameEnd = QuotedEnd(line, 1);
    if (nameEnd == std::string_view::npos || nameEnd + 1 >= line.size() || line[nameEnd + 1] != '=')
        return false;
    std::optional<std::string> name = RegUnescape(line.substr(1, nameEnd - 1));
    if (!name) return false;
    std::string_view rest = line.substr(nameEnd + 2);
    std::size_t colon = rest.find(':');
    if (colon == std::string_view::npos) return false;
    std::string_view type = rest.substr(0, colon);
    std::string_view data = rest.substr(colon + 1);
    DWORD t;
    if (type == "sz")
        t = REG_SZ;
    else if (type == "expand_sz")
        t = REG_EXPAND_SZ;
    else if (type == "binary")
        t = REG_BINARY;
    else if (type == "dword")
        t = REG_DWORD;
    else
        return false;
    if (t == REG_DWORD) {
        if (data.size() != 8) return false;
        uint32_t v = 0;
        for (char c : data) {
            int d = HexDigit(c);
            if (d < 0) return false;
            v = (v << 4) | static_cast<uint32_t>(d);
        }
        e.Data.assign({static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                       static_cast<char>((v >> 16) & 0xFF), static_cast<char>((v >> 24) & 0xFF)});
    } else {
        if (data.size() < 2 || data.front() != '"' || QuotedEnd(data, 1) != data.size() - 1) return false;
        std::optional<std::string> text = RegUnescape(data.substr(1, data.size() - 2));
        if (!text) return false;
        e.Data = std::move(*text);
    }
    e.Raw = false;
    e.Name = std::move(*name);
    e.Type = t;
    return true;
}

TRegDoc Parse(std::string_view text) {
    TRegDoc doc;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view raw = text.substr(start, end - start);
        start = end + 1;
        std::string_view line = raw;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            if (std::optional<std::string> path = RegUnescape(line.substr(1, line.size() - 2))) {
                doc.Blocks.push_back(TRegBlock{NormalisePath(*path), {}});
                continue;
            }
        }
        TRegEntry e;
        if (doc.Blocks.size() > 1 && ParseValueLine(line, e)) {
            doc.Blocks.back().Entries.push_back(std::move(e));
            continue;
        }
        TRegEntry rawEntry;
        rawEntry.Line.assign(raw);
        doc.Blocks.back().Entries.push_back(std::move(rawEntry));
    }
    return doc;
}

std::string Serialise(const TRegDoc& doc) {
    std::string out;
    for (std::size_t b = 0; b < doc.Blocks.size(); ++b) {
        const TRegBlock& block = doc.Blocks[b];
        if (b > 0) out += "[" + RegEscape(block.Path) + "]\n";
        for (const TRegEntry& e : block.Entries) {
            if (e.Raw) {
                out += e.Line;
            } else if (e.Type == REG_DWORD) {
                static const char hex[] = "0123456789abcdef";
                uint32_t v = 0;
                for (int i = 3; i >= 0; --i)
                    v = (v << 8) | static_cast<unsigned char>(e.Data[static_cast<std::size_t>(i)]);
                out += "\"" + RegEscape(e.Name) + "\"=dword:";
                for (int shift = 28; shift >= 0; shift -= 4)
                    out += hex[(v >> shift) & 0xF];
            } else {
                out += "\"" + RegEscape(e.Name) + "\"=" + TypeName(e.Type) + ":\"" + RegEscape(e.Data) + "\"";
            }
            out += '\n';
        }
    }
    return out;
}

bool BlankRaw(const TRegEntry& e) {
    if (!e.Raw) return false;
    for (char c : e.Line)
        if (c != ' ' && c != '\t' && c != '\r') return false;
    return true;
}

std::mutex& StoreMutex() {
    static std::mutex m;
    return m;
}

std::optional<std::string>& DirectoryOverride() {
    static std::optional<std::string> dir;
    return dir;
}

std::string DefaultDirectory() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return std::string(xdg) + "/cport/registry";
    const char* home = std::getenv("HOME");
    std::string h = home && home[0] ? home : "";
    if (h.empty()) {
        if (struct passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) h = pw->pw_dir;
    }
    return h.empty() ? std::string() : h + "/.config/cport/registry";
}

// Caller holds StoreMutex.
std::string DirectoryLocked() {
    return DirectoryOverride() ? *DirectoryOverride() : DefaultDirectory();
}

std::string FileLocked(HKEY root) {
    std::string dir = DirectoryLocked();
    if (dir.empty()) return std::string();
    if (root == HKEY_CURRENT_USER) return dir + "/HKEY_CURRENT_USER.reg";
    if (root == HKEY_LOCAL_MACHINE) return dir + "/HKEY_LOCAL_MACHINE.reg";
    return std::string();
}

int MakeDirectories(const std::string& dir) {
    for (std::size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/') continue;
        std::string part = dir.substr(0, pos);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    }
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

// Serialises changes with other processes sharing the directory; held for one read-modify-write.
class TDirLock {
  public:
    explicit TDirLock(const std::string& dir) {
        FFd = ::open((dir + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (FFd >= 0)
            while (::flock(FFd, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~TDirLock() {
        if (FFd >= 0) ::close(FFd);
    }
    TDirLock(const TDirLock&) = delete;
    TDirLock& operator=(const TDirLock&) = delete;

  private:
    int FFd;
};

// Resolves key + subKey to a root and a normalised path.
int Resolve(HKEY key, std::string_view subKey, HKEY& root, std::string& path) {
    if (!key) return EBADF;
    if (IsRoot(key)) {
        root = key;
        path = NormalisePath(subKey);
        return 0;
    }
    root = key->Root;
    path = NormalisePath(key->Path + "\\" + std::string(subKey));
    return 0;
}

int LoadLocked(HKEY root, TRegDoc& doc, std::string& file) {
    file = FileLocked(root);
    if (file.empty()) return ENOENT;
    std::string text;
    int err = ReadWholeFile(file, text);
    if (err != 0 && err != ENOENT) return err;
    doc = Parse(text);
    return 0;
}

// Loads the root's file, applies change and saves when change returns true; errors as errno.
template <class F> int Modify(HKEY root, F change) {
    std::lock_guard<std::mutex> lock(StoreMutex());
    std::string dir = DirectoryLocked();
    if (dir.empty()) return ENOENT;
    if (int err = MakeDirectories(dir)) return err;
    TDirLock dirLock(dir);
    TRegDoc doc;
    std::string file;
    if (int err = LoadLocked(root, doc, file)) return err;
    int result = 0;
    if (!change(doc, result)) return result;
    return WriteFileAtomically(file, Serialise(doc));
}

HKEY NewHandle(HKEY root, std::string path) {
    if (path.empty()) return root;
    return new TRegKeyHandle{root, std::move(path)};
}

} // namespace

std::string RegEscape(std::string_view raw) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(raw.size());
    for (char ch : raw) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c == '\\' || c == '"') {
            out += '\\';
            out += ch;
        } else if (c >= 0x20 && c <= 0x7E) {
            out += ch;
        } else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
    }
    return out;
}

std::optional<std::string> RegUnescape(std::string_view escaped) {
    std::string out;
    out.reserve(escaped.size());
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        char c = escaped[i];
        if (c == '"') return std::nullopt;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (i + 1 >= escaped.size()) return std::nullopt;
        char n = escaped[++i];
        if (n == '\\' || n == '"') {
            out += n;
        } else if (n == 'x' && i + 2 < escaped.size() && HexDigit(escaped[i + 1]) >= 0 &&
                   HexDigit(escaped[i + 2]) >= 0) {
            out += static_cast<char>(HexDigit(escaped[i + 1]) * 16 + HexDigit(escaped[i + 2]));
            i += 2;
        } else {
            return std::nullopt;
        }
    }
    return out;
}

std::string RegNormalise(std::string_view text) {
    return Serialise(Parse(text));
}

std::string RegistryDirectory() {
    std::lock_guard<std::mutex> lock(StoreMutex());
    return DirectoryLocked();
}

void SetRegistryDirectoryOverride(std::optional<std::string> dir) {
    std::lock_guard<std::mutex> lock(StoreMutex());
    DirectoryOverride() = std::move(dir);
}

std::string RegistryFilePath(HKEY root) {
    std::lock_guard<std::mutex> lock(StoreMutex());
    return FileLocked(root);
}

int RegCreateKeyEx(HKEY key, const std::string& subKey, HKEY* result) {
    if (!result) return EINVAL;
    *result = nullptr;
    HKEY root;
    std::string path;
    if (int err = Resolve(key, subKey, root, path)) return err;
    int err = Modify(root, [&](TRegDoc& doc, int&) {
        if (doc.Exists(path)) return false;
        TRegBlock& last = doc.Blocks.back();
        if (!last.Entries.empty() && !BlankRaw(last.Entries.back())) last.Entries.push_back(TRegEntry{});
        doc.Blocks.push_back(TRegBlock{path, {}});
        return true;
    });
    if (err) return err;
    *result = NewHandle(root, path);
    return 0;
}

int RegOpenKeyEx(HKEY key, const std::string& subKey, HKEY* result) {
    if (!result) return EINVAL;
    *result = nullptr;
    HKEY root;
    std::string path;
    if (int err = Resolve(key, subKey, root, path)) return err;
    std::lock_guard<std::mutex> lock(StoreMutex());
    TRegDoc doc;
    std::string file;
    if (int err = LoadLocked(root, doc, file)) return err;
    if (!doc.Exists(path)) return ENOENT;
    *result = NewHandle(root, path);
    return 0;
}

int RegCloseKey(HKEY key) {
    if (!key) return EBADF;
    if (!IsRoot(key)) delete key;
    return 0;
}

int RegQueryValueEx(HKEY key, const std::string& name, DWORD* type, std::string* data) {
    HKEY root;
    std::string path;
    if (int err = Resolve(key, "", root, path)) return err;
    std::lock_guard<std::mutex> lock(StoreMutex());
    TRegDoc doc;
    std::string file;
    if (int err = LoadLocked(root, doc, file)) return err;
    TRegBlock* block = doc.Find(path);
    if (!block) return ENOENT;
    for (const TRegEntry& e : block->Entries)
        if (!e.Raw && SameText(e.Name, name)) {
            if (type) *type = e.Type;
            if (data) *data = e.Data;
            return 0;
        }
    return ENOENT;
}

int RegSetValueEx(HKEY key, const std::string& name, DWORD type, std::string_view data) {
    if (!TypeName(type)) return EINVAL;
    if (type == REG_DWORD && data.size() != 4) return EINVAL;
    if ((type == REG_SZ || type == REG_EXPAND_SZ) && !data.empty() && data.back() == '\0')
        data.remove_suffix(1);
    HKEY root;
    std::string path;
    if (int err = Resolve(key, "", root, path)) return err;
    if (path.empty()) return EINVAL; // values live in keys, not directly below a root
    return Modify(root, [&](TRegDoc& doc, int&) {
        TRegBlock* block = doc.Find(path);
        if (!block) {
            // The key vanished from the file (edited by hand) or exists only as a parent; the
            // value recreates it rather than being dropped.
            TRegBlock& last = doc.Blocks.back();
            if (!last.Entries.empty() && !BlankRaw(last.Entries.back())) last.Entries.push_back(TRegEntry{});
            doc.Blocks.push_back(TRegBlock{path, {}});
            block = &doc.Blocks.back();
        }
        for (TRegEntry& e : block->Entries)
            if (!e.Raw && SameText(e.Name, name)) {
                e.Type = type;
                e.Data.assign(data);
                return true;
            }
        TRegEntry e;
        e.Raw = false;
        e.Name = name;
        e.Type = type;
        e.Data.assign(data);
        std::size_t at = block->Entries.size();
        while (at > 0 && BlankRaw(block->Entries[at - 1]))
            --at;
        block->Entries.insert(block->Entries.begin() + static_cast<std::ptrdiff_t>(at), std::move(e));
        return true;
    });
}

int RegDeleteValue(HKEY key, const std::string& name) {
    HKEY root;
    std::string path;
    if (int err = Resolve(key, "", root, path)) return err;
    return Modify(root, [&](TRegDoc& doc, int& result) {
        TRegBlock* block = doc.Find(path);
        if (block)
            for (auto it = block->Entries.begin(); it != block->Entries.end(); ++it)
                if (!it->Raw && SameText(it->Name, name)) {
                    block->Entries.erase(it);
                    return true;
                }
        result = ENOENT;
        return false;
    });
}
