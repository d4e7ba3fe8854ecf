// The flash exchange over network serial ports served by the real ser2net on loopback.
// 1. Turnaround (a block of 267 bytes written -> the device's '!' read) with our port on an
//    rfc2217:// URL against a bare TCP client through the same ser2net accepter in the same run
//    (it speaks just enough Telnet: 0xFF doubled out and undoubled in, commands skipped); beside
//    them socket:// to a raw accepter, a bare client on that one, and our port on the pty itself.
//    The phases alternate over several rounds and their samples are pooled.
// 2. tolvane-flash over 8 rfc2217 ports, devices paced at 921600 bit/s, against one such port.
//   bench_net_flash [blocks [rounds]]   (default 5000 and 3; needs /usr/sbin/ser2net, and
//   tolvane-flash and tolvane-devsim in ../tools beside the bench folder or $TOLVANE_BUILD_DIR/tools)
#include "platform/comm/WinComm.h"
#include "tools/devsim/PtyDevice.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {
constexpr size_t kBlock = devsim::DeviceBlockSize;
constexpr size_t kWarmup = 200;

// Thrown, so that the children, the device thread and the folder are cleaned up on the way out.
[[noreturn]] void Die(const std::string& why) {
    throw std::runtime_error(why);
}

std::string Random(size_t n, unsigned seed) {
    std::string s(n, '\0');
    std::mt19937 gen(seed);
    for (auto& c : s)
        c = static_cast<char>(gen());
    return s;
}

template <class F> bool WaitUntil(F f, std::chrono::milliseconds limit) {
    for (const auto end = Clock::now() + limit; !f(); std::this_thread::sleep_for(2ms))
        if (Clock::now() > end) return false;
    return true;
}

// A child process with stdout and stderr in a log; stopped and reaped when the object goes.
struct TChild {
    pid_t Pid = -1;
    TChild(const std::vector<std::string>& args, const std::string& log, const std::string& cwd) {
        if ((Pid = ::fork()) != 0) return;
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, 1), ::dup2(fd, 2);
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (::chdir(cwd.c_str()) == 0) ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int Wait() {
        int st = 0;
        ::waitpid(std::exchange(Pid, -1), &st, 0);
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    ~TChild() {
        if (Pid > 0) ::kill(Pid, SIGTERM), ::waitpid(Pid, nullptr, 0);
    }
};

sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

// A loopback TCP port nobody listens on (bound, then released).
int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// Read from the kernel's table: a probe connection would make ser2net open the device.
bool Listening(int port) {
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", port);
    std::ifstream tcp("/proc/net/tcp");
    for (std::string line; std::getline(tcp, line);)
        if (line.find(local) != std::string::npos && line.find(" 0A ") != std::string::npos) return true;
    return false;
}

struct TConnection {
    std::string Accepter; // "telnet(rfc2217),tcp" or "tcp"
    std::string Device;
    int Port = FreePort();
};

// ser2net in the foreground with its own configuration, as the network tests start it.
std::unique_ptr<TChild> StartSer2net(const std::string& dir, const std::vector<TConnection>& conns) {
    std::ofstream cfg(dir + "/ser2net.yaml");
    cfg << "%YAML 1.1\n---\n";
    for (size_t i = 0; i < conns.size(); ++i)
        cfg << "connection: &c" << i << "\n  accepter: " << conns[i].Accepter << ",127.0.0.1,"
            << conns[i].Port << "\n  connector: serialdev," << conns[i].Device
            << ",115200n81,local\n  options:\n"
            << "    kickolduser: false\n    chardelay: false\n    banner: \"\"\n";
    cfg.close();
    auto child = std::make_unique<TChild>(
        std::vector<std::string>{"/usr/sbin/ser2net", "-n", "-u", "-c", dir + "/ser2net.yaml"},
        dir + "/ser2net.log", dir);
    auto all = [&] {
        return std::all_of(conns.begin(), conns.end(), [](auto& c) { return Listening(c.Port); });
    };
    if (!WaitUntil(all, 5000ms)) Die("ser2net did not start listening, see " + dir + "/ser2net.log");
    return child;
}

struct TLink {
    virtual ~TLink() = default;
    virtual void Send(const char* p, size_t n) = 0;
    virtual bool Get(char& c) = 0; // false: nothing within 5 s
};

// Our port through the Win-style API: overlapped writes; a character event, then an immediate read.
struct TPortLink : TLink {
    HANDLE H, Ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED Ov{};
    explicit TPortLink(const std::string& name) {
        H = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, nullptr);
        if (H == INVALID_HANDLE_VALUE) Die("open " + name + " failed: " + std::to_string(GetLastError()));
        DCB d{};
        GetCommState(H, &d);
        d.BaudRate = 115200;
        SetCommState(H, &d);
        COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};
        SetCommTimeouts(H, &t);
        SetCommMask(H, EV_RXCHAR);
    }
    ~TPortLink() override { CloseHandle(H), CloseHandle(Ev); }
    OVERLAPPED* Fresh() {
        Ov = OVERLAPPED{};
        Ov.hEvent = Ev;
        ResetEvent(Ev);
        return &Ov;
    }
    bool Finish(BOOL ok, DWORD& done) {
        return ok || (GetLastError() == ERROR_IO_PENDING && WaitForSingleObject(Ev, 5000) == WAIT_OBJECT_0 &&
                      GetOverlappedResult(H, &Ov, &done, FALSE));
    }
    void Send(const char* p, size_t n) override {
        DWORD done = 0;
        if (!Finish(WriteFile(H, p, static_cast<DWORD>(n), &done, Fresh()), done) || done != n)
            Die("write failed");
    }
    bool Get(char& c) override {
        for (DWORD done = 0, mask = 0;;) {
            if (!Finish(ReadFile(H, &c, 1, &done, Fresh()), done)) return false;
            if (done == 1) return true;
            if (!Finish(WaitCommEvent(H, &mask, Fresh()), done)) return false;
        }
    }
};

// A bare blocking TCP client; with Telnet, 0xFF is doubled out and undoubled in, commands skipped.
struct TSocketLink : TLink {
    int Fd = ::socket(AF_INET, SOCK_STREAM, 0);
    bool Telnet;
    int State = 0; // 0 data, 1 after IAC, 2 its option byte, 3 subnegotiation, 4 IAC in it
    std::string In, Out;
    size_t At = 0;
    TSocketLink(int port, bool telnet) : Telnet(telnet) {
        const sockaddr_in a = Loopback(port);
        if (::connect(Fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) Die("connect failed");
        const int one = 1;
        ::setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~TSocketLink() override { ::close(Fd); }
    void Send(const char* p, size_t n) override {
        Out.clear();
        for (size_t i = 0; i < n; ++i)
            Out.append(Telnet && p[i] == '\xff' ? 2 : 1, p[i]);
        for (size_t off = 0; off < Out.size();) {
            const ssize_t k = ::send(Fd, Out.data() + off, Out.size() - off, MSG_NOSIGNAL);
            if (k <= 0) Die("send failed");
            off += static_cast<size_t>(k);
        }
    }
    bool Get(char& c) override {
        while (At == In.size()) {
            In.clear(), At = 0;
            pollfd pf{Fd, POLLIN, 0};
            char buf[4096];
            const ssize_t n = ::poll(&pf, 1, 5000) == 1 ? ::recv(Fd, buf, sizeof buf, 0) : -1;
            if (n <= 0) return false;
            for (ssize_t i = 0; i < n; ++i) {
                const auto b = static_cast<unsigned char>(buf[i]);
                if (!Telnet || (State == 0 && b != 0xff) || (State == 1 && b == 0xff)) {
                    In.push_back(buf[i]);
                    State = 0;
                } else if (State <= 1) { // IAC; then WILL..DONT take an option byte, SB runs to IAC SE
                    State = State == 0 ? 1 : b >= 251 ? 2 : b == 250 ? 3 : 0;
                } else {
                    State = State == 2 ? 0 : State == 3 ? (b == 0xff ? 4 : 3) : (b == 0xf0 ? 0 : 3);
                }
            }
        }
        c = In[At++];
        return true;
    }
};

// One flash job as the tool runs it: start command, '>', '<', '!', each block answered with '!',
// the end command. Returns the µs from each block's write to its '!' read, the warm-up left out.
std::vector<double> Exchange(TLink& l, const std::string& image) {
    auto expect = [&](char want) {
        char c = 0;
        if (!l.Get(c) || c != want)
            Die(std::string("expected '") + want + "', got " + std::to_string(c & 0xff));
    };
    l.Send("\xff\x01\x78", 3);
    expect('>');
    l.Send("<", 1);
    expect('!');
    std::vector<double> us;
    for (size_t i = 0; i * kBlock < image.size(); ++i) {
        const auto t0 = Clock::now();
        l.Send(image.data() + i * kBlock, kBlock);
        expect('!');
        if (i >= kWarmup) us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    l.Send("\xff\xff\xff\xff", 4);
    return us;
}

double At(const std::vector<double>& v, double q) {
    return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
}

void Turnaround(const std::string& dir, size_t blocks, int rounds) {
    devsim::TPtyDevice device(devsim::TPtyOptions{});
    device.Open();
    std::mutex lock;
    std::vector<devsim::TJobReport> jobs;
    auto onJob = [&](const devsim::TJobReport& r) {
        std::lock_guard g(lock);
        jobs.push_back(r);
    };
    auto count = [&] {
        std::lock_guard g(lock);
        return jobs.size();
    };
    struct TSim {
        devsim::TPtyDevice& Device;
        std::thread Thread;
        ~TSim() { Device.Stop(), Thread.join(); }
    } sim{device, std::thread([&] { device.Run(onJob); })};
    const std::vector<TConnection> conns{{"telnet(rfc2217),tcp", device.SlavePath()},
                                         {"tcp", device.SlavePath()}};
    auto ser2net = StartSer2net(dir, conns);
    const int rfc = conns[0].Port, raw = conns[1].Port;
    struct TPhase {
        const char* Name;
        std::string Port; // our port's name; empty: a bare client on TCP port Bare
        int Bare;
        bool Telnet;
        std::vector<double> Us = {};
    };
    std::vector<TPhase> phases{
        {"ours, rfc2217:// via ser2net", "rfc2217://127.0.0.1:" + std::to_string(rfc), 0, true},
        {"bare TCP + Telnet, same accepter", "", rfc, true},
        {"ours, socket:// via ser2net raw", "socket://127.0.0.1:" + std::to_string(raw), 0, false},
        {"bare TCP, raw accepter", "", raw, false},
        {"ours, pty directly", device.SlavePath(), 0, false},
    };
    const std::string image = Random((blocks + kWarmup) * kBlock, 7);
    for (int r = 0; r < rounds; ++r)
        for (auto& p : phases) {
            std::unique_ptr<TLink> link;
            if (p.Port.empty())
                link = std::make_unique<TSocketLink>(p.Bare, p.Telnet);
            else
                link = std::make_unique<TPortLink>(p.Port);
            const size_t before = count();
            auto us = Exchange(*link, image);
            // The job ends after the end command's silence; what the device holds must be the image.
            if (!WaitUntil([&] { return count() > before; }, 3000ms))
                Die(std::string(p.Name) + ": the device never saw the end command");
            if (std::lock_guard g(lock); !jobs[before].EndCommand || jobs[before].Flash != image)
                Die(std::string(p.Name) + ": the flash contents differ from the image");
            p.Us.insert(p.Us.end(), us.begin(), us.end());
            link.reset();
            std::this_thread::sleep_for(50ms); // ser2net lets the device go
        }
    std::printf("turnaround (block of %zu bytes written -> '!' read), %zu blocks x %d rounds, us\n", kBlock,
                blocks, rounds);
    std::printf("  %-34s %8s %8s %8s\n", "", "p50", "p90", "p99");
    for (auto& p : phases) {
        std::sort(p.Us.begin(), p.Us.end());
        std::printf("  %-34s %8.1f %8.1f %8.1f\n", p.Name, At(p.Us, 0.5), At(p.Us, 0.9), At(p.Us, 0.99));
    }
    const double ratio = At(phases[0].Us, 0.5) / At(phases[1].Us, 0.5);
    std::printf("  p50 ours / bare, rfc2217 accepter: %.2f (target <= 1.3: %s)\n", ratio,
                ratio <= 1.3 ? "met" : "MISSED");
    std::printf("  p50 ours / bare, raw accepter:     %.2f\n", At(phases[2].Us, 0.5) / At(phases[3].Us, 0.5));
}

// tolvane-flash over 8 rfc2217 ports to devices paced at 921600 bit/s, against one such port.
void Factory(const std::string& dir, int n) {
    const char* b = std::getenv("TOLVANE_BUILD_DIR");
    const std::string tools =
        b ? std::string(b) + "/tools"
          : (std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "tools").string();
    const std::string flash = tools + "/tolvane-flash", sim = tools + "/tolvane-devsim";
    if (::access(flash.c_str(), X_OK) != 0 || ::access(sim.c_str(), X_OK) != 0) Die("no tools in " + tools);
    const std::string image = dir + "/image.flash";
    std::ofstream(image, std::ios::binary) << Random(300000, 1);
    std::vector<std::unique_ptr<TChild>> devices;
    std::vector<TConnection> conns;
    std::string all;
    for (int i = 1; i <= n; ++i) {
        const std::string link = dir + "/dev" + std::to_string(i);
        devices.push_back(std::make_unique<TChild>(
            std::vector<std::string>{sim, "--link", link, "--pace", "--baud", "921600", "--quiet"},
            link + ".log", dir));
        if (!WaitUntil([&] { return std::filesystem::is_symlink(link); }, 3000ms)) Die("no tolvane-devsim");
        conns.push_back({"telnet(rfc2217),tcp", std::filesystem::read_symlink(link).string()});
        all += (i > 1 ? ",rfc2217://127.0.0.1:" : "rfc2217://127.0.0.1:") + std::to_string(conns.back().Port);
    }
    auto ser2net = StartSer2net(dir, conns);
    auto run = [&](const std::string& ports) {
        // A start command within the end-command silence (20 ms) of the last job would be block data.
        std::this_thread::sleep_for(200ms);
        const auto t0 = Clock::now();
        TChild tool({flash, "-b", "921600", "-t", "10", "-p", ports, image}, dir + "/flash.log", dir);
        const int rc = tool.Wait(); // 0 only when every port was written
        if (rc != 0) Die("tolvane-flash -p " + ports + ": exit " + std::to_string(rc));
        return std::chrono::duration<double>(Clock::now() - t0).count();
    };
    const double direct = run(dir + "/dev1");
    const double one = run(all.substr(0, all.find(',')));
    const double many = run(all);
    const double wire = (3 + 1 + 1 + 1125 + 1124.0 * kBlock + 4) * 10 / 921600;
    std::printf("tolvane-flash, 300000-byte image, devices paced at 921600 bit/s (wire time %.3f s)\n", wire);
    std::printf("  one port, pty directly:      %.3f s\n", direct);
    std::printf("  one port, rfc2217 (ser2net): %.3f s\n", one);
    std::printf("  %d ports, rfc2217 (ser2net):  %.3f s   ratio %.3f (target <= 1.15: %s)\n", n, many,
                many / one, many / one <= 1.15 ? "met" : "MISSED");
}
} // namespace

int main(int argc, char** argv) {
    const long blocks = argc > 1 ? std::atol(argv[1]) : 5000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    if (blocks <= 0 || rounds <= 0 || argc > 3) {
        std::fprintf(stderr, "usage: %s [blocks [rounds]]\n", argv[0]);
        return 2;
    }
    char tmpl[] = "/tmp/tolvane-bench-XXXXXX";
    if (::access("/usr/sbin/ser2net", X_OK) != 0 || !::mkdtemp(tmpl)) {
        std::fprintf(stderr, "bench_net_flash: needs /usr/sbin/ser2net and a folder in /tmp\n");
        return 1;
    }
    std::signal(SIGPIPE, SIG_IGN);
    int rc = 0;
    try {
        Turnaround(tmpl, static_cast<size_t>(blocks), rounds);
        Factory(tmpl, 8);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_net_flash: %s\n", e.what());
        rc = 1;
    }
    std::filesystem::remove_all(tmpl);
    return rc;
}
