#pragma once

// Shared by the transfer, event-thread and dispatch tests: a port on a virtual device, a
// thread-safe log that the test can wait on while the main thread keeps serving synchronised calls,
// and a recorder for ShowException.

#include "cport/ComPort.h"
#include "platform/comm/VirtualDevice.h"
#include "platform/toolkit/MessageTarget.h"
#include "platform/toolkit/ShowException.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace dispatchkit {

using namespace std::chrono_literals;

// Serves the calling thread's queued work (Synchronize calls and sent messages on the main thread)
// until Pred holds or the time runs out.
inline bool ServeUntil(const std::function<bool()>& Pred, std::chrono::milliseconds Limit = 5000ms) {
    const auto deadline = std::chrono::steady_clock::now() + Limit;
    while (!Pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        WaitForMessages(2ms);
    }
    return true;
}

class TLog {
  public:
    void Add(std::string Item) {
        {
            std::lock_guard lock(FLock);
            FItems.push_back(std::move(Item));
        }
        FChanged.notify_all();
    }
    std::vector<std::string> Items() const {
        std::lock_guard lock(FLock);
        return FItems;
    }
    void Clear() {
        std::lock_guard lock(FLock);
        FItems.clear();
    }
    bool Contains(const std::string& Item) const {
        std::lock_guard lock(FLock);
        for (const auto& i : FItems)
            if (i == Item) return true;
        return false;
    }
    // Waits until Item has been logged; on the main thread queued work is served meanwhile.
    bool WaitFor(const std::string& Item, std::chrono::milliseconds Limit = 5000ms) {
        const auto deadline = std::chrono::steady_clock::now() + Limit;
        std::unique_lock lock(FLock);
        for (;;) {
            for (const auto& i : FItems)
                if (i == Item) return true;
            if (std::chrono::steady_clock::now() > deadline) return false;
            FChanged.wait_for(lock, 2ms);
            lock.unlock();
            ProcessMessages();
            lock.lock();
        }
    }

  private:
    mutable std::mutex FLock;
    std::condition_variable FChanged;
    std::vector<std::string> FItems;
};

// Records what ShowException displays (on the main thread) for the lifetime of the object.
class TShownErrors {
  public:
    TShownErrors() {
        FPrevious = SetShowExceptionHandler([this](const std::string& Text) { Log.Add(Text); });
    }
    ~TShownErrors() { SetShowExceptionHandler(FPrevious); }
    TLog Log;

  private:
    std::function<void(const std::string&)> FPrevious;
};

// A port on its own virtual device. The port goes before the device.
struct TVirtualPort {
    explicit TVirtualPort(const std::string& Name = "COM9", TSyncMethod Sync = smNone) {
        Dev = TVirtualDevice::Create(Name);
        EXPECT_NE(Dev, nullptr) << "virtual device " << Name << " already registered";
        Port = std::make_unique<TComPort>(nullptr);
        Port->SetPort(Name);
        Port->SetSyncMethod(Sync);
    }
    ~TVirtualPort() {
        try {
            Port.reset();
        } catch (...) {
        }
    }
    TVirtualPort(const TVirtualPort&) = delete;
    TVirtualPort& operator=(const TVirtualPort&) = delete;

    std::shared_ptr<TVirtualDevice> Dev;
    std::unique_ptr<TComPort> Port;
};

inline std::string OnOff(const char* What, bool On) {
    return std::string(What) + (On ? " on" : " off");
}

// A link that logs every callback it gets, prefixed with its name.
inline void LogEverything(TComLink& Link, TLog& Log, const std::string& Name, bool TakeBuffers) {
    if (TakeBuffers)
        Link.OnRxBuf = [&Log, Name](TObject*, const char* Buf, int Count) {
            Log.Add(Name + " rxbuf " + std::string(Buf, static_cast<size_t>(Count)));
        };
    Link.OnCTSChange = [&Log, Name](TObject*, bool On) { Log.Add(Name + " " + OnOff("cts", On)); };
    Link.OnDSRChange = [&Log, Name](TObject*, bool On) { Log.Add(Name + " " + OnOff("dsr", On)); };
    Link.OnRLSDChange = [&Log, Name](TObject*, bool On) { Log.Add(Name + " " + OnOff("rlsd", On)); };
    Link.OnRing = [&Log, Name](TObject*) { Log.Add(Name + " ring"); };
    Link.OnTxSignal = [&Log, Name](TObject*, bool On) { Log.Add(Name + " " + OnOff("tx", On)); };
    Link.OnRxSignal = [&Log, Name](TObject*, bool On) { Log.Add(Name + " " + OnOff("rx", On)); };
}

} // namespace dispatchkit
