#pragma once

// The line backend for serial ports on the network: rfc2217://HOST:PORT (Telnet with COM port
// control, as ser2net and terminal servers offer it) and socket://HOST:PORT (plain TCP).
//
// Open connects (at most kConnectMs in all) and, for rfc2217, negotiates the option (at most
// kNegotiateMs) and waits for the server's answer to a first query (at most kQueryMs more; a
// server that never answers is used all the same): a server that closes
// meanwhile — ser2net says "Port already in use" or "Device open failure" and hangs up — makes
// the open fail with its text. A plain socket is watched for such a close for kRawSettleMs.
// Nothing else ever waits: requests go out at once and answers are checked as they come.
//
// One thread per port reads the socket continuously into a staging buffer of kStageSize decoded
// bytes, so commands and notices are acted on at once; it stops reading only while the stage is
// full (the driver core has no room), and TCP then throttles the server. It also sends what a
// write could not send at once.
//
// Line settings go to the server as SET-BAUDRATE, -DATASIZE, -PARITY, -STOPSIZE and SET-CONTROL
// requests (only those that changed). A server that answers a framing request with another value
// raises CE_MODE later; a refused setting cannot fail SetCommState itself over the network.
// SET-CONTROL answers are never compared (servers answer them loosely). Flow control is the
// server's: the core emulates none for rfc2217 ports. Modem and line state notices become the
// modem lines and line errors; FLOWCONTROL-SUSPEND holds output until RESUME.
//
// A byte counts as sent once the TCP stack took it (the remote UART's draining cannot be seen).
// After a receive purge, rfc2217 drops input until the server answers the purge (or a query
// sent behind it), at most kPurgeMs; for socket:// bytes already on their way survive a purge.
// A lost connection reports the device gone (error 1167), as an unplugged device does.
// Keep-alive probes and TCP_USER_TIMEOUT notice a dead peer within about kDeadPeerMs.

#include "platform/comm/LineBackend.h"
#include "platform/comm/RxHold.h"
#include "platform/comm/Telnet.h"
#include "platform/ports/NetPortName.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// True when a TCP connection to the network port's server can be made within timeoutMs (it is
// closed again at once, without a word). Blocks; callers that must not block run it on a thread.
bool ProbeNetPort(const std::string& name, int timeoutMs);

class TNetBackend final : public TLineBackend, private TTelnetCodec::TEvents {
  public:
    static constexpr int kConnectMs = 5000, kNegotiateMs = 3000, kQueryMs = 1000, kRawSettleMs = 100,
                         kPurgeMs = 1000;
    static constexpr int kDeadPeerMs = 30000;
    static constexpr size_t kStageSize = 65536, kTxLimit = 65536;

    // Connects and negotiates. nullptr with *error (ERROR_BAD_NETPATH unknown host,
    // ERROR_CONNECTION_REFUSED, ERROR_SEM_TIMEOUT no answer, ERROR_ACCESS_DENIED server port busy,
    // ERROR_NOT_SUPPORTED no COM port control, ERROR_GEN_FAILURE other) and *detail, a sentence
    // naming host and port and the system's or the server's reason.
    static std::unique_ptr<TNetBackend> Open(const TNetPortName& name, DWORD* error, std::string* detail);
    ~TNetBackend() override;

    DWORD Start(TLineSink* sink) override;
    void Stop() override;
    DWORD ApplyState(const DCB& dcb) override;
    size_t Write(const BYTE* data, size_t n) override;
    size_t TxPending() const override;
    DWORD SendUrgent(BYTE c) override;
    void PurgeTx() override;
    void PurgeRx(uint64_t epoch) override;
    void RxSpace() override;
    DWORD SetDtr(bool on) override;
    DWORD SetRts(bool on) override;
    DWORD SetBreak(bool on) override;
    DWORD ModemLines() override { return FModem.load(); }
    bool HasModemLines() const override { return FTelnet; }
    bool FlowControlIsRemote() const override { return FTelnet; }

    int Fd() const { return FFd; } // the socket (tests read its options)

  private:
    TNetBackend(int fd, bool telnet);
    // A framing setting sent, and the values the server has yet to answer.
    struct TAsked {
        std::deque<uint32_t> Open; // oldest first; kQuery answers anything
        uint32_t Last = 0;
        bool Sent = false;
    };
    static constexpr uint32_t kQuery = 0xFFFFFFFFu;

    bool Negotiate(DWORD* error, std::string* detail, const std::string& shown);
    void Loop();
    void Gone();
    void Wake();
    // Decodes n received bytes into the stage (rfc2217) or copies them (socket).
    void Received(const BYTE* p, size_t n);
    bool DeliverStage();
    // Starts dropping for a receive purge asked since the last look. Called before any received
    // byte is read, so an answer to the purge is never read before the purge is noticed.
    void NoticePurge();
    // FLock held.
    void Flush();
    // Flush, then unlock, and wake the port's thread when it has something to do about it.
    void Kick(std::unique_lock<std::mutex>& lock);
    void Request(BYTE command, const BYTE* value, size_t n);
    void Ask(TAsked& a, BYTE command, uint32_t value, const BYTE* bytes, size_t n);
    void Control(BYTE value, int& last);
    size_t DataPending() const { return FData.size() - FDataOff; }

    // TTelnetCodec::TEvents (reader thread, or the opener before Start).
    void Data(const BYTE* p, size_t n) override;
    void ComPort(BYTE code, const BYTE* value, size_t n) override;

    int FFd = -1;
    int FWakeFd = -1;
    const bool FTelnet;
    TLineSink* FSink = nullptr;
    std::thread FThread;
    std::atomic<bool> FStop{false};
    std::atomic<DWORD> FModem{0};

    // Reader thread only (and the opener before Start).
    TTelnetCodec FCodec;
    TRxHold FStage;
    uint64_t FStageEpoch = 0;
    bool FDropping = false; // after a purge, until the server's answer
    uint64_t FPurgesSeen = 0;
    std::chrono::steady_clock::time_point FDropUntil{};
    std::string FOpenText; // text the server sent while the open waited
    bool FOpenAnswered = false;
    DWORD FModeErrors = 0; // CE_MODE still to report

    // FLock guards the send side and what was asked of the server; never held during an upcall.
    mutable std::mutex FLock;
    std::string FWire; // encoded bytes on their way into the socket
    size_t FWireOff = 0;
    std::string FCtl;  // encoded commands (and urgent bytes) to go before queued data
    std::string FData; // data bytes not yet encoded
    size_t FDataOff = 0;
    bool FSuspended = false;   // FLOWCONTROL-SUSPEND in force
    bool FWantOut = false;     // the socket was full: the thread waits for POLLOUT
    bool FWantSpace = false;   // a Write took less than offered: OnTxSpace is owed
    bool FTxActive = false;    // data was taken since everything was last sent
    bool FTxEmptyOwed = false; // everything was sent: OnTxEmpty is owed
    bool FBroken = false;      // a send failed: the connection is gone
    uint64_t FRxEpoch = 0;
    uint64_t FPurges = 0; // receive purges asked of the server
    TAsked FBaud, FSize, FParity, FStopBits;
    int FFlow = -1, FDtr = -1, FRts = -1, FBreak = -1;

    std::mutex FUpcallLock;
    bool FGone = false;
};
