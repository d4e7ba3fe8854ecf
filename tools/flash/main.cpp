// tolvane-flash: writes a .flash image into the device on a serial port, without a window; into
// several ports at once; or into every device as it is plugged in (watch mode).
// Each port is set up as the main window's ComPort1 (smNone), so the engine's reply handler runs on
// the port's event thread; its notices are queued to the job's thread, which prints progress and
// decides when the job has ended, stalled or failed.

#include "app/engine/PortReport.h"
#include "platform/ports/DeviceMap.h"
#include "platform/ports/DeviceWatcher.h"
#include "tools/flash/Factory.h"
#include "tools/flash/FlashJob.h"
#include "tools/flash/Output.h"
#include "tools/flash/Sha256.h"
#include "tolvane/Version.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <getopt.h>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char* const Usage = "Usage: tolvane-flash [OPTIONS] IMAGE\n"
                          "Writes a .flash image into the device on a serial port.\n"
                          "\n"
                          "  -p, --port NAME       COM1..COM16 (through the device map) or a device path\n"
                          "                        (default: Port of the settings file, else COM1); given\n"
                          "                        more than once or as a list (COM1,/dev/ttyUSB2), the\n"
                          "                        ports are flashed in parallel\n"
                          "  -b, --baud RATE       bit rate (default: the settings file, else 38400)\n"
                          "  -c, --config FILE     settings file, section ComPort1 (default ./port.cfg)\n"
                          "  -t, --timeout SEC     give up when the job has not gone forward for SEC\n"
                          "                        seconds (default 10, 0 = never)\n"
                          "      --max-resends N   give up when the device asked for the same block again\n"
                          "                        N times in a row (default 50, 0 = never)\n"
                          "      --watch           flash every serial device as it is plugged in, until\n"
                          "                        SIGINT/SIGTERM\n"
                          "      --match GLOB      watch only devices whose path or by-id name matches\n"
                          "      --settle MS       wait after a device appeared before opening it (500)\n"
                          "      --include-present also flash the devices present when watching starts\n"
                          "      --log FILE        append one line per finished job to FILE\n"
                          "      --json            one JSON object per event on stdout\n"
                          "  -q, --quiet           only the last line\n"
                          "      --list-ports      show the port names and their devices\n"
                          "  -h, --help            this text\n"
                          "      --version         the program's version\n"
                          "\n"
                          "Exit codes: 0 written, 1 usage, 2 image file error, 3 port error, 4 no reply\n"
                          "within the time-out, 5 too many resends, 130 interrupted. Over several ports:\n"
                          "0 only when every port succeeded, else the first of 130, 3, 4, 5, 2 that\n"
                          "applies.\n";

void OnSignal(int sig) {
    gSignal.store(sig);
    WakeWatch();
}

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

int ListPorts() {
    const auto map = PortMap();
    if (map.empty()) std::printf("no serial ports found\n");
    for (const auto& e : map)
        std::printf("%-6s %s\n", e.Name.c_str(), e.Path.c_str());
    return exOk;
}

// The single-port run's progress: a bar on a terminal, lines otherwise.
class TSingleObserver final : public TJobObserver {
  public:
    TSingleObserver(const TOptions& o, uint32_t Size) : FOptions(o), FReport(o.Json, o.Quiet, Size) {}
    void Started(const TJobSpec& Spec, uint32_t ImageSize, uint32_t Rate) override {
        if (!FOptions.Json && !FOptions.Quiet) {
            std::printf("flashing %s (%u bytes) on %s at %u bit/s\n", FOptions.Image.c_str(), ImageSize,
                        Spec.Where.c_str(), Rate);
            std::fflush(stdout);
        }
    }
    void Notice(const TFlashNotice& Notice) override { FReport.Event(Notice); }
    TReporter& Report() { return FReport; }

  private:
    const TOptions& FOptions;
    TReporter FReport;
};

int RunSingle(const TOptions& o, uint32_t ImageSize, TJobLog& Log) {
    TJobSpec spec;
    spec.Config = o.Config;
    spec.Baud = o.Baud;
    spec.Timeout = o.Timeout;
    spec.MaxResends = o.MaxResends;
    spec.Image = o.Image;
    std::string device;
    const std::string given = o.Ports.empty() ? std::string() : o.Ports.front();
    if (!given.empty()) {
        if (const int n = ComPortNumber(given)) {
            spec.Port = "COM" + std::to_string(n);
        } else {
            // A device path: this process gives it a port name of its own.
            device = given;
            SetDeviceMapOverride(std::vector<TDeviceMapEntry>{{"COM1", given}});
            spec.Port = "COM1";
        }
    }
    const std::string port = spec.Port.empty() ? std::string("COM1") : spec.Port;
    if (device.empty()) device = ResolvePortName(port).value_or("no device mapped, see --list-ports");
    spec.Where = given.empty() || device == given ? device : port + " (" + device + ")";

    TSingleObserver observer(o, ImageSize);
    const TJobResult r = RunFlashJob(spec, observer, gSignal);
    observer.Report().Finish(r.Code, r.Message);
    Log.Append(port, device, ByIdName(device), r);
    return r.Code;
}

// The whole file, for its fingerprint in the job log.
std::string ReadAll(const std::string& Path) {
    std::ifstream f(Path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

} // namespace

std::atomic<int> gSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

int main(int argc, char** argv) {
    TOptions o;
    enum { oMaxResends = 256, oJson, oListPorts, oVersion, oWatch, oMatch, oSettle, oIncludePresent, oLog };
    static const option longs[] = {{"port", required_argument, nullptr, 'p'},
                                   {"baud", required_argument, nullptr, 'b'},
                                   {"config", required_argument, nullptr, 'c'},
                                   {"timeout", required_argument, nullptr, 't'},
                                   {"max-resends", required_argument, nullptr, oMaxResends},
                                   {"watch", no_argument, nullptr, oWatch},
                                   {"match", required_argument, nullptr, oMatch},
                                   {"settle", required_argument, nullptr, oSettle},
                                   {"include-present", no_argument, nullptr, oIncludePresent},
                                   {"log", required_argument, nullptr, oLog},
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
        case 'p': {
            std::stringstream list(optarg);
            std::string item;
            while (std::getline(list, item, ','))
                if (!item.empty()) o.Ports.push_back(item);
            if (o.Ports.empty()) UsageError("empty value for --port");
            break;
        }
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
        case oWatch:
            o.Watch = true;
            break;
        case oMatch:
            o.Match = optarg;
            break;
        case oSettle: {
            const long v = ParseCount("--settle", optarg);
            if (v > 600000) UsageError(std::string("bad value for --settle: '") + optarg + "'");
            o.SettleMs = static_cast<int>(v);
            break;
        }
        case oIncludePresent:
            o.IncludePresent = true;
            break;
        case oLog:
            o.LogFile = optarg;
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
            std::printf("tolvane-flash %s\n", TOLVANE_VERSION);
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
    if (o.Watch && !o.Ports.empty()) UsageError("--watch finds its devices itself: it takes no --port");
    if (!o.Watch && (!o.Match.empty() || o.IncludePresent))
        UsageError("--match and --include-present belong to --watch");

    uint32_t imageSize = 0;
    {
        auto probe = std::make_unique<TFlashEngine>();
        const TLoadResult load = probe->LoadImageFile(o.Image);
        if (!load.Ok) {
            std::fprintf(stderr, "tolvane-flash: %s\n", load.Error.c_str());
            std::printf("failed: image file error\n");
            return exImage;
        }
        if (!load.Warning.empty()) std::fprintf(stderr, "tolvane-flash: warning: %s\n", load.Warning.c_str());
        imageSize = load.Size;
    }

    // The file is checked before any port trusts it: one that exists but cannot be read would read
    // as empty (the defaults), and a Port value that names no port would quietly become COM1.
    const TSettingsCheck check = CheckSettingsFile(o.Config, "ComPort1");
    if (check.Problem == spUnreadable) {
        std::fprintf(stderr, "tolvane-flash: %s\n", check.Message.c_str());
        std::printf("failed: %s\n", check.Message.c_str());
        return exUsage;
    }
    if (check.Problem == spBadPort && o.Ports.empty() && !o.Watch) {
        std::printf("failed: port error: %s; name one with -p or fix the file\n", check.Message.c_str());
        return exPort;
    }

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A reader that goes away ("| head -1") must not kill the job half-way: writes then fail with
    // EPIPE and the output stops.
    std::signal(SIGPIPE, SIG_IGN);
    InstallNotes();

    try {
        TJobLog log(o.LogFile, o.Image, o.LogFile.empty() ? std::string() : Sha256Hex(ReadAll(o.Image).substr(0, ImageLimit)));
        if (o.Watch) return RunWatch(o, log);
        if (o.Ports.size() > 1) return RunParallel(o, log);
        return RunSingle(o, imageSize, log);
    } catch (const Exception& e) {
        std::fprintf(stderr, "tolvane-flash: %s\n", e.what());
        std::printf("failed: %s\n", e.what());
        return exUsage;
    }
}
