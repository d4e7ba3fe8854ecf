#include "platform/profile/PrivateProfile.h"
#include "platform/toolkit/Text.h"

#include "platform/profile/AtomicFile.h"

#include <cerrno>
#include <mutex>
#include <vector>

namespace {

struct TIniLine {
    std::string_view Text; // without its line end
    std::string_view Eol;  // "\n", "\r\n", "\r" or "" for a last line without one
};

enum TLineKind { lkOther, lkSection, lkKey };

struct TParsedLine {
    TLineKind Kind = lkOther;
    std::string_view Name;  // section or key name, trimmed
    std::string_view Value; // key value, trimmed and unquoted
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool IsQuote(char c) {
    return c == '"' || c == '\'';
}

std::vector<TIniLine> SplitLines(std::string_view text) {
    std::vector<TIniLine> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            lines.push_back({text.substr(start, i - start), text.substr(i, 1)});
            start = i + 1;
        } else if (text[i] == '\r') {
            std::size_t len = (i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
            lines.push_back({text.substr(start, i - start), text.substr(i, len)});
            i += len - 1;
            start = i + 1;
        }
    }
    if (start < text.size()) lines.push_back({text.substr(start), std::string_view()});
    return lines;
}

TParsedLine Parse(std::string_view line) {
    TParsedLine p;
    std::string_view t = Trim(line);
    if (t.empty() || t.front() == ';') return p;
    if (t.front() == '[') {
        std::string_view inner = t.substr(1);
        std::size_t close = inner.find(']');
        p.Kind = lkSection;
        p.Name = Trim(close == std::string_view::npos ? inner : inner.substr(0, close));
        return p;
    }
    std::size_t eq = t.find('=');
    if (eq == std::string_view::npos) return p;
    p.Kind = lkKey;
    p.Name = Trim(t.substr(0, eq));
    p.Value = Trim(t.substr(eq + 1));
    if (p.Value.size() >= 2 && IsQuote(p.Value.front()) && p.Value.back() == p.Value.front())
        p.Value = p.Value.substr(1, p.Value.size() - 2);
    return p;
}

bool HasLineBreak(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

// A value that would lose its outer blanks or quotes on reading is written inside one pair of
// quotes, which reading strips again, so every value reads back exactly as written.
std::string EncodeValue(std::string_view value) {
    bool guard =
        !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()) ||
                           (value.size() >= 2 && IsQuote(value.front()) && value.back() == value.front()));
    if (!guard) return std::string(value);
    return "\"" + std::string(value) + "\"";
}

std::mutex& WriteMutex() {
    static std::mutex m;
    return m;
}

} // namespace

std::optional<std::string> IniLookup(std::string_view text, std::string_view section, std::string_view key) {
    section = Trim(section);
    key = Trim(key);
    bool inSection = false;
    for (const TIniLine& line : SplitLines(text)) {
        TParsedLine p = Parse(line.Text);
        if (p.Kind == lkSection)
            inSection = SameText(p.Name, section);
        else if (p.Kind == lkKey && inSection && SameText(p.Name, key))
            return std::string(p.Value);
    }
    return std::nullopt;
}

bool IniHasSection(std::string_view text, std::string_view section) {
    section = Trim(section);
    for (const TIniLine& line : SplitLines(text)) {
        TParsedLine p = Parse(line.Text);
        if (p.Kind == lkSection && SameText(p.Name, section)) return true;
    }
    return false;
}

std::optional<std::string> IniUpdate(std::string_view text, std::string_view section, std::string_view key,
                                     std::string_view value) {
    section = Trim(section);
    key = Trim(key);
    if (section.empty() || key.empty() || HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value) ||
        section.find(']') != std::string_view::npos || key.find('=') != std::string_view::npos ||
        key.front() == '[' || key.front() == ';')
        return std::nullopt;

    std::vector<TIniLine> lines = SplitLines(text);
    std::string_view eol = "\n";
    for (const TIniLine& line : lines)
        if (!line.Eol.empty()) {
            eol = line.Eol;
            break;
        }
    std::string newLine = std::string(key) + "=" + EncodeValue(value);

    // The first matching key anywhere wins; a new key goes after the last non-blank line of the
    // first matching section (later duplicates of the section never receive new keys).
    std::optional<std::size_t> keyLine;
    std::optional<std::size_t> lastEntry;
    bool inSection = false;
    bool inFirstSection = false;
    for (std::size_t i = 0; i < lines.size() && !keyLine; ++i) {
        TParsedLine p = Parse(lines[i].Text);
        if (p.Kind == lkSection) {
            inSection = SameText(p.Name, section);
            inFirstSection = inSection && !lastEntry;
            if (inFirstSection) lastEntry = i;
            continue;
        }
        if (inSection && p.Kind == lkKey && SameText(p.Name, key))
            keyLine = i;
        else if (inFirstSection && !Trim(lines[i].Text).empty())
            lastEntry = i;
    }

    std::string out;
    out.reserve(text.size() + newLine.size() + section.size() + 8);
    if (keyLine) {
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (i == *keyLine) {
                out += std::string(Parse(lines[i].Text).Name) + "=" + EncodeValue(value);
            } else {
                out += lines[i].Text;
            }
            out += lines[i].Eol;
        }
        return out;
    }
    if (lastEntry) {
        for (std::size_t i = 0; i < lines.size(); ++i) {
            out += lines[i].Text;
            if (i == *lastEntry) {
                out += lines[i].Eol.empty() ? eol : lines[i].Eol;
                out += newLine;
                out += eol;
            } else {
                out += lines[i].Eol;
            }
        }
        return out;
    }
    out.assign(text);
    if (!lines.empty()) {
        if (lines.back().Eol.empty()) out += eol;
        if (!Trim(lines.back().Text).empty()) out += eol;
    }
    out += "[" + std::string(section) + "]";
    out += eol;
    out += newLine;
    out += eol;
    return out;
}

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& def, const std::string& file) {
    std::string text;
    if (int err = ReadWholeFile(file, text)) {
        errno = err;
        return def;
    }
    std::optional<std::string> v = IniLookup(text, section, key);
    return v ? *v : def;
}

bool WritePrivateProfileString(const std::string& section, const std::string& key, const std::string& value,
                               const std::string& file) {
    std::lock_guard<std::mutex> lock(WriteMutex());
    std::string text;
    int err = ReadWholeFile(file, text);
    if (err != 0 && err != ENOENT) {
        // Writing now would replace a file whose contents we never saw.
        errno = err;
        return false;
    }
    std::optional<std::string> updated = IniUpdate(text, section, key, value);
    if (!updated) {
        errno = EINVAL;
        return false;
    }
    if (err == 0 && *updated == text) return true;
    if (int werr = WriteFileAtomically(file, *updated)) {
        errno = werr;
        return false;
    }
    return true;
}

bool PrivateProfileSectionExists(const std::string& section, const std::string& file) {
    std::string text;
    if (ReadWholeFile(file, text) != 0) return false;
    return IniHasSection(text, section);
}

bool PrivateProfileKeyExists(const std::string& section, const std::string& key, const std::string& file) {
    std::string text;
    if (ReadWholeFile(file, text) != 0) return false;
    return IniLookup(text, section, key).has_value();
}
