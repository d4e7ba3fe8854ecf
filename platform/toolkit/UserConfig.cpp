#include "platform/toolkit/UserConfig.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

std::string UserConfigDir() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return xdg;
    const char* home = std::getenv("HOME");
    std::string h = home && home[0] ? home : "";
    if (h.empty()) {
        if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) h = pw->pw_dir;
    }
    if (h.empty()) return {};
    return (fs::path(h) / ".config").string();
}

std::string_view TrimBlanks(std::string_view Text) {
    while (!Text.empty() && std::isspace(static_cast<unsigned char>(Text.front())))
        Text.remove_prefix(1);
    while (!Text.empty() && std::isspace(static_cast<unsigned char>(Text.back())))
        Text.remove_suffix(1);
    return Text;
}

std::string ShownEntry(std::string_view Text) {
    std::string out;
    for (char c : Text) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", u);
            out += buf;
        } else {
            out += c;
        }
    }
    return out;
}

bool ReadConfigFile(const std::string& Path, std::string& Text, std::string& Problem) {
    Problem.clear();
    std::error_code ec;
    if (!fs::exists(Path, ec)) return false;
    // Only a regular file: a FIFO or a device in its place would block the open.
    if (!fs::is_regular_file(Path, ec)) {
        Problem = Path + ": not a regular file; ignored";
        return false;
    }
    std::ifstream in(Path, std::ios::binary);
    std::ostringstream s;
    if (in) s << in.rdbuf();
    if (!in || in.bad()) {
        Problem = Path + ": cannot be read: " + std::strerror(errno);
        return false;
    }
    Text = s.str();
    return true;
}
