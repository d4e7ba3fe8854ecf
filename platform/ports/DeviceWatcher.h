#pragma once

// Tells when serial devices appear in and disappear from the device folder (/dev), without
// polling: the folder is watched with inotify and read again only when it changed. The flasher's
// watch mode and the terminal's reconnect use it. Any thread may own a watcher; Wake may be called
// from any thread or a signal handler.
//
// CPORT_DEVICE_DIR names another device folder (tests point it at a temporary folder of links to
// pseudo-terminals); the by-id folder is <device folder>/serial/by-id.

#include <cstdint>
#include <string>
#include <vector>

enum TDeviceChange : uint8_t { dcAdded, dcRemoved };

struct TDeviceEvent {
    TDeviceChange Change;
    std::string Path; // "/dev/ttyUSB0"
};

// $CPORT_DEVICE_DIR when set and not empty, else "/dev".
std::string DefaultDeviceDir();

// The /dev/serial/by-id/ link that names the device at Path (under DeviceDir), or the empty text.
// Links are made by udev a little after the device node itself.
std::string ByIdName(const std::string& Path, const std::string& DeviceDir = DefaultDeviceDir());

class TDeviceWatcher {
  public:
    // Starts watching DeviceDir; raises Exception with the system's reason when it cannot.
    explicit TDeviceWatcher(std::string DeviceDir = DefaultDeviceDir());
    ~TDeviceWatcher();
    TDeviceWatcher(const TDeviceWatcher&) = delete;
    TDeviceWatcher& operator=(const TDeviceWatcher&) = delete;

    const std::string& DeviceDir() const { return FDir; }
    // The serial devices present when the watcher started or at the last Wait, sorted.
    std::vector<std::string> Present() const;
    // Waits up to TimeoutMs (-1: for ever) for devices to come or go and returns the changes, in
    // path order, removals first. Empty on time-out, on Wake, and when only by-id links changed
    // (they come a moment after their device: a caller waiting for a by-id name asks ByIdName again).
    std::vector<TDeviceEvent> Wait(int TimeoutMs);
    // Ends a Wait early. Async-signal-safe.
    void Wake();
    // Readable when changes may be waiting, for an event loop; then call Wait(0).
    int Fd() const { return FInotify; }

  private:
    std::vector<std::string> Scan() const;
    // Watches the by-id folder once it exists (udev makes it with the first such device).
    void WatchById();

    std::string FDir;
    int FInotify = -1;
    int FWakeFd = -1;
    std::vector<std::string> FKnown;
};
