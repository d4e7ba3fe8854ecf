#include "tools/devsim/VirtualDeviceSim.h"

#include "tools/devsim/PtyDevice.h"

#include <chrono>

namespace devsim {

namespace {
int64_t NowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

TVirtualDeviceSim::TVirtualDeviceSim(std::shared_ptr<TVirtualDevice> device, TDeviceOptions options,
                                     uint32_t baud)
    : FDevice(std::move(device)), FSilenceUs(TPtyDevice::SilenceMicros(baud ? baud : 1)),
      FSim(std::move(options)) {
    FTimer = std::thread([this] { TimerLoop(); });
    FDevice->OnSent([this](const std::string& bytes) { OnSent(bytes); });
}

TVirtualDeviceSim::~TVirtualDeviceSim() {
    FDevice->OnSent(nullptr);
    {
        std::lock_guard<std::mutex> l(FLock);
        FStop = true;
    }
    FCv.notify_all();
    FTimer.join();
}

void TVirtualDeviceSim::CollectLocked() {
    for (TJobReport& r : FSim.TakeReports())
        FReports.push_back(std::move(r));
}

// Runs on the virtual device's transmit thread; answers are delivered with no lock held.
void TVirtualDeviceSim::OnSent(const std::string& bytes) {
    TDeviceReply reply;
    {
        std::lock_guard<std::mutex> l(FLock);
        FLastRx = NowMicros();
        reply = FSim.Receive(bytes);
        CollectLocked();
    }
    FCv.notify_all();
    if (!reply.Bytes.empty()) FDevice->Deliver(reply.Bytes);
}

void TVirtualDeviceSim::TimerLoop() {
    std::unique_lock<std::mutex> l(FLock);
    while (!FStop) {
        if (!FSim.AwaitingSilence()) {
            FCv.wait(l);
            continue;
        }
        const int64_t due = FLastRx + FSilenceUs;
        const int64_t now = NowMicros();
        if (now < due) {
            FCv.wait_for(l, std::chrono::microseconds(due - now));
            continue;
        }
        TDeviceReply reply = FSim.Silence();
        CollectLocked();
        FCv.notify_all();
        if (!reply.Bytes.empty()) {
            l.unlock();
            FDevice->Deliver(reply.Bytes);
            l.lock();
        }
    }
}

bool TVirtualDeviceSim::WaitJobs(std::size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> l(FLock);
    return FCv.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return FReports.size() >= count; });
}

std::vector<TJobReport> TVirtualDeviceSim::Reports() const {
    std::lock_guard<std::mutex> l(FLock);
    return FReports;
}

} // namespace devsim
