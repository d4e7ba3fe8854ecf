#pragma once

// Reopens a port by itself when the device it lost comes back: the same device path (watched in
// its own folder under the name it was given, whatever the name), or the same
// /dev/serial/by-id/ name at another path (a USB adapter that got a new ttyUSB number). It hears of
// the removal through the port's link notice and of the return through the device watcher, so
// nothing polls while nothing happens. A terminal or any other program keeps its port this way.
//
// A network port (rfc2217://, socket://) has no device folder to watch: after a lost connection
// the server is tried again after 0.25 s, then at doubling intervals up to 5 s (RetryInMs says
// when; nothing runs while connected). Each try first connects on a thread of its own, so a slow
// or silent server never blocks the owner; only when that probe connects is the port reopened
// (on the owner thread: a server that accepts and then never negotiates holds it for the open's
// negotiation limit, at most 4 s).
//
// Threads: made, used and destroyed on the thread that owns the port (opens and closes it). The
// removal notice may arrive on the port's event thread; it is handed to the owner thread and takes
// effect when that thread serves its queued work (its event loop, or ProcessMessages).

#include "cport/ComLink.h"
#include "platform/ports/DeviceWatcher.h"
#include "platform/toolkit/Handoff.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

class TCustomComPort;

enum TReconnectState : uint8_t {
    rsConnected,    // the port is open on its device
    rsDisconnected, // the device went away; waiting for it to come back
    rsStopped,      // not following (never opened, closed by its owner, or turned off)
};

class TComReconnect {
  public:
    // Follows Port; DeviceDir is the device folder to watch (tests give a temporary one).
    explicit TComReconnect(TCustomComPort& Port, std::string DeviceDir = DefaultDeviceDir());
    ~TComReconnect();
    TComReconnect(const TComReconnect&) = delete;
    TComReconnect& operator=(const TComReconnect&) = delete;

    // The owner opened the port (or reopened it on another device): its device is the one to wait
    // for from now on.
    void Opened();
    // The owner closed the port on purpose: nothing is reopened.
    void Stopped();

    // Reopening on return; on by default. Turning it off while disconnected stops waiting.
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value);

    TReconnectState State() const { return FState; }
    const std::string& DevicePath() const { return FPath; } // the device the port was open on
    const std::string& ById() const { return FById; }       // its by-id link, or empty

    // Readable when the device folder changed: the owner's event loop watches it and then calls
    // Process(0). Process(N) waits up to N ms itself (a loop without an event system).
    int Fd() const { return FWatcher->Fd(); }
    void Process(int WaitMs = 0);
    // A reopen that failed with the device busy or an I/O error is tried again: the owner calls
    // Process(0) after this many milliseconds (-1: nothing to try again).
    int RetryInMs() const;
    // A device appeared at Path (what Process does for each new device the watcher reports; also
    // for devices the folder cannot show, such as an in-process virtual device restored).
    void DeviceAppeared(const std::string& Path);

    // State changes, on the owner thread. Text: "disconnected: device removed", "reconnected",
    // or why a reopen failed.
    std::function<void(TReconnectState State, const std::string& Text)> OnState;

  private:
    void Removed();
    void TryReopen(const std::string& Path);
    bool Matches(const std::string& Path) const;
    void SetState(TReconnectState State, const std::string& Text);
    void NetworkRetry();
    void EndProbe();

    TCustomComPort& FPort;
    std::unique_ptr<TDeviceWatcher> FWatcher;
    TThreadHandoff FHandoff;
    TComLink FLink;
    bool FEnabled = true;
    TReconnectState FState = rsStopped;
    std::string FPath, FById;
    std::string FCandidate; // a device that came back but could not be opened yet
    std::chrono::steady_clock::time_point FRetryUntil{}, FNextRetry{};
    bool FNetwork = false; // the port is a network port: retried on a back-off
    std::chrono::milliseconds FBackoff{0};
    std::thread FProbe;
    std::shared_ptr<std::atomic<int>> FProbeResult; // -1 still trying, 0 no server, 1 it accepts
};
