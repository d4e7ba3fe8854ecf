#include "tools/flash/FlashJob.h"

#include "app/engine/PortReport.h"
#include "cport/ComPort.h"
#include "platform/ports/DeviceMap.h"

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

TExit WorseExit(TExit a, TExit b) {
    static const TExit Order[] = {exInterrupted, exPort, exNoReply, exResends, exImage, exUsage};
    for (TExit e : Order)
        if (a == e || b == e) return e;
    return exOk;
}

std::string WrittenText(uint32_t Size, const TFlashState& Last) {
    const uint32_t blocks = Size == 0 ? 1 : (Size + BlockSize - 1) / BlockSize;
    char buf[200];
    std::snprintf(buf, sizeof buf, "written: %u bytes in %u blocks, %d CRC errors, %d verify errors", Size, blocks,
                  Last.CrcErrorCount, Last.VerifyErrorCount);
    return buf;
}

namespace {

// Any bit rate: a standard one as its member, others as brCustom.
void SetRate(TComPort& port, uint32_t rate) {
    const std::string text = std::to_string(rate);
    const TBaudRate member = StrToBaudRate(text);
    if (member != brCustom && BaudRateToStr(member) == text) {
        port.SetBaudRate(member);
    } else {
        port.SetCustomBaudRate(static_cast<int32_t>(rate));
        port.SetBaudRate(brCustom);
    }
}

uint32_t RateOf(const TComPort& port) {
    if (port.BaudRate() == brCustom) return static_cast<uint32_t>(port.CustomBaudRate());
    return static_cast<uint32_t>(std::strtoul(BaudRateToStr(port.BaudRate()).c_str(), nullptr, 10));
}

// The main window's port as designed: 38400 8N1, no flow control, every event, handled on the
// event thread.
void DesignPort(TComPort& port) {
    port.SetName("ComPort1");
    port.SetPort("COM1");
    port.SetBaudRate(br38400);
    port.SetDataBits(dbEight);
    port.SetStopBits(sbOneStopBit);
    port.Parity().SetBits(prNone);
    port.FlowControl().SetOutCTSFlow(false);
    port.FlowControl().SetOutDSRFlow(false);
    port.FlowControl().SetXonXoffOut(false);
    port.FlowControl().SetXonXoffIn(false);
    port.FlowControl().SetControlDTR(dtrDisable);
    port.FlowControl().SetControlRTS(rtsDisable);
    port.SetEvents(AllComEvents);
    port.SetSyncMethod(smNone);
}

// A device that vanished makes Close fail; the port's destructor then finishes the cleanup.
void CloseQuietly(TComPort& port) {
    try {
        port.Close();
    } catch (const Exception&) {
    }
}

// Closing purges the line: the end command must have reached the device first. An empty transmit
// queue is not enough on its own: the far end of a pseudo-terminal (or a USB adapter) may still
// hold bytes it has not taken, and the purge would drop them, so a short grace period follows.
void Drain(TComPort& port, uint32_t rate) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    try {
        while (port.OutputCount() > 0 && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } catch (const Exception&) {
    }
    const auto wire = std::chrono::microseconds(40'000'000LL / (rate ? rate : 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100) + wire);
}

// Busy (another opener still has it, as right after a device appears) or an I/O error.
bool WorthRetrying(const Exception& e) {
    const auto* port = dynamic_cast<const EComPort*>(&e);
    return port && (port->WinCode() == 5 || port->WinCode() == 31);
}

// Everything the event thread hands to the job's thread.
struct TInbox {
    std::mutex M;
    std::condition_variable Cv;
    std::deque<TFlashNotice> Notices;
};

} // namespace

TJobResult RunFlashJob(const TJobSpec& Spec, TJobObserver& Observer, const std::atomic<int>& Stop) {
    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    TJobResult result;
    auto finish = [&](TExit code, std::string message) {
        result.Code = code;
        result.Message = std::move(message);
        result.Seconds = std::chrono::duration<double>(Clock::now() - started).count();
        return result;
    };

    // The engine holds a whole image: on the heap, so jobs on threads of their own keep small stacks.
    auto engine = std::make_unique<TFlashEngine>();
    const TLoadResult load = engine->LoadImageFile(Spec.Image);
    if (!load.Ok) return finish(exImage, "failed: image file error: " + load.Error);

    TComPort port(nullptr);
    DesignPort(port);
    try {
        // The window's section, so the window and the command line share one settings file.
        port.LoadSettings(stIniFile, Spec.Config);
    } catch (const Exception& e) {
        return finish(exPort, "failed: port error: " + e.Message() + " (" + Spec.Config + ")");
    }
    if (!Spec.Port.empty()) port.SetPort(Spec.Port);
    if (Spec.Baud) SetRate(port, *Spec.Baud);
    result.Rate = RateOf(port);

    TInbox inbox;
    TFlashPortOf<TComPort> io(port);
    engine->SetPort(&io);
    engine->SetOnNotify([&inbox](const TFlashNotice& n) {
        std::lock_guard<std::mutex> l(inbox.M);
        inbox.Notices.push_back(n);
        inbox.Cv.notify_one();
    });
    TFlashEngine& eng = *engine;
    port.SetOnRxChar([&eng](TObject* sender, int count) { eng.ComPort1RxChar(sender, count); });
    // The port tells its followers when its device goes away; the job then ends as for any port
    // error of the reply handler (the window hears it the same way).
    TComLink removal;
    removal.OnRemoved = [&eng](TObject*, const EComPort& error) { eng.PortRemoved(error); };
    port.RegisterLink(&removal);
    struct Unregister {
        TComPort& P;
        TComLink& L;
        ~Unregister() {
            CloseQuietly(P);
            P.UnRegisterLink(&L);
        }
    } unregister{port, removal};

    auto portFailure = [&port](const std::string& what, const auto& error) {
        return "failed: port error: " + what + ": " + DescribePortProblem(port.Port(), error);
    };
    const auto openUntil = Clock::now() + std::chrono::milliseconds(Spec.OpenRetryMs);
    for (;;) {
        try {
            port.Open();
            break;
        } catch (const Exception& e) {
            if (!WorthRetrying(e) || Clock::now() >= openUntil || Stop.load() != 0)
                return finish(exPort, portFailure(e.Message(), e));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    Observer.Started(Spec, load.Size, result.Rate);
    try {
        eng.Button1Click();
    } catch (const Exception& e) {
        return finish(exPort, portFailure(e.Message(), e));
    }

    // The time-out runs from the job's last step forward, not from its last reply: a device that
    // keeps answering without letting the job advance ('@', '$', '>' again) must still end it.
    auto lastAdvance = Clock::now();
    uint32_t advances = 0;
    const auto timeout = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(Spec.Timeout));
    TExit code = exOk;
    std::string message;
    std::unique_lock<std::mutex> lock(inbox.M);
    for (;;) {
        // Short waits so that a signal is seen soon; the notices themselves wake the wait.
        inbox.Cv.wait_for(lock, std::chrono::milliseconds(50),
                          [&] { return !inbox.Notices.empty() || Stop.load() != 0; });
        bool done = false;
        while (!inbox.Notices.empty()) {
            const TFlashNotice n = inbox.Notices.front();
            inbox.Notices.pop_front();
            result.Last = n.State;
            if (n.State.Advances != advances) {
                advances = n.State.Advances;
                lastAdvance = Clock::now();
            }
            lock.unlock();
            Observer.Notice(n);
            lock.lock();
            if (n.Kind == fnJobDone) {
                done = true;
                message = WrittenText(load.Size, n.State);
            } else if (n.Kind == fnPortError) {
                done = true;
                code = exPort;
                message = "failed: port error: " + n.Text + ": " +
                          DescribePortProblem(port.Port(), n.ErrorCode, n.ErrorWinCode);
            } else if (Spec.MaxResends > 0 && n.State.ResendsInRow >= static_cast<uint32_t>(Spec.MaxResends)) {
                done = true;
                code = exResends;
                message = "failed: block " + std::to_string(n.State.ProgressPosition()) + " was resent " +
                          std::to_string(n.State.ResendsInRow) + " times in a row";
            }
            if (done) break;
        }
        if (done) break;
        if (const int sig = Stop.load(); sig != 0) {
            code = exInterrupted;
            message = std::string("interrupted by ") + (sig == SIGINT ? "SIGINT" : "SIGTERM") +
                      ": the port was closed, the device holds an incomplete image";
            break;
        }
        if (Spec.Timeout > 0 && Clock::now() - lastAdvance >= timeout) {
            code = exNoReply;
            char secs[64];
            std::snprintf(secs, sizeof secs, "%g", Spec.Timeout);
            lock.unlock();
            bool held = false;
            try {
                held = port.StateFlags().Contains(sfCTSHold);
            } catch (const Exception&) {
            }
            lock.lock();
            if (held)
                message = std::string("failed: nothing could be sent for ") + secs +
                          " s: output held by hardware flow control (CTS is off)";
            else
                message = std::string("failed: no reply from the device within ") + secs + " s after block " +
                          std::to_string(result.Last.ProgressPosition());
            break;
        }
    }
    lock.unlock();
    if (code == exOk) Drain(port, result.Rate);
    return finish(code, std::move(message));
}
