#include "app/engine/PortReport.h"

#include "cport/ComTypes.h"
#include "platform/ports/DeviceMap.h"
#include "platform/profile/AtomicFile.h"
#include "platform/profile/IniFiles.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

TSettingsCheck CheckSettingsFile(const std::string& File, const std::string& Section) {
    TSettingsCheck r;
    std::string text;
    const int err = ReadWholeFile(File, text);
    if (err == ENOENT) return r; // no file yet: the defaults apply, as the file format says
    if (err != 0) {
        r.Problem = spUnreadable;
        r.Message = "cannot read the settings file \"" + File +
                    "\": " + (err == EINVAL ? std::string("not a regular file") : std::strerror(err));
        return r;
    }
    TIniFile ini(File);
    // A marker no port name can be, so a missing key is told apart from an empty value.
    const std::string missing("\x01");
    const std::string port = ini.ReadString(Section, "Port", missing);
    if (port != missing && !IsPortName(port)) {
        r.Problem = spBadPort;
        r.Message = "the settings file \"" + File + "\" names no port: [" + Section + "] Port=" + port +
                    " (a port is COM1 to COM16)";
    }
    return r;
}

namespace {

bool Exists(const std::string& Path) {
    struct stat st {};
    return ::stat(Path.c_str(), &st) == 0;
}

std::string Reason(const EComPort& E, const std::string& Path) {
    switch (E.WinCode()) {
    case 1167: // ERROR_DEVICE_NOT_CONNECTED
        return "the device was removed";
    case 2: // ERROR_FILE_NOT_FOUND: at open also a file that is no terminal
        if (Path.empty()) return "no device is mapped to this port (see tolvane-flash --list-ports)";
        return Exists(Path) ? "not a serial device" : "no such device";
    case 5: // ERROR_ACCESS_DENIED: no permission, or another opener holds the device
        if (!Path.empty() && ::access(Path.c_str(), R_OK | W_OK) != 0 && errno == EACCES)
            return "permission denied: serial devices belong to the group dialout";
        return E.Code() == ErrOpenPort ? "device is busy: another program has it open" : "access denied";
    case 87: // ERROR_INVALID_PARAMETER
        return "the device refused the settings";
    case 31: // ERROR_GEN_FAILURE
        return "the device reported an I/O error";
    default:
        return std::string();
    }
}

} // namespace

std::string DescribePortProblem(const std::string& PortName, const Exception& E) {
    const std::string path = ResolvePortName(PortName).value_or(std::string());
    std::string line = PortName + (path.empty() ? std::string(" (no device mapped)") : " (" + path + ")");
    if (const auto* port = dynamic_cast<const EComPort*>(&E)) {
        const std::string why = Reason(*port, path);
        if (!why.empty()) line += ": " + why;
    }
    return line;
}

std::string DescribePortProblem(const std::string& PortName, int Code, int WinCode) {
    if (WinCode < 0) return DescribePortProblem(PortName, Exception(std::string()));
    return DescribePortProblem(PortName, EComPort(Code, WinCode));
}
