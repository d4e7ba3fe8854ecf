#pragma once

#include <string>
#include <string_view>

// Small pieces every per-user configuration file of the platform layer needs (the drive map's
// drives.conf, and any later one), so they read and locate their files alike.

// $XDG_CONFIG_HOME, or ~/.config when it is unset, empty or relative; empty when no home directory
// is known (no HOME and no password entry).
std::string UserConfigDir();

// Blanks (spaces, tabs, CR, LF …) removed from both ends.
std::string_view TrimBlanks(std::string_view Text);

// Printable form of a configuration entry for problem texts: control bytes as \xHH, so a stray
// byte cannot garble the message.
std::string ShownEntry(std::string_view Text);

// Reads a small configuration file whole. A missing file is no problem (false, Problem empty);
// a directory, FIFO or device in its place, or a read error, gives false and a readable Problem.
bool ReadConfigFile(const std::string& Path, std::string& Text, std::string& Problem);
