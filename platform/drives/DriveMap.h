#pragma once

// Drive letters on Linux. The directory outline shows "drives" the way its users know them
// ("c:\projects\board"); the drive map says which directory tree each letter stands for.
//
// The map is built, in this order of precedence (the first entry for a letter wins):
//   1. the environment variable TOLVANE_DRIVES ("D=/mnt/data;H=/home/me"),
//   2. the file $XDG_CONFIG_HOME/tolvane/drives.conf (default ~/.config), one "X=path" a line,
//   3. C is "/" unless an entry above names it.
// Roots must be absolute; they are kept in canonical form (symbolic links resolved where the
// directory exists) so the process's current directory can be matched against them. A root that
// does not exist (a disk not mounted) stays in the map; changing to it fails with a clear error.
// Malformed entries are skipped and reported in Problems.
//
// Every function is thread-safe. The map is rebuilt on each call, so an edited file counts at once.

#include "platform/toolkit/Exception.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A refused drive operation: a letter the map does not hold, a path that does not exist, a change
// of directory the system refused.
class EDriveError : public Exception {
  public:
    using Exception::Exception;
};

struct TDriveMapEntry {
    char Letter = 'C';      // 'A' … 'Z'
    std::string Root = "/"; // absolute Linux path, no trailing '/' except for "/" itself
    bool operator==(const TDriveMapEntry&) const = default;
};

struct TDriveMap {
    std::vector<TDriveMapEntry> Entries; // sorted by letter
    std::vector<std::string> Problems;   // one readable line per skipped entry

    // The entry of a letter (either case), or nullptr.
    const TDriveMapEntry* Find(char Letter) const;
};

// Where the map is read from; the defaults are the running process's.
struct TDriveMapSources {
    std::optional<std::string> Environment; // the value of TOLVANE_DRIVES, if set
    std::string ConfigFile;                 // drives.conf path; empty = none
};

TDriveMapSources DriveMapSourcesFromEnvironment();
// $XDG_CONFIG_HOME/tolvane/drives.conf (or under ~/.config); empty when no home directory is known.
std::string DriveConfigPath();

// Parses "X=path" entries separated by Sep (';' for the environment, '\n' for the file). Blanks
// around letters and paths are trimmed; in the file, '#' starts a comment line. Origin names the
// source in problem texts.
void ParseDriveEntries(std::string_view Text, char Sep, const std::string& Origin, TDriveMap& Into);

TDriveMap BuildDriveMap(const TDriveMapSources& Sources);

// The current map: the override when one is set, else built from DriveMapSourcesFromEnvironment().
TDriveMap CurrentDriveMap();

// Replaces the whole map (tests, the gallery's demo drives); nullopt returns to the real sources.
// Roots are canonicalised as for the built map.
void SetDriveMapOverride(std::optional<std::vector<TDriveMapEntry>> Entries);
