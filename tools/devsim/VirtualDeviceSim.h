#pragma once

// The simulated flash device on the far end of an in-process virtual device: what the port sends
// is fed to a TDeviceSim on the device's transmit thread and its answers are delivered back. A
// timer thread completes end and start commands after the line has been quiet for the
// end-command silence. Reports may be read from any thread.

#include "platform/comm/VirtualDevice.h"
#include "tools/devsim/DeviceSim.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace devsim {

class TVirtualDeviceSim {
  public:
    TVirtualDeviceSim(std::shared_ptr<TVirtualDevice> device, TDeviceOptions options = {},
                      uint32_t baud = 38400);
    ~TVirtualDeviceSim();
    TVirtualDeviceSim(const TVirtualDeviceSim&) = delete;
    TVirtualDeviceSim& operator=(const TVirtualDeviceSim&) = delete;

    // Waits until at least count jobs have finished; false on time-out.
    bool WaitJobs(std::size_t count, int timeoutMs);
    std::vector<TJobReport> Reports() const;

  private:
    void OnSent(const std::string& bytes);
    void TimerLoop();
    void CollectLocked();

    std::shared_ptr<TVirtualDevice> FDevice;
    const int64_t FSilenceUs;
    mutable std::mutex FLock;
    std::condition_variable FCv;
    TDeviceSim FSim;
    std::vector<TJobReport> FReports;
    int64_t FLastRx = 0;
    bool FStop = false;
    std::thread FTimer;
};

} // namespace devsim
