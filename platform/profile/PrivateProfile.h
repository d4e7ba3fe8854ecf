#pragma once

// Private-profile (ini) files with the lookup and update rules of the platform the port component
// was designed for: section and key names match without regard to ASCII case, blanks (space, tab)
// around names and values are trimmed, one pair of matching outer quotes is stripped from a value,
// the first occurrence of a key wins, and a write changes exactly one key, leaving every other
// line byte for byte as it was (line endings included). A missing file reads as all defaults.
//
// Every function is thread-safe; writes to files are serialised within the process and replace the
// file atomically, so readers never see half a file.

#include <optional>
#include <string>
#include <string_view>

// The value of key in section, or def when the file, the section or the key does not exist (also
// when the file cannot be read; errno then tells why).
std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& def, const std::string& file);

// Sets one key. An existing key keeps its place; a new key goes after the last entry of the first
// matching section; a new section goes at the end of the file. Returns false with errno set when
// the names or value cannot be represented (EINVAL) or the file cannot be read or written; the file
// is then unchanged.
bool WritePrivateProfileString(const std::string& section, const std::string& key, const std::string& value,
                               const std::string& file);

// Whether the section exists, and whether it holds the key.
bool PrivateProfileSectionExists(const std::string& section, const std::string& file);
bool PrivateProfileKeyExists(const std::string& section, const std::string& key, const std::string& file);

// The same rules over file contents in memory (used by the file functions, and fuzzed directly).
std::optional<std::string> IniLookup(std::string_view text, std::string_view section, std::string_view key);
bool IniHasSection(std::string_view text, std::string_view section);
// Returns the text with the key set, or nullopt when a name or the value cannot be written (a line
// break anywhere, an empty name, "]" in a section, "=" in a key, or a key that would read as a
// section or comment).
std::optional<std::string> IniUpdate(std::string_view text, std::string_view section, std::string_view key,
                                     std::string_view value);
