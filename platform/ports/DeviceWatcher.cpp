#include "platform/ports/DeviceWatcher.h"

#include "platform/ports/DeviceMap.h"
#include "platform/toolkit/Exception.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace fs = std::filesystem;

std::string DefaultDeviceDir() {
    const char* d = std::getenv("CPORT_DEVICE_DIR");
    return d && *d ? std::string(d) : std::string("/dev");
}

std::string ByIdName(const std::string& Path, const std::string& DeviceDir) {
    std::error_code ec;
    const fs::path target = fs::canonical(Path, ec);
    if (ec) return std::string();
    for (fs::directory_iterator it(fs::path(DeviceDir) / "serial" / "by-id", ec), end; !ec && it != end;
         it.increment(ec)) {
        std::error_code e2;
        if (fs::canonical(it->path(), e2) == target && !e2) return it->path().string();
    }
    return std::string();
}

namespace {
constexpr uint32_t kFolderChanges = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;

bool IsCharDevice(const fs::path& p) {
    std::error_code ec;
    return fs::is_character_file(p, ec); // follows links; a dangling link is no device
}
} // namespace

TDeviceWatcher::TDeviceWatcher(std::string DeviceDir, TDeviceNames Names)
    : FDir(std::move(DeviceDir)), FNames(Names) {
    FInotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (FInotify < 0) throw Exception("cannot watch " + FDir + " for devices: " + std::strerror(errno));
    // Creation, removal and renames of entries; a device node or link appears whole.
    if (::inotify_add_watch(FInotify, FDir.c_str(), kFolderChanges) < 0) {
        const int err = errno;
        ::close(FInotify);
        throw Exception("cannot watch " + FDir + " for devices: " + std::strerror(err));
    }
    FWakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (FWakeFd < 0) {
        const int err = errno;
        ::close(FInotify);
        throw Exception("cannot watch " + FDir + " for devices: " + std::strerror(err));
    }
    WatchById();
    FKnown = Scan();
}

void TDeviceWatcher::WatchById() {
    // Best-effort and idempotent: adding a watch that exists returns the same one. The serial
    // folder is watched too, so the by-id folder's creation wakes a Wait.
    const std::string serial = FDir + "/serial";
    ::inotify_add_watch(FInotify, serial.c_str(),
                        IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR);
    ::inotify_add_watch(FInotify, (serial + "/by-id").c_str(),
                        IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR);
}

TDeviceWatcher::~TDeviceWatcher() {
    ::close(FWakeFd);
    ::close(FInotify);
}

void TDeviceWatcher::AddExtra(TExtra Extra) {
    if (std::find(FExtra.begin(), FExtra.end(), Extra) != FExtra.end()) return;
    ::inotify_add_watch(FInotify, Extra.Dir.c_str(), kFolderChanges | IN_ONLYDIR);
    FExtra.push_back(std::move(Extra));
    FKnown = Scan();
}

void TDeviceWatcher::Follow(const std::string& Path) {
    if (Path.empty()) return;
    const fs::path dir = fs::path(Path).parent_path();
    AddExtra({dir.empty() ? std::string(".") : dir.string(), Path});
}

void TDeviceWatcher::AlsoWatch(const std::string& Folder) {
    AddExtra({Folder, std::string()});
}

std::vector<std::string> TDeviceWatcher::Scan() const {
    std::vector<std::string> out;
    auto folder = [&](const std::string& dir, bool anyName) {
        std::error_code ec;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
            if (anyName ? IsCharDevice(it->path()) : IsSerialDeviceName(it->path().filename().string()))
                out.push_back(it->path().string());
    };
    folder(FDir, FNames == dnAllCharDevices);
    for (const TExtra& e : FExtra) {
        if (e.Path.empty())
            folder(e.Dir, true);
        else if (IsCharDevice(e.Path))
            out.push_back(e.Path);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

std::vector<std::string> TDeviceWatcher::Present() const {
    return FKnown;
}

void TDeviceWatcher::Wake() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(FWakeFd, &one, sizeof one);
}

std::vector<TDeviceEvent> TDeviceWatcher::Wait(int TimeoutMs) {
    pollfd fds[2] = {{FInotify, POLLIN, 0}, {FWakeFd, POLLIN, 0}};
    int r;
    do
        r = ::poll(fds, 2, TimeoutMs);
    while (r < 0 && errno == EINTR && TimeoutMs < 0);
    std::vector<TDeviceEvent> events;
    if (r <= 0) return events;
    if (fds[1].revents & POLLIN) {
        uint64_t n;
        [[maybe_unused]] ssize_t got = ::read(FWakeFd, &n, sizeof n);
    }
    if (!(fds[0].revents & POLLIN)) return events;
    // The events themselves only say that the folder changed: what is there now is read again, so
    // a lost event (queue overflow) or a rename can never leave the known set wrong.
    alignas(inotify_event) char buf[4096];
    while (::read(FInotify, buf, sizeof buf) > 0) {
    }
    WatchById();
    std::vector<std::string> now = Scan();
    std::vector<std::string> gone, added;
    std::set_difference(FKnown.begin(), FKnown.end(), now.begin(), now.end(), std::back_inserter(gone));
    std::set_difference(now.begin(), now.end(), FKnown.begin(), FKnown.end(), std::back_inserter(added));
    for (auto& p : gone)
        events.push_back({dcRemoved, std::move(p)});
    for (auto& p : added)
        events.push_back({dcAdded, std::move(p)});
    FKnown = std::move(now);
    return events;
}
