#pragma once

// Paths in drive form ("C:\projects\board") and the process's current drive and directories.
//
// A drive path names directories by the names shown to the user; on Linux names are
// case-sensitive, so a name is mapped back to the disk by exact name first, then without regard to
// case (by a fold the caller gives), the first in sorted order when several differ only in case.
// '\' and '/' both separate names; a Linux name that contains '\' cannot be written in drive form
// and is left out of listings.
//
// The process has one current directory. The functions here also keep, like the platform the
// outline was designed for, a current drive and a current directory per drive: changing to a
// drive returns to the directory last current on it. All of it is process-wide state behind one
// mutex, so every function is thread-safe (the current directory itself is shared by all threads).

#include "platform/drives/DriveMap.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct TDrivePath {
    char Drive = 'C';               // upper-case letter
    std::vector<std::string> Parts; // names below the drive's root; empty for the root
    // "C:\a\b", the root as "C:\".
    std::string Text() const;
    bool operator==(const TDrivePath&) const = default;
};

// How names compare without regard to case: both sides folded, then compared as bytes.
using TNameFold = std::function<std::string(std::string_view)>;
std::string AsciiFold(std::string_view Name);

// A full drive path ("x:\a\b", "X:/a", "x:") with "." and ".." applied (".." at the root stays
// there); nullopt for anything else.
std::optional<TDrivePath> ParseFullDrivePath(std::string_view Path);

// Path made full against the current drive and directories: "x:\a" as is, "x:a" from drive x's
// current directory, "\a" from the current drive's root, "a" from the current directory. Raises
// EDriveError for the empty text, NUL bytes, or a letter that is not A to Z.
TDrivePath ExpandDrivePath(std::string_view Path);

// The name in Names that Name stands for: itself if present, else the smallest (by bytes) of
// those equal to it under Fold; nullopt when none.
std::optional<std::string> MatchName(const std::vector<std::string>& Names, std::string_view Name,
                                     const TNameFold& Fold);

struct TResolvedPath {
    std::string LinuxPath; // absolute
    TDrivePath Real;       // the same path with the names as they are on disk
};
// Maps a drive path to the disk. Raises EDriveError when the drive is not in Map or a name is no
// directory there.
TResolvedPath ResolveDrivePath(const TDrivePath& Path, const TDriveMap& Map, const TNameFold& Fold);

// The Linux path of a drive path whose names are exact; raises EDriveError for an unmapped drive.
std::string LinuxPathOf(const TDrivePath& Path, const TDriveMap& Map);

// The drive path of an absolute, normal Linux path: on Preferred when its root holds the path,
// else on the drive with the longest root that does (the lowest letter on a tie); nullopt when no
// root holds it or a name contains '\'.
std::optional<TDrivePath> DrivePathOf(std::string_view LinuxPath, const TDriveMap& Map, char Preferred = 0);

struct TSubdirectories {
    std::vector<std::string> Names; // in the order the system lists them
    int Error = 0;                  // errno when the directory could not be listed (Names empty)
};
// The subdirectories of a directory (symbolic links to directories count), leaving out names that
// begin with '.' and names containing '\'.
TSubdirectories ListSubdirectories(const std::string& LinuxPath);

// The process's current directory in drive form with the names as on disk; the empty text when it
// cannot be read or lies on no drive. Remembers it as its drive's current directory.
std::string GetCurrentDir();
// Makes Path (full, or expanded as by ExpandDrivePath) the current directory and its drive the
// current drive. Raises EDriveError when it does not resolve or the system refuses; then nothing
// changes. Returns the path as resolved.
TResolvedPath SetCurrentDir(std::string_view Path, const TNameFold& Fold = AsciiFold);
// Makes Letter the current drive: changes to the directory last current on it, or to its root when
// there is none or it has gone. Raises EDriveError for a letter the map does not hold or a root the
// system refuses.
void SetCurrentDrive(char Letter);
// The current drive: the one last set, or the drive holding the current directory; 0 when none.
char CurrentDrive();
// Forgets the current drive and every drive's current directory (tests).
void ResetDriveDirectories();
