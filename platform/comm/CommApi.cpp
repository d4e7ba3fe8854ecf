#include "platform/comm/CommPort.h"
#include "platform/comm/NetBackend.h"
#include "platform/comm/TtyBackend.h"
#include "platform/comm/VirtualDevice.h"
#include "platform/ports/DeviceMap.h"
#include "platform/ports/NetPortName.h"

#include <string>
#include <string_view>

namespace {

constexpr std::string_view kDevicePrefix = "\\\\.\\";
constexpr std::string_view kVirtualPrefix = "virtual:";

BOOL Result(DWORD r) {
    if (r == ERROR_SUCCESS) return TRUE;
    SetLastError(r);
    return FALSE;
}

template <class F> BOOL WithPort(HANDLE h, F f) {
    auto port = LookupHandleAs<TCommPort>(h);
    if (!port) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return Result(f(*port));
}

HANDLE Fail(DWORD code) {
    SetLastError(code);
    return INVALID_HANDLE_VALUE;
}

thread_local std::string gOpenErrorText;

// A device path to a backend: "virtual:NAME", a network port name, or a tty path.
std::unique_ptr<TLineBackend> OpenPath(const std::string& path, DWORD* error) {
    if (IsNetPortName(path)) {
        std::string why;
        auto name = ParseNetPortName(path, &why);
        if (!name) {
            *error = ERROR_INVALID_NAME;
            gOpenErrorText = path + ": " + why;
            return nullptr;
        }
        return TNetBackend::Open(*name, error, &gOpenErrorText);
    }
    if (path.starts_with(kVirtualPrefix)) {
        auto device = TVirtualDevice::Find(std::string_view(path).substr(kVirtualPrefix.size()));
        if (!device) {
            *error = ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        return OpenVirtualBackend(device, error);
    }
    return TTtyBackend::Open(path, error);
}

} // namespace

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, void* security, DWORD creation, DWORD flags,
                   HANDLE templ) {
    (void)security;
    (void)flags; // overlapped or not, every call works; ov == nullptr blocks
    gOpenErrorText.clear();
    if (!name || !*name) return Fail(ERROR_FILE_NOT_FOUND);
    // A communications device is opened whole, exclusively, and must already exist.
    if ((access & (GENERIC_READ | GENERIC_WRITE)) == 0 || share != 0 || creation != OPEN_EXISTING ||
        templ != nullptr)
        return Fail(ERROR_INVALID_PARAMETER);

    std::string_view text(name);
    std::unique_ptr<TLineBackend> backend;
    DWORD error = ERROR_FILE_NOT_FOUND;
    if (text.starts_with(kDevicePrefix)) {
        std::string_view port = text.substr(kDevicePrefix.size());
        if (auto device = TVirtualDevice::Find(port)) {
            backend = OpenVirtualBackend(device, &error);
        } else if (IsNetPortName(port)) {
            backend = OpenPath(std::string(port), &error);
        } else if (auto path = ResolvePortName(port)) {
            backend = OpenPath(*path, &error);
        }
    } else {
        backend = OpenPath(std::string(text), &error);
    }
    if (!backend) return Fail(error);

    auto port = std::make_shared<TCommPort>(std::move(backend));
    if (DWORD r = port->Start()) return Fail(r);
    SetLastError(ERROR_SUCCESS);
    return InsertHandle(std::move(port));
}

std::string CommOpenErrorText() {
    return gOpenErrorText;
}

BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue) {
    return WithPort(h, [&](TCommPort& p) { return p.SetupComm(inQueue, outQueue); });
}

BOOL GetCommState(HANDLE h, DCB* dcb) {
    return WithPort(h, [&](TCommPort& p) { return p.GetCommState(dcb); });
}

BOOL SetCommState(HANDLE h, const DCB* dcb) {
    return WithPort(h, [&](TCommPort& p) { return dcb ? p.SetCommState(*dcb) : ERROR_INVALID_PARAMETER; });
}

BOOL GetCommTimeouts(HANDLE h, COMMTIMEOUTS* t) {
    return WithPort(h, [&](TCommPort& p) { return p.GetCommTimeouts(t); });
}

BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS* t) {
    return WithPort(h, [&](TCommPort& p) { return t ? p.SetCommTimeouts(*t) : ERROR_INVALID_PARAMETER; });
}

BOOL GetCommMask(HANDLE h, DWORD* mask) {
    return WithPort(h, [&](TCommPort& p) { return p.GetCommMask(mask); });
}

BOOL SetCommMask(HANDLE h, DWORD mask) {
    return WithPort(h, [&](TCommPort& p) { return p.SetCommMask(mask); });
}

BOOL WaitCommEvent(HANDLE h, DWORD* mask, OVERLAPPED* ov) {
    return WithPort(h, [&](TCommPort& p) { return p.WaitCommEvent(mask, ov); });
}

BOOL ReadFile(HANDLE h, void* buf, DWORD count, DWORD* done, OVERLAPPED* ov) {
    return WithPort(h, [&](TCommPort& p) { return p.ReadFile(buf, count, done, ov); });
}

BOOL WriteFile(HANDLE h, const void* buf, DWORD count, DWORD* done, OVERLAPPED* ov) {
    return WithPort(h, [&](TCommPort& p) { return p.WriteFile(buf, count, done, ov); });
}

BOOL GetOverlappedResult(HANDLE h, OVERLAPPED* ov, DWORD* done, BOOL wait) {
    return WithPort(h, [&](TCommPort& p) { return p.GetOverlappedResult(ov, done, wait != FALSE); });
}

BOOL PurgeComm(HANDLE h, DWORD flags) {
    return WithPort(h, [&](TCommPort& p) { return p.PurgeComm(flags); });
}

BOOL ClearCommError(HANDLE h, DWORD* errors, COMSTAT* stat) {
    return WithPort(h, [&](TCommPort& p) { return p.ClearCommError(errors, stat); });
}

BOOL GetCommModemStatus(HANDLE h, DWORD* status) {
    return WithPort(h, [&](TCommPort& p) { return p.GetCommModemStatus(status); });
}

BOOL EscapeCommFunction(HANDLE h, DWORD func) {
    return WithPort(h, [&](TCommPort& p) { return p.EscapeCommFunction(func); });
}

BOOL TransmitCommChar(HANDLE h, char c) {
    return WithPort(h, [&](TCommPort& p) { return p.TransmitCommChar(c); });
}
