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

// Which entries of the device folder count as serial devices: the names of the serial families
// (ttyS, ttyUSB, ttyACM, ttyAMA followed by a number), or every character device whatever its name
// (for a caller that narrows them itself, such as a glob the user gave).
enum TDeviceNames : uint8_t { dnSerialFamilies, dnAllCharDevices };

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
    explicit TDeviceWatcher(std::string DeviceDir = DefaultDeviceDir(),
                            TDeviceNames Names = dnSerialFamilies);
    ~TDeviceWatcher();
    TDeviceWatcher(const TDeviceWatcher&) = delete;
    TDeviceWatcher& operator=(const TDeviceWatcher&) = delete;

    const std::string& DeviceDir() const { return FDir; }
    // Also reports Path itself, as given, whenever it names a character device (a link is
    // followed): any name in any folder, such as a udev SYMLINK, /dev/rfcomm0 or a link in a
    // temporary folder. Its folder is watched from now on (best-effort: a folder that cannot be
    // watched wakes nobody).
    void Follow(const std::string& Path);
    // Also reports every character device in Folder.
    void AlsoWatch(const std::string& Folder);
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

    struct TExtra {
        std::string Dir;  // the folder watched
        std::string Path; // one path in it, as given; empty: every character device there
        bool operator==(const TExtra&) const = default;
    };
    void AddExtra(TExtra Extra);

    std::string FDir;
    TDeviceNames FNames;
    std::vector<TExtra> FExtra;
    int FInotify = -1;
    int FWakeFd = -1;
    std::vector<std::string> FKnown;
};
