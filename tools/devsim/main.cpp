// tolvane-devsim: a simulated flash device on a pseudo-terminal.

#include "tools/devsim/PtyDevice.h"
#include "tolvane/Version.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <getopt.h>
#include <string>

namespace {
devsim::TPtyDevice* gDevice = nullptr;

void OnSignal(int) {
    if (gDevice) gDevice->Stop();
}

const char* const Usage =
    "Usage: tolvane-devsim [OPTIONS]\n"
    "Plays a flash device on a pseudo-terminal and prints one line per job.\n"
    "\n"
    "  --link PATH          symbolic link to the pseudo-terminal (replaced if it is a link)\n"
    "  --output FILE        write the received flash contents to FILE after each job\n"
    "  --baud RATE          line rate for --pace and the end-command silence (default 38400)\n"
    "  --crc-errors P       answer a block with '@' with probability P (0..1)\n"
    "  --verify-errors P    answer a block with '$' with probability P (0..1)\n"
    "  --error-at LIST      block numbers (from 0, comma-separated) answered once with '@'\n"
    "  --seed N             seed of the random errors (default 1)\n"
    "  --pace               answer no faster than the wire at the line rate\n"
    "  --block-delay MS     programming time before the answer to each block\n"
    "  --stall-after N      stop answering after N accepted blocks\n"
    "  --jobs N             exit after N jobs\n"
    "  --quiet              print only errors\n"
    "  -h, --help           this text\n"
    "  --version            the program's version\n";

[[noreturn]] void UsageError(const std::string& msg) {
    std::fprintf(stderr, "tolvane-devsim: %s\n%s", msg.c_str(), Usage);
    std::exit(1);
}

long ParseLong(const char* opt, const char* s, long min) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(s, &end, 10);
    if (errno || end == s || *end || v < min) UsageError(std::string("bad value for ") + opt + ": " + s);
    return v;
}

double ParseProbability(const char* opt, const char* s) {
    char* end = nullptr;
    const double v = std::strtod(s, &end);
    if (end == s || *end || !(v >= 0.0 && v <= 1.0))
        UsageError(std::string("bad probability for ") + opt + ": " + s);
    return v;
}
} // namespace

int main(int argc, char** argv) {
    devsim::TPtyOptions o;
    bool quiet = false;
    enum {
        oLink = 256,
        oOutput,
        oBaud,
        oCrc,
        oVerify,
        oErrorAt,
        oSeed,
        oPace,
        oDelay,
        oStall,
        oJobs,
        oQuiet,
        oVersion
    };
    static const option longs[] = {{"link", required_argument, nullptr, oLink},
                                   {"output", required_argument, nullptr, oOutput},
                                   {"baud", required_argument, nullptr, oBaud},
                                   {"crc-errors", required_argument, nullptr, oCrc},
                                   {"verify-errors", required_argument, nullptr, oVerify},
                                   {"error-at", required_argument, nullptr, oErrorAt},
                                   {"seed", required_argument, nullptr, oSeed},
                                   {"pace", no_argument, nullptr, oPace},
                                   {"block-delay", required_argument, nullptr, oDelay},
                                   {"stall-after", required_argument, nullptr, oStall},
                                   {"jobs", required_argument, nullptr, oJobs},
                                   {"quiet", no_argument, nullptr, oQuiet},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, oVersion},
                                   {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "h", longs, nullptr)) != -1) {
        switch (c) {
        case oLink:
            o.Link = optarg;
            break;
        case oOutput:
            o.Output = optarg;
            break;
        case oBaud:
            o.Baud = static_cast<uint32_t>(ParseLong("--baud", optarg, 1));
            break;
        case oCrc:
            o.Device.CrcErrors = ParseProbability("--crc-errors", optarg);
            break;
        case oVerify:
            o.Device.VerifyErrors = ParseProbability("--verify-errors", optarg);
            break;
        case oErrorAt: {
            std::string list = optarg;
            std::size_t pos = 0;
            while (pos <= list.size()) {
                const std::size_t comma = list.find(',', pos);
                const std::string item = list.substr(pos, comma == std::string::npos ? comma : comma - pos);
                o.Device.ErrorAt.insert(static_cast<uint32_t>(ParseLong("--error-at", item.c_str(), 0)));
                if (comma == std::string::npos) break;
                pos = comma + 1;
            }
            break;
        }
        case oSeed:
            o.Device.Seed = static_cast<uint64_t>(ParseLong("--seed", optarg, 0));
            break;
        case oPace:
            o.Pace = true;
            break;
        case oDelay:
            o.BlockDelayMs = static_cast<uint32_t>(ParseLong("--block-delay", optarg, 0));
            break;
        case oStall:
            o.Device.StallAfter = ParseLong("--stall-after", optarg, 0);
            break;
        case oJobs:
            o.Jobs = ParseLong("--jobs", optarg, 1);
            break;
        case oQuiet:
            quiet = true;
            break;
        case 'h':
            std::fputs(Usage, stdout);
            return 0;
        case oVersion:
            std::printf("tolvane-devsim %s\n", TOLVANE_VERSION);
            return 0;
        default:
            UsageError("unknown option");
        }
    }
    if (optind < argc) UsageError(std::string("unexpected argument: ") + argv[optind]);
    // Found out now rather than after the first job, when the device's contents would be lost.
    if (!o.Output.empty()) {
        if (const std::string problem = devsim::TPtyDevice::OutputProblem(o.Output); !problem.empty()) {
            std::fprintf(stderr, "tolvane-devsim: %s\n", problem.c_str());
            return 1;
        }
    }

    try {
        devsim::TPtyDevice device(o);
        device.Open();
        gDevice = &device;
        struct sigaction sa {};
        sa.sa_handler = OnSignal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
        std::signal(SIGPIPE, SIG_IGN);
        if (!quiet) {
            std::printf("device on %s%s%s\n", device.SlavePath().c_str(), o.Link.empty() ? "" : " linked as ",
                        o.Link.c_str());
            std::fflush(stdout);
        }
        device.Run([&](const devsim::TJobReport& r) {
            if (quiet) return;
            std::printf("job %u: blocks %u, bytes %zu, resends %u, end command %s\n", r.Number, r.Blocks,
                        r.Flash.size(), r.Resends, r.EndCommand ? "received" : "not received");
            std::fflush(stdout);
        });
        gDevice = nullptr;
    } catch (const std::exception& e) {
        gDevice = nullptr;
        std::fprintf(stderr, "tolvane-devsim: %s\n", e.what());
        return 3;
    }
    return 0;
}
