// tolvane-flash: writes a .flash image into the device on a serial port, without a window.
// The port is set up as the main window's ComPort1 (smNone), so the engine's reply handler runs on
// the port's event thread; its notices are queued to the main thread, which prints progress and
// decides when the job has ended, stalled or failed.

#include "app/engine/FlashEngine.h"
#include "app/engine/PortReport.h"
#include "cport/ComPort.h"
#include "platform/ports/DeviceMap.h"
#include "platform/toolkit/ShowException.h"
#include "platform/toolkit/Thread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <getopt.h>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>
#include <unistd.h>

namespace {
enum TExit {
    exOk = 0,
    exUsage = 1,
    exImage = 2,
    exPort = 3,
    exNoReply = 4,
    exResends = 5,
    exInterrupted = 130
};

const char* const Usage = "Usage: tolvane-flash [OPTIONS] IMAGE\n"
                          "Writes a .flash image into the device on a serial port.\n"
                          "\n"
                          "  -p, --port NAME       COM1..COM16 (through the device map) or a device path\n"
                          "                        (default: Port of the settings file, else COM1)\n"
                          "  -b, --baud RATE       bit rate (default: the settings file, else 38400)\n"
                          "  -c, --config FILE     settings file, section ComPort1 (default ./port.cfg)\n"
                          "  -t, --timeout SEC     give up when the job has not gone forward for SEC\n"
                          "                        seconds (default 10, 0 = never)\n"
                          "      --max-resends N   give up when the device asked for the same block again\n"
                          "                        N times in a row (default 50, 0 = never)\n"
                          "      --json            one JSON object per event on stdout\n"
                          "  -q, --quiet           only the last line\n"
                          "      --list-ports      show the port names and their devices\n"
                          "  -h, --help            this text\n"
                          "      --version         the program's version\n"
                          "\n"
                          "Exit codes: 0 written, 1 usage, 2 image file error, 3 port error, 4 no reply\n"
                          "within the time-out, 5 too many resends, 130 interrupted.\n";

// The signal may arrive on any thread (the port's event thread too): a lock-free atomic.
std::atomic<int> gSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);
void OnSignal(int sig) {
    gSignal.store(sig);
}

struct TOptions {
    std::string Port;
    std::optional<uint32_t> Baud;
    std::string Config = "./port.cfg";
    double Timeout = 10;
    long MaxResends = 50;
    bool Json = false;
    bool Quiet = false;
    std::string Image;
};

[[noreturn]] void UsageError(const std::string& msg) {
    std::fprintf(stderr, "tolvane-flash: %s\nTry 'tolvane-flash --help'.\n", msg.c_str());
    std::exit(exUsage);
}

long ParseCount(const char* opt, const char* s) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(s, &end, 10);
    if (errno || end == s || *end || v < 0) UsageError(std::string("bad value for ") + opt + ": '" + s + "'");
    return v;
}

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// Errors the port shows on its own (a failing close, an event thread in trouble): told on standard
// error before the last line, never after it.
struct TNotes {
    std::mutex M;
    std::vector<std::string> Lines;
    bool Closed = false;
};
TNotes gNotes;

void FlushNotes() {
    CheckSynchronize(); // displays queued from the event thread
    std::lock_guard<std::mutex> l(gNotes.M);
    for (const auto& line : gNotes.Lines)
        std::fprintf(stderr, "tolvane-flash: note: %s\n", line.c_str());
    gNotes.Lines.clear();
    gNotes.Closed = true;
}

// Everything the event thread hands to the main thread.
struct TInbox {
    std::mutex M;
    std::condition_variable Cv;
    std::deque<TFlashNotice> Notices;
};

// Progress goes to standard output until a write there fails (a pipe whose reader left, as with
// "| head -1"): from then on the job goes on silently and only the exit code tells its end.
class TReporter {
  public:
    TReporter(const TOptions& o, uint32_t imageSize)
        : FJson(o.Json), FQuiet(o.Quiet), FTty(!o.Json && !o.Quiet && ::isatty(1)), FSize(imageSize),
          FBlocks(imageSize == 0 ? 1 : (imageSize + BlockSize - 1) / BlockSize),
          FStart(std::chrono::steady_clock::now()) {}

    void Event(const TFlashNotice& n) {
        const TFlashState& s = n.State;
        FLast = s;
        if (FClosed) return;
        if (FJson) {
            if (n.Kind == fnPanel)
                std::printf("{\"event\":\"panel\",\"panel\":%d,\"text\":%s}\n", n.Panel,
                            JsonString(n.Text).c_str());
            else if (n.Kind == fnProgress)
                std::printf("{\"event\":\"progress\",\"blocks\":%u,\"total\":%u,\"bytes\":%u,\"crc\":%d,"
                            "\"verify\":%d}\n",
                            s.ProgressPosition(), FBlocks, s.SendPosition, s.CrcErrorCount,
                            s.VerifyErrorCount);
            Flush();
            return;
        }
        if (FQuiet) return;
        if (FTty) {
            if (n.Kind == fnProgress || n.Kind == fnPanel) Bar(false);
            return;
        }
        if (n.Kind == fnPanel)
            std::printf("%s\n", n.Text.c_str());
        else if (n.Kind == fnProgress) {
            const uint32_t pct = s.ProgressPosition() * 100 / FBlocks;
            if (pct / 10 != FLastTenth || s.ProgressPosition() == FBlocks) {
                FLastTenth = pct / 10;
                std::printf("progress %u%%: block %u of %u\n", pct, s.ProgressPosition(), FBlocks);
            }
        }
        Flush();
    }

    void Bar(bool force) {
        if (FClosed) return;
        const auto now = std::chrono::steady_clock::now();
        if (!force && now - FLastBar < std::chrono::milliseconds(100)) return;
        FLastBar = now;
        const uint32_t done = FLast.ProgressPosition();
        const double secs = std::chrono::duration<double>(now - FStart).count();
        const double rate = secs > 0 ? FLast.SendPosition / secs : 0;
        const double left = rate > 0 ? (double(FBlocks) * BlockSize - FLast.SendPosition) / rate : 0;
        const int width = 30;
        const int filled = static_cast<int>(int64_t(done) * width / FBlocks);
        std::printf("\r[%.*s%.*s] %3u%%  %u/%u blocks  %.1f kB/s  %s left  CRC %d  verify %d ", filled,
                    "##############################", width - filled, "..............................",
                    done * 100 / FBlocks, done, FBlocks, rate / 1000.0, Clock(left).c_str(),
                    FLast.CrcErrorCount, FLast.VerifyErrorCount);
        Flush();
    }

    // The last line: always printed, also with --quiet.
    void Finish(TExit code, const std::string& message) {
        FlushNotes();
        if (FClosed) return;
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count();
        if (FTty) {
            Bar(true);
            std::printf("\n");
        }
        if (FJson) {
            std::printf("{\"event\":\"end\",\"exit\":%d,\"message\":%s,\"bytes\":%u,\"blocks\":%u,\"crc\":%d,"
                        "\"verify\":%d,\"seconds\":%.3f}\n",
                        code, JsonString(message).c_str(), FSize, FLast.ProgressPosition(),
                        FLast.CrcErrorCount, FLast.VerifyErrorCount, secs);
        } else {
            std::printf("%s\n", message.c_str());
        }
        Flush();
    }

    std::string Written() const {
        char buf[200];
        std::snprintf(buf, sizeof buf, "written: %u bytes in %u blocks, %d CRC errors, %d verify errors",
                      FSize, FBlocks, FLast.CrcErrorCount, FLast.VerifyErrorCount);
        return buf;
    }

  private:
    void Flush() {
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) FClosed = true;
    }
    static std::string Clock(double s) {
        const long t = static_cast<long>(s + 0.5);
        char buf[32];
        std::snprintf(buf, sizeof buf, "%ld:%02ld", t / 60, t % 60);
        return buf;
    }
    bool FJson, FQuiet, FTty;
    bool FClosed = false;
    uint32_t FSize, FBlocks;
    std::chrono::steady_clock::time_point FStart, FLastBar{};
    uint32_t FLastTenth = 0;
    TFlashState FLast;
};

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

int ListPorts() {
    const auto map = PortMap();
    if (map.empty()) std::printf("no serial ports found\n");
    for (const auto& e : map)
        std::printf("%-6s %s\n", e.Name.c_str(), e.Path.c_str());
    return exOk;
}
} // namespace

int main(int argc, char** argv) {
    TOptions o;
    enum { oMaxResends = 256, oJson, oListPorts, oVersion };
    static const option longs[] = {{"port", required_argument, nullptr, 'p'},
                                   {"baud", required_argument, nullptr, 'b'},
                                   {"config", required_argument, nullptr, 'c'},
                                   {"timeout", required_argument, nullptr, 't'},
                                   {"max-resends", required_argument, nullptr, oMaxResends},
                                   {"json", no_argument, nullptr, oJson},
                                   {"quiet", no_argument, nullptr, 'q'},
                                   {"list-ports", no_argument, nullptr, oListPorts},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, oVersion},
                                   {nullptr, 0, nullptr, 0}};
    bool listPorts = false;
    int c;
    opterr = 0;
    while ((c = getopt_long(argc, argv, ":p:b:c:t:qh", longs, nullptr)) != -1) {
        switch (c) {
        case 'p':
            o.Port = optarg;
            break;
        case 'b': {
            const long v = ParseCount("--baud", optarg);
            if (v < 1 || v > 0x7FFFFFFF) UsageError(std::string("bad bit rate: '") + optarg + "'");
            o.Baud = static_cast<uint32_t>(v);
            break;
        }
        case 'c':
            o.Config = optarg;
            break;
        case 't': {
            char* end = nullptr;
            o.Timeout = std::strtod(optarg, &end);
            if (end == optarg || *end || !(o.Timeout >= 0) || o.Timeout > 1e7)
                UsageError(std::string("bad value for --timeout: '") + optarg + "'");
            break;
        }
        case oMaxResends:
            o.MaxResends = ParseCount("--max-resends", optarg);
            break;
        case oJson:
            o.Json = true;
            break;
        case 'q':
            o.Quiet = true;
            break;
        case oListPorts:
            listPorts = true;
            break;
        case 'h':
            std::fputs(Usage, stdout);
            return exOk;
        case oVersion:
            std::printf("tolvane-flash 2.00\n");
            return exOk;
        case ':':
            UsageError(std::string("option needs a value: ") + argv[optind - 1]);
        default:
            UsageError(std::string("unknown option: ") + argv[optind - 1]);
        }
    }
    if (listPorts) return ListPorts();
    if (optind + 1 != argc)
        UsageError(optind == argc ? "no image file given" : "more than one image file given");
    o.Image = argv[optind];

    TFlashEngine engine;
    const TLoadResult load = engine.LoadImageFile(o.Image);
    if (!load.Ok) {
        std::fprintf(stderr, "tolvane-flash: %s\n", load.Error.c_str());
        std::printf("failed: image file error\n");
        return exImage;
    }
    if (!load.Warning.empty()) std::fprintf(stderr, "tolvane-flash: warning: %s\n", load.Warning.c_str());

    TComPort port(nullptr);
    DesignPort(port);
    // The file is checked before the port trusts it: one that exists but cannot be read would read
    // as empty (the defaults), and a Port value that names no port would quietly become COM1.
    const TSettingsCheck check = CheckSettingsFile(o.Config, port.Name());
    if (check.Problem == spUnreadable) {
        std::fprintf(stderr, "tolvane-flash: %s\n", check.Message.c_str());
        std::printf("failed: %s\n", check.Message.c_str());
        return exUsage;
    }
    if (check.Problem == spBadPort && o.Port.empty()) {
        std::printf("failed: port error: %s; name one with -p or fix the file\n", check.Message.c_str());
        return exPort;
    }
    try {
        // The window's section, so the window and the command line share one settings file.
        port.LoadSettings(stIniFile, o.Config);
    } catch (const Exception& e) {
        std::printf("failed: port error: %s (%s)\n", e.what(), o.Config.c_str());
        return exPort;
    }
    std::string device;
    if (!o.Port.empty()) {
        if (const int n = ComPortNumber(o.Port)) {
            port.SetPort("COM" + std::to_string(n));
        } else {
            // A device path: this process gives it a port name of its own.
            device = o.Port;
            SetDeviceMapOverride(std::vector<TDeviceMapEntry>{{"COM1", o.Port}});
            port.SetPort("COM1");
        }
    }
    if (device.empty()) device = ResolvePortName(port.Port()).value_or("no device mapped, see --list-ports");
    if (o.Baud) SetRate(port, *o.Baud);

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A reader that goes away ("| head -1") must not kill the job half-way: writes then fail with
    // EPIPE and the reporter stops writing.
    std::signal(SIGPIPE, SIG_IGN);

    TReporter report(o, load.Size);
    SetShowExceptionHandler([](const std::string& text) {
        std::lock_guard<std::mutex> l(gNotes.M);
        if (!gNotes.Closed) gNotes.Lines.push_back(text);
    });
    TInbox inbox;
    TFlashPortOf<TComPort> io(port);
    engine.SetPort(&io);
    engine.SetOnNotify([&inbox](const TFlashNotice& n) {
        std::lock_guard<std::mutex> l(inbox.M);
        inbox.Notices.push_back(n);
        inbox.Cv.notify_one();
    });
    port.SetOnRxChar([&engine](TObject* sender, int count) { engine.ComPort1RxChar(sender, count); });
    // The port tells its followers when its device goes away; the job then ends as for any port
    // error of the reply handler (the window hears it the same way).
    TComLink removal;
    removal.OnRemoved = [&engine](TObject*, const EComPort& error) { engine.PortRemoved(error); };
    port.RegisterLink(&removal);
    auto portFailure = [&port](const std::string& what, const auto& error) {
        return "failed: port error: " + what + ": " + DescribePortProblem(port.Port(), error);
    };
    const std::string where = o.Port.empty() || device == o.Port ? device : port.Port() + " (" + device + ")";
    try {
        port.Open();
    } catch (const Exception& e) {
        report.Finish(exPort, portFailure(e.Message(), e));
        return exPort;
    }
    if (!o.Json && !o.Quiet)
        std::printf("flashing %s (%u bytes) on %s at %u bit/s\n", o.Image.c_str(), load.Size, where.c_str(),
                    RateOf(port));
    try {
        engine.Button1Click();
    } catch (const Exception& e) {
        CloseQuietly(port);
        report.Finish(exPort, portFailure(e.Message(), e));
        return exPort;
    }

    using Clock = std::chrono::steady_clock;
    // The time-out runs from the job's last step forward, not from its last reply: a device that
    // keeps answering without letting the job advance ('@', '$', '>' again) must still end it.
    auto lastAdvance = Clock::now();
    uint32_t advances = 0;
    // The state as the last notice showed it: asking the engine here, with the inbox locked,
    // would take the two locks in the opposite order of a notice.
    TFlashState last;
    const auto timeout =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.Timeout));
    TExit code = exOk;
    std::string message;
    std::unique_lock<std::mutex> lock(inbox.M);
    for (;;) {
        // Short waits so that a signal is seen soon; the notices themselves wake the wait.
        inbox.Cv.wait_for(lock, std::chrono::milliseconds(50),
                          [&] { return !inbox.Notices.empty() || gSignal.load() != 0; });
        bool done = false;
        while (!inbox.Notices.empty()) {
            const TFlashNotice n = inbox.Notices.front();
            inbox.Notices.pop_front();
            last = n.State;
            if (n.State.Advances != advances) {
                advances = n.State.Advances;
                lastAdvance = Clock::now();
            }
            lock.unlock();
            report.Event(n);
            lock.lock();
            if (n.Kind == fnJobDone) {
                done = true;
                message = report.Written();
            } else if (n.Kind == fnPortError) {
                done = true;
                code = exPort;
                message = portFailure(n.Text, n.Error);
            } else if (o.MaxResends > 0 && n.State.ResendsInRow >= static_cast<uint32_t>(o.MaxResends)) {
                done = true;
                code = exResends;
                message = "failed: block " + std::to_string(n.State.ProgressPosition()) + " was resent " +
                          std::to_string(n.State.ResendsInRow) + " times in a row";
            }
            if (done) break;
        }
        if (done) break;
        if (gSignal.load() != 0) {
            code = exInterrupted;
            message = std::string("interrupted by ") + (gSignal.load() == SIGINT ? "SIGINT" : "SIGTERM") +
                      ": the port was closed, the device holds an incomplete image";
            break;
        }
        if (o.Timeout > 0 && Clock::now() - lastAdvance >= timeout) {
            code = exNoReply;
            char secs[64];
            std::snprintf(secs, sizeof secs, "%g", o.Timeout);
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
                          std::to_string(last.ProgressPosition());
            break;
        }
    }
    lock.unlock();
    if (code == exOk) Drain(port, RateOf(port));
    CloseQuietly(port);
    port.UnRegisterLink(&removal);
    report.Finish(code, message);
    return code;
}
