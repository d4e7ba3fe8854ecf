#pragma once

// Servers for the network port tests: a scripted in-process one (Telnet COM port control or plain
// bytes), and the real ser2net started with a configuration of the test's own.

#include "e2e/FlashTools.h"
#include "platform/comm/NetBackend.h"

#include <arpa/inet.h>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace nettest {
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline int ListenLoopback(int* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, 4);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

// A TCP port nobody listens on (bound, then released).
inline int FreePort() {
    int port = 0;
    ::close(ListenLoopback(&port));
    return port;
}

template <class F> bool WaitUntil(F f, std::chrono::milliseconds limit = 3000ms) {
    const auto end = Clock::now() + limit;
    while (!f()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// Accepts one client. In Telnet mode it agrees to COM port control and answers each COM port
// request through Answer (default: the request's value back, as a server that took it). Records
// every byte the client sent.
class TFakeServer {
  public:
    using TAnswer = std::function<std::string(BYTE code, const std::string& value)>;
    explicit TFakeServer(bool telnet = true, TAnswer answer = {})
        : FTelnet(telnet), FAnswer(std::move(answer)) {
        FListen = ListenLoopback(&FPort);
        FThread = std::thread([this] { Run(); });
    }
    ~TFakeServer() {
        FStop = true;
        ::shutdown(FListen, SHUT_RDWR);
        {
            std::lock_guard g(FLock);
            if (FClient >= 0) ::shutdown(FClient, SHUT_RDWR);
        }
        FThread.join();
        ::close(FListen);
        if (FClient >= 0) ::close(FClient);
    }
    std::string Url() const {
        return std::string(FTelnet ? "rfc2217" : "socket") + "://127.0.0.1:" + std::to_string(FPort);
    }
    std::string Received() {
        std::lock_guard g(FLock);
        return FReceived;
    }
    void ClearReceived() {
        std::lock_guard g(FLock);
        FReceived.clear();
    }
    bool WaitReceived(const std::string& part) {
        return WaitUntil([&] { return Received().find(part) != std::string::npos; });
    }
    void Send(const std::string& bytes) {
        std::lock_guard g(FLock);
        [[maybe_unused]] ssize_t r = ::send(FClient, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    void Hangup() {
        std::lock_guard g(FLock);
        ::shutdown(FClient, SHUT_RDWR);
    }
    bool Echo = false; // plain mode: send every received byte back

  private:
    void Run() {
        const int c = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) return;
        {
            std::lock_guard g(FLock);
            FClient = c;
        }
        if (FTelnet) Send("\xff\xfd\x2c"); // DO COM-PORT-OPTION, unasked, as servers do
        std::string pending;
        char buf[4096];
        for (ssize_t n; !FStop && (n = ::recv(c, buf, sizeof buf, 0)) > 0;) {
            {
                std::lock_guard g(FLock);
                FReceived.append(buf, static_cast<size_t>(n));
            }
            if (Echo) Send(std::string(buf, static_cast<size_t>(n)));
            if (!FTelnet) continue;
            pending.append(buf, static_cast<size_t>(n));
            // Answers each complete COM port subnegotiation (values are short and IAC-free here
            // except where a test doubles them on purpose).
            for (size_t at; (at = pending.find("\xff\xfa\x2c")) != std::string::npos;) {
                const size_t end = pending.find("\xff\xf0", at + 3);
                if (end == std::string::npos) break;
                const BYTE code = static_cast<BYTE>(pending[at + 3]);
                const std::string value = pending.substr(at + 4, end - at - 4);
                pending.erase(0, end + 2);
                const std::string reply = FAnswer ? FAnswer(code, value) : Reply(code + 100, value);
                if (!reply.empty()) Send(reply);
            }
        }
    }

  public:
    static std::string Reply(int code, const std::string& value) {
        return std::string("\xff\xfa\x2c") + static_cast<char>(code) + value + "\xff\xf0";
    }

  private:
    const bool FTelnet;
    TAnswer FAnswer;
    int FListen = -1, FClient = -1, FPort = 0;
    std::atomic<bool> FStop{false};
    std::mutex FLock;
    std::string FReceived;
    std::thread FThread;
};

// ser2net in the foreground with its own configuration: one Telnet COM port control accepter and
// one plain TCP accepter for the device, on free loopback ports, no banner, no character delay.
class TSer2net {
  public:
    TSer2net(const std::string& device, const std::string& dir) : FDir(dir), FDevice(device) {
        FRfcPort = FreePort();
        FRawPort = FreePort();
    }
    static bool Available() { return ::access("/usr/sbin/ser2net", X_OK) == 0; }
    std::string Rfc2217() const { return "rfc2217://127.0.0.1:" + std::to_string(FRfcPort); }
    std::string Raw() const { return "socket://127.0.0.1:" + std::to_string(FRawPort); }
    // Starts (or starts again) and waits until it accepts.
    bool Start() {
        const std::string cfg = FDir + "/ser2net.yaml";
        std::ofstream(cfg) << "%YAML 1.1\n---\n"
                           << Connection("rfc", "telnet(rfc2217),tcp,127.0.0.1," + std::to_string(FRfcPort))
                           << Connection("raw", "tcp,127.0.0.1," + std::to_string(FRawPort));
        FChild = std::make_unique<flashtools::Child>(
            std::vector<std::string>{"/usr/sbin/ser2net", "-n", "-u", "-c", cfg}, FDir + "/ser2net.log");
        // Listening is read from the kernel's table: a probe connection would make ser2net open
        // the device and hold it a moment after the probe left.
        return WaitUntil([&] { return Listening(FRfcPort) && Listening(FRawPort); }, 5000ms);
    }
    void Kill() {
        if (!FChild) return;
        FChild->Signal(SIGKILL);
        FChild->Wait(5);
        FChild.reset();
    }

  private:
    static bool Listening(int port) {
        char local[32];
        std::snprintf(local, sizeof local, "0100007F:%04X", port);
        std::ifstream tcp("/proc/net/tcp");
        for (std::string line; std::getline(tcp, line);)
            if (line.find(local) != std::string::npos && line.find(" 0A ") != std::string::npos) return true;
        return false;
    }
    std::string Connection(const std::string& name, const std::string& accepter) const {
        return "connection: &" + name + "\n  accepter: " + accepter + "\n  connector: serialdev," + FDevice +
               ",115200n81,local\n  options:\n    kickolduser: false\n    chardelay: false\n    banner: "
               "\"\"\n";
    }
    std::string FDir, FDevice;
    int FRfcPort = 0, FRawPort = 0;
    std::unique_ptr<flashtools::Child> FChild;
};

} // namespace nettest
