// Network ports against an in-process server: the bytes of each request, data with 0xFF both ways,
// notices into events, refusals, and the ways an open fails.

#include "NetFixtures.h"

#include <netinet/tcp.h>

using namespace nettest;

namespace {

HANDLE OpenPort(const std::string& name) {
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

std::string ReadExactly(HANDLE h, size_t n) {
    COMMTIMEOUTS t{};
    t.ReadTotalTimeoutConstant = 3000;
    SetCommTimeouts(h, &t);
    std::string out(n, '\0');
    DWORD done = 0;
    ReadFile(h, out.data(), static_cast<DWORD>(n), &done, nullptr);
    out.resize(done);
    return out;
}

std::string Req(BYTE code, const std::string& value) {
    return TFakeServer::Reply(code, value);
}

} // namespace

TEST(NetPort, EachSettingGoesOutAsItsRequest) {
    TFakeServer server;
    HANDLE h = OpenPort(server.Url());
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << CommOpenErrorText();
    DCB dcb{};
    GetCommState(h, &dcb);
    struct Row {
        const char* what;
        std::function<void(DCB&)> change;
        std::string request;
    };
    const Row rows[] = {
        {"rate", [](DCB& d) { d.BaudRate = 115200; }, Req(1, std::string("\x00\x01\xc2\x00", 4))},
        {"rate with 0xFF inside", [](DCB& d) { d.BaudRate = 0x0001FFFF; },
         Req(1, std::string("\x00\x01\xff\xff\xff\xff", 6))},
        {"data bits", [](DCB& d) { d.ByteSize = 7; }, Req(2, "\x07")},
        {"parity", [](DCB& d) { d.Parity = EVENPARITY; }, Req(3, "\x03")},
        {"stop bits", [](DCB& d) { d.StopBits = TWOSTOPBITS; }, Req(4, "\x02")},
        {"hardware flow", [](DCB& d) { d.fOutxCtsFlow = 1, d.fRtsControl = RTS_CONTROL_HANDSHAKE; },
         Req(5, "\x03")},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        server.ClearReceived();
        r.change(dcb);
        ASSERT_TRUE(SetCommState(h, &dcb));
        EXPECT_TRUE(server.WaitReceived(r.request));
    }
    const std::pair<DWORD, const char*> lines[] = {{SETBREAK, "\x05"}, {CLRBREAK, "\x06"}, {CLRDTR, "\x09"}};
    for (auto [func, value] : lines) {
        server.ClearReceived();
        ASSERT_TRUE(EscapeCommFunction(h, func));
        EXPECT_TRUE(server.WaitReceived(Req(5, value))) << func;
    }
    DWORD errors = 0;
    ClearCommError(h, &errors, nullptr);
    EXPECT_EQ(errors, 0u) << "every answer matched its request";
    CloseHandle(h);
}

TEST(NetPort, DataWith0xFFArrivesExactlyHoweverTheReadsSplitIt) {
    TFakeServer server;
    HANDLE h = OpenPort(server.Url());
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << CommOpenErrorText();
    // The flash start and end commands go out with each 0xFF doubled.
    const std::string commands("\xff\x01\x78\xff\xff\xff\xff", 7);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(h, commands.data(), 7, &done, nullptr));
    EXPECT_TRUE(server.WaitReceived(std::string("\xff\xff\x01\x78\xff\xff\xff\xff\xff\xff\xff\xff", 12)));
    // From the server: doubled 0xFF and a modem notice between data bytes, cut at every position.
    const std::string wire = std::string("A\xff\xff", 3) + Req(107, "\x10") +
                             std::string("B\xff\xff\xff\xff"
                                         "C",
                                         6);
    for (size_t cut = 1; cut < wire.size(); ++cut) {
        SCOPED_TRACE(cut);
        server.Send(wire.substr(0, cut));
        std::this_thread::sleep_for(1ms);
        server.Send(wire.substr(cut));
        EXPECT_EQ(ReadExactly(h, 6), std::string("A\xff"
                                                 "B\xff\xff"
                                                 "C",
                                                 6));
    }
    DWORD modem = 0;
    GetCommModemStatus(h, &modem);
    EXPECT_EQ(modem, MS_CTS_ON);
    CloseHandle(h);
}

TEST(NetPort, ModemAndLineNoticesBecomeEventsAndErrors) {
    TFakeServer server;
    HANDLE h = OpenPort(server.Url());
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << CommOpenErrorText();
    SetCommMask(h, EV_CTS | EV_DSR | EV_RING | EV_RLSD | EV_ERR | EV_BREAK);
    struct Row {
        std::string notice;
        DWORD events, modem, errors;
    };
    const Row rows[] = {
        {Req(107, "\x11"), EV_CTS, MS_CTS_ON, 0},
        {Req(107, "\xb3"), EV_DSR | EV_RLSD, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON, 0},
        {Req(107, "\xb4"), EV_RING, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON, 0}, // ring came and went
        {Req(106, "\x08"), EV_ERR, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON, CE_FRAME},
        {Req(106, "\x12"), EV_ERR | EV_BREAK, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON, CE_OVERRUN | CE_BREAK},
    };
    for (const Row& r : rows) {
        DWORD seen = 0;
        server.Send(r.notice);
        EXPECT_TRUE(WaitUntil([&] {
            DWORD ev = 0;
            OVERLAPPED ov{};
            ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            if (WaitCommEvent(h, &ev, &ov) || WaitForSingleObject(ov.hEvent, 100) == WAIT_OBJECT_0) {
                DWORD n = 0;
                GetOverlappedResult(h, &ov, &n, FALSE);
                seen |= ev;
            } else {
                SetCommMask(h, EV_CTS | EV_DSR | EV_RING | EV_RLSD | EV_ERR | EV_BREAK); // ends the wait
            }
            CloseHandle(ov.hEvent);
            return (seen & r.events) == r.events;
        })) << std::hex
            << seen;
        // A pulse is told as two states, the event with the first: the lines settle on the second.
        DWORD modem = 0, errors = 0;
        EXPECT_TRUE(WaitUntil([&] { return GetCommModemStatus(h, &modem) && modem == r.modem; })) << modem;
        ClearCommError(h, &errors, nullptr);
        EXPECT_EQ(errors, r.errors);
    }
    CloseHandle(h);
}

TEST(NetPort, RefusedSettingIsAModeErrorAndASilentServerStillServes) {
    // Answers every rate request with 9600: the server did not take it.
    TFakeServer refusing(true, [](BYTE code, const std::string& value) {
        return TFakeServer::Reply(code + 100, code == 1 && value != std::string(4, '\0')
                                                  ? std::string("\x00\x00\x25\x80", 4)
                                                  : value);
    });
    HANDLE h = OpenPort(refusing.Url());
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << CommOpenErrorText();
    DCB dcb{};
    GetCommState(h, &dcb);
    dcb.BaudRate = 115200;
    ASSERT_TRUE(SetCommState(h, &dcb)) << "a refusal cannot be known yet";
    DWORD errors = 0;
    EXPECT_TRUE(WaitUntil([&] {
        DWORD e = 0;
        ClearCommError(h, &e, nullptr);
        errors |= e;
        return errors != 0;
    }));
    EXPECT_EQ(errors, static_cast<DWORD>(CE_MODE));
    CloseHandle(h);

    TFakeServer silent(true, [](BYTE, const std::string&) { return std::string(); });
    const auto t0 = Clock::now();
    h = OpenPort(silent.Url());
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << CommOpenErrorText();
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(TNetBackend::kQueryMs + 1000));
    ASSERT_TRUE(SetCommState(h, &dcb));
    silent.Send("ok");
    EXPECT_EQ(ReadExactly(h, 2), "ok");
    ClearCommError(h, &errors, nullptr);
    EXPECT_EQ(errors, 0u) << "no answer is no refusal";
    CloseHandle(h);
}

TEST(NetPort, OpenFailuresNameHostPortAndReason) {
    const std::string closed = "127.0.0.1:" + std::to_string(FreePort());
    struct Row {
        std::string name;
        DWORD code;
        std::string text;
    };
    const Row rows[] = {
        {"rfc2217://" + closed, ERROR_CONNECTION_REFUSED, closed + ": Connection refused"},
        {"socket://" + closed, ERROR_CONNECTION_REFUSED, closed + ": Connection refused"},
        {"rfc2217://no-such-host.invalid:2217", ERROR_BAD_NETPATH, "no-such-host.invalid:2217: "},
        {"rfc2217://rack1", ERROR_INVALID_NAME, "the TCP port is missing"},
        {"socket://::1:80", ERROR_INVALID_NAME, "brackets"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(OpenPort(r.name), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), r.code);
        EXPECT_NE(CommOpenErrorText().find(r.text), std::string::npos) << CommOpenErrorText();
    }
    // A server that says why and hangs up during the negotiation.
    const std::pair<std::string, DWORD> says[] = {
        {"Port already in use", ERROR_ACCESS_DENIED},
        {"Device open failure: Value or file not found", ERROR_GEN_FAILURE}};
    for (const auto& [text, code] : says) {
        TFakeServer server(true, [](BYTE, const std::string&) { return std::string(); });
        std::thread hang([&] {
            server.WaitReceived("\xff\xfa\x2c");
            server.Send(text + "\r\n");
            server.Hangup();
        });
        EXPECT_EQ(OpenPort(server.Url()), INVALID_HANDLE_VALUE);
        hang.join();
        EXPECT_EQ(GetLastError(), code);
        EXPECT_NE(CommOpenErrorText().find("the server closed the connection: " + text), std::string::npos)
            << CommOpenErrorText();
    }
}

TEST(NetPort, LostConnectionIsARemovalAndPlainSocketsCarryBytesOnly) {
    TFakeServer echo(false);
    echo.Echo = true;
    HANDLE h = OpenPort(echo.Url());
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << CommOpenErrorText();
    DCB dcb{};
    GetCommState(h, &dcb);
    dcb.BaudRate = 115200;
    ASSERT_TRUE(SetCommState(h, &dcb));
    const std::string bytes("\xff\x01\x78\x00\xff\xff", 6);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(h, bytes.data(), 6, &done, nullptr));
    EXPECT_EQ(ReadExactly(h, 6), bytes);
    EXPECT_EQ(echo.Received(), bytes) << "no Telnet, no requests on a plain socket";

    // The server goes away while a read waits.
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char c;
    COMMTIMEOUTS t{};
    SetCommTimeouts(h, &t);
    EXPECT_FALSE(ReadFile(h, &c, 1, &done, &ov));
    echo.Hangup();
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 3000), WAIT_OBJECT_0);
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &done, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    CloseHandle(ov.hEvent);
    CloseHandle(h);
}

TEST(NetPort, SocketIsSetUpForOneByteRepliesAndDeadPeers) {
    TFakeServer server;
    DWORD error = 0;
    std::string detail;
    auto b = TNetBackend::Open(*ParseNetPortName(server.Url()), &error, &detail);
    ASSERT_TRUE(b) << detail;
    auto opt = [&](int level, int name) {
        int v = 0;
        socklen_t len = sizeof v;
        ::getsockopt(b->Fd(), level, name, &v, &len);
        return v;
    };
    EXPECT_EQ(opt(IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(opt(SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(opt(IPPROTO_TCP, TCP_USER_TIMEOUT), TNetBackend::kDeadPeerMs);
    EXPECT_GT(opt(IPPROTO_TCP, TCP_KEEPIDLE) * 1000 +
                  opt(IPPROTO_TCP, TCP_KEEPINTVL) * opt(IPPROTO_TCP, TCP_KEEPCNT) * 1000,
              0);
}

TEST(NetPort, FloodLargerThanEveryBufferArrivesWhole) {
    TFakeServer server;
    HANDLE h = OpenPort(server.Url());
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << CommOpenErrorText();
    std::string data(3 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((i * 7) ^ (i >> 11));
    std::string wire;
    TTelnetCodec::AppendData(wire, reinterpret_cast<const BYTE*>(data.data()), data.size());
    std::thread sender([&] { server.Send(wire); });
    std::this_thread::sleep_for(300ms); // every buffer fills before the first read
    std::string got;
    while (got.size() < data.size()) {
        const std::string part = ReadExactly(h, 65536);
        if (part.empty()) break;
        got += part;
    }
    sender.join();
    EXPECT_TRUE(got == data) << got.size() << " of " << data.size();
    DWORD errors = 0;
    ClearCommError(h, &errors, nullptr);
    EXPECT_EQ(errors, 0u);
    CloseHandle(h);
}

// Bytes that follow a receive purge's answer are kept, however soon the server answers: the answer
// may be read before the port's reader thread has looked at the purge at all.
TEST(NetPort, BytesAfterAPromptlyAnsweredPurgeAreKept) {
    TFakeServer* self = nullptr;
    TFakeServer server(true, [&](BYTE code, const std::string& value) -> std::string {
        if (code != 1 || value != std::string(4, '\0')) return Req(code + 100, value);
        // The rate query behind a purge: answered at once, the device's byte a little later.
        self->Send(Req(101, std::string("\x00\x00\x25\x80", 4)));
        std::this_thread::sleep_for(20ms);
        return "X";
    });
    self = &server;
    HANDLE h = OpenPort(server.Url());
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << CommOpenErrorText();
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(PurgeComm(h, PURGE_RXCLEAR));
        ASSERT_EQ(ReadExactly(h, 1), "X");
    }
    CloseHandle(h);
}
