#include "cport/ComReconnect.h"

#include "cport/ComPort.h"
#include "platform/comm/NetBackend.h"
#include "platform/ports/DeviceMap.h"
#include "platform/ports/NetPortName.h"

#include <algorithm>
#include <filesystem>

namespace {
using Clock = std::chrono::steady_clock;
// How long a device that came back may stay busy or failing before the reopen gives up, and how
// often it is tried meanwhile (a bounded retry right after an appearance, not an idle poll).
constexpr auto RetryWindow = std::chrono::seconds(2);
constexpr auto RetryStep = std::chrono::milliseconds(100);
// Network ports: the first try after a lost connection, the longest interval, and how long one
// probe may try to connect.
constexpr auto NetFirstRetry = std::chrono::milliseconds(250);
constexpr auto NetMaxRetry = std::chrono::milliseconds(5000);
constexpr int NetProbeMs = 2000;

std::string BaseName(const std::string& Path) {
    return std::filesystem::path(Path).filename().string();
}
} // namespace

TComReconnect::TComReconnect(TCustomComPort& Port, std::string DeviceDir)
    : FPort(Port), FWatcher(std::make_unique<TDeviceWatcher>(std::move(DeviceDir))) {
    // On the port's delivery thread: only handed on, never acted on there (closing the port from
    // its own event thread would wait for itself).
    FLink.OnRemoved = [this](TObject*, const EComPort&) { FHandoff.Run([this] { Removed(); }); };
    FPort.RegisterLink(&FLink);
    if (FPort.Connected()) Opened();
}

TComReconnect::~TComReconnect() {
    FPort.UnRegisterLink(&FLink);
    FHandoff.Close();
    EndProbe();
}

void TComReconnect::EndProbe() {
    if (FProbe.joinable()) FProbe.join(); // at most NetProbeMs
    FProbeResult.reset();
}

void TComReconnect::Opened() {
    FPath = ResolvePortName(FPort.Port()).value_or(FPort.Port());
    FNetwork = IsNetPortName(FPath);
    FById = FNetwork ? std::string() : ByIdName(FPath, FWatcher->DeviceDir());
    // The path as the user gave it, in its own folder, whatever its name (a udev link, rfcomm, a
    // link made by socat): looked for again under that name, never where a link pointed.
    if (!FNetwork && FPath.find('/') != std::string::npos) FWatcher->Follow(FPath);
    FCandidate.clear();
    SetState(rsConnected, std::string());
}

void TComReconnect::Stopped() {
    FCandidate.clear();
    SetState(rsStopped, std::string());
}

void TComReconnect::SetEnabled(bool Value) {
    FEnabled = Value;
    if (!Value) {
        FCandidate.clear();
        return;
    }
    // Turned on while the device is already back: take it now.
    if (FState == rsDisconnected)
        for (const std::string& path : FWatcher->Present())
            if (Matches(path)) {
                DeviceAppeared(path);
                break;
            }
}

void TComReconnect::SetState(TReconnectState State, const std::string& Text) {
    const bool changed = State != FState;
    FState = State;
    if (OnState && (changed || !Text.empty())) OnState(State, Text);
}

void TComReconnect::Removed() {
    if (!FPort.Connected() || FState == rsDisconnected) return;
    if (FState == rsStopped) Opened(); // opened by its owner without telling: still its device
    try {
        FPort.Close();
    } catch (const Exception&) {
        // The device is gone; what Close could not release the port's destructor will.
    }
    if (FNetwork) {
        FBackoff = NetFirstRetry;
        FNextRetry = Clock::now() + FBackoff;
    }
    SetState(rsDisconnected, "disconnected: device removed");
}

void TComReconnect::NetworkRetry() {
    if (!FProbeResult) {
        if (Clock::now() < FNextRetry) return;
        auto result = std::make_shared<std::atomic<int>>(-1);
        FProbeResult = result;
        FProbe =
            std::thread([result, path = FPath] { result->store(ProbeNetPort(path, NetProbeMs) ? 1 : 0); });
        return;
    }
    const int probed = FProbeResult->load();
    if (probed < 0) return;
    EndProbe();
    if (probed == 1) {
        try {
            FPort.Open();
            SetState(rsConnected, "reconnected");
            return;
        } catch (const EComPort&) {
            // Accepted, then refused (busy, or the device behind it missing): tried again later.
        }
    }
    FNextRetry = Clock::now() + FBackoff;
    FBackoff = std::min<std::chrono::milliseconds>(FBackoff * 2, NetMaxRetry);
}

bool TComReconnect::Matches(const std::string& Path) const {
    if (Path == FPath) return true;
    if (FById.empty()) return false;
    const std::string byId = ByIdName(Path, FWatcher->DeviceDir());
    return !byId.empty() && BaseName(byId) == BaseName(FById);
}

void TComReconnect::DeviceAppeared(const std::string& Path) {
    if (FState != rsDisconnected || !FEnabled || !Matches(Path)) return;
    FRetryUntil = Clock::now() + RetryWindow;
    TryReopen(Path);
}

void TComReconnect::TryReopen(const std::string& Path) {
    // The same device at another path, or at its old path while the port's name now means another
    // device (names given out in order shift when other adapters come and go meanwhile): the
    // port's name follows the device. A device known by the port name itself (in-process) needs
    // no map entry.
    if (Path != FPath || (Path != FPort.Port() && ResolvePortName(FPort.Port()).value_or("") != Path)) {
        std::vector<TDeviceMapEntry> map = CurrentDeviceMap().Entries;
        auto it = std::find_if(map.begin(), map.end(),
                               [&](const TDeviceMapEntry& e) { return e.Name == FPort.Port(); });
        if (it != map.end())
            it->Path = Path;
        else
            map.push_back({FPort.Port(), Path});
        SetDeviceMapOverride(map);
        FPath = Path;
    }
    try {
        FPort.Open();
    } catch (const EComPort& e) {
        // Busy (another program, or udev, has it for a moment), an I/O error, or the node not there
        // yet: tried again for a while; anything else is told at once.
        const int code = e.WinCode();
        const bool transient = code == 5 || code == 31 || code == 2;
        if (transient && Clock::now() < FRetryUntil) {
            FCandidate = Path;
            FNextRetry = Clock::now() + RetryStep;
            return;
        }
        FCandidate.clear();
        SetState(rsDisconnected, "reconnect failed: " + e.Message());
        return;
    }
    FCandidate.clear();
    FById = ByIdName(FPath, FWatcher->DeviceDir());
    SetState(rsConnected, "reconnected");
}

int TComReconnect::RetryInMs() const {
    if (FNetwork && FState == rsDisconnected && FEnabled) {
        // While a probe runs its end is looked for often; between probes, at the next try.
        if (FProbeResult) return 50;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(FNextRetry - Clock::now()).count();
        return static_cast<int>(std::max<long long>(0, left));
    }
    if (FCandidate.empty()) return -1;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(FNextRetry - Clock::now()).count();
    return static_cast<int>(std::max<long long>(0, left));
}

void TComReconnect::Process(int WaitMs) {
    const std::vector<TDeviceEvent> events = FWatcher->Wait(WaitMs);
    for (const TDeviceEvent& e : events)
        if (e.Change == dcAdded) DeviceAppeared(e.Path);
    if (FState != rsDisconnected || !FEnabled) return;
    if (FNetwork) {
        NetworkRetry();
        return;
    }
    if (!FCandidate.empty() && Clock::now() >= FNextRetry) {
        TryReopen(FCandidate);
        return;
    }
    // Only by-id links changed: a device that came back before its link may match now.
    if (events.empty() && !FById.empty())
        for (const std::string& path : FWatcher->Present())
            if (path != FPath && Matches(path)) {
                DeviceAppeared(path);
                break;
            }
}
