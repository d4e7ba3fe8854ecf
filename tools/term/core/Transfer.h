#pragma once

// XMODEM, YMODEM and ZMODEM transfers over a port, run by the lrzsz programs (sx, sb, sz to send;
// rx, rb, rz to receive). The program runs as a child process whose stdin and stdout are pipes: a
// relay hands what the port receives to the program and writes what the program says to the port
// through the port's own write path. So a transfer works on every kind of port (tty, network,
// in-process virtual device), and the program never touches the port's line settings or its
// blocking mode (its stdin and stdout are no terminal, so its attempts to set one up fail quietly;
// lrzsz has no option to skip them).
//
// What the programs are asked (TransferCommand):
//   send     XMODEM, XMODEM-CRC   sx -vv FILE          (the receiver picks checksum or CRC)
//            XMODEM-1K            sx -k -vv FILE
//            YMODEM               sb -k -vv FILE       (1 KiB blocks; every YMODEM receiver takes them)
//            ZMODEM               sz -b -vv FILE       (binary: no newline conversion)
//   receive  XMODEM               rx -B 4096 -vv ./NAME      (run in the file's folder)
//            XMODEM-CRC, -1K      rx -c -B 4096 -vv ./NAME   (CRC; 1 KiB blocks come with CRC)
//            YMODEM               rb --rename -B 4096 -vv    (run in the target folder)
//            ZMODEM               rz --rename -vv            (run in the target folder)
// Nothing is overwritten silently: an XMODEM receive refuses to start when the file exists (rx
// would overwrite it; delete it first when the user agreed), and YMODEM and ZMODEM receives store
// an incoming file whose name is taken under NAME.0, NAME.1, ... (the "Receiving:" line names the
// file written). rb and rz keep lrzsz's restricted mode: names with a folder above the target or an
// absolute path are refused.
//
// Contents: XMODEM carries whole blocks only, so the file an XMODEM receive writes keeps the
// sender's padding (0x1A bytes up to the end of the last block; lrzsz sends the end of a file in
// 128-byte blocks, other senders may pad up to 1024). YMODEM and ZMODEM give the exact bytes.
//
// Progress: lrzsz writes its progress to stderr, lines ended by CR or LF. The byte count is read
// from these forms (the rest of a line is ignored):
//   "Bytes Sent: N", "Bytes received: N" (optionally "N/ TOTAL")   exact (sz, rz; every program's
//                                                                  closing line)
//   "Xmodem sectors/kbytes sent: S/ Kk", "Ymodem sectors/..."      S 128-byte sectors (sx, sb)
//   "Blocks received: B"                                           B blocks (rx, rb), the block
//                                                                  number counting 0..255 over
//                                                                  and over
// A block carries 128 or 1024 bytes, and the receiver does not say which: a "Blocks received" line
// reports the larger of B * 128 and the size of the file being written (rx and rb are asked to
// write every 4 KiB), so the count never runs ahead of the data. Such counts are reported only when
// they grow (sb also counts its closing empty block from 0 again); exact counts always. Counts are
// a file's: a "Sending: NAME" or "Receiving: NAME" line starts the next file of a batch from 0. rb and rz
// write the per-block lines only because lrzsz 0.12.21 counts its --rename option as one more -v;
// another version may show only the closing line.
//
// Threads: Start, Cancel, Wait and the destructor on the owner thread (the one that opens and
// closes the port). Received bytes reach the transfer through its link on the port's delivery
// thread (the event thread with smNone, else the thread the port's SyncMethod names); they are
// queued there, and wait there (until the program has read, or has ended) only when more than
// QueueLimit bytes are queued: nothing received is dropped. OnProgress runs on the thread that reads
// the program's stderr, OnDone on the same thread once the program has ended, every other thread
// of the transfer has ended and the link is unregistered: hand them on, never block there, never
// call Start or Wait from them. Every link of the port hears the received bytes: the terminal
// should not show them while a transfer runs. The owner cancels and waits before it closes the
// port.

#include "cport/ComLink.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

class TCustomComPort;

enum TTransferProtocol : uint8_t { tpXmodem, tpXmodemCrc, tpXmodem1k, tpYmodem, tpZmodem };
enum TTransferDirection : uint8_t { tdSend, tdReceive };

// The program to run and where.
struct TTransferCommand {
    std::vector<std::string> Argv; // Argv[0] is the program's name, looked up in PATH
    std::string Dir;               // the folder to run it in; empty: the caller's
};

// The command for a transfer. Path: the file to send; for an XMODEM receive the file to write; for
// a YMODEM or ZMODEM receive the folder to write to.
TTransferCommand TransferCommand(TTransferProtocol Protocol, TTransferDirection Direction,
                                 const std::string& Path);
// "XMODEM", "XMODEM-CRC", "XMODEM-1K", "YMODEM", "ZMODEM".
const char* TransferProtocolName(TTransferProtocol Protocol);

// Reads byte counts from lrzsz's progress lines (see above).
class TTransferProgress {
  public:
    // The size of the file being received so far (-1: unknown); Name is the one the last
    // "Receiving: NAME" line gave (empty before any).
    using TWrittenFn = std::function<int64_t(const std::string& Name)>;
    explicit TTransferProgress(TWrittenFn Written = {}) : FWritten(std::move(Written)) {}
    // True, with Bytes set, when Line tells a count to report.
    bool Feed(const std::string& Line, int64_t& Bytes);

  private:
    TWrittenFn FWritten;
    std::string FName;   // from "Receiving: NAME"
    int64_t FLast = -1;  // the count reported last
    int FBlockNo = -1;   // the block number of the last "Blocks received" line
    int64_t FBlocks = 0; // blocks counted so far
};

class TTransfer {
  public:
    using TProgressEvent = std::function<void(int64_t Bytes, const std::string& Line)>;
    // Ok: the program ended with status 0. Text: its last line on stderr, or how it ended.
    using TDoneEvent = std::function<void(bool Ok, const std::string& Text)>;

    // The queued received bytes above which the port's delivery thread waits.
    static constexpr std::size_t QueueLimit = 1 << 20;

    explicit TTransfer(TCustomComPort& Port);
    // Cancels a transfer still running and waits for its end.
    ~TTransfer();
    TTransfer(const TTransfer&) = delete;
    TTransfer& operator=(const TTransfer&) = delete;

    // Starts the program for the transfer (Path as for TransferCommand). Raises Exception when the
    // port is closed, a transfer runs, the file or folder cannot be used, the target file of an
    // XMODEM receive exists, or the program is missing ("sx not found: install lrzsz"); nothing
    // runs then. Set the events before.
    void Start(TTransferProtocol Protocol, TTransferDirection Direction, const std::string& Path);
    // Sends the far end the cancel sequence (CAN bytes, then backspaces) and ends the program
    // (SIGTERM, SIGKILL a second later if it is still there). Does not wait.
    void Cancel();
    // Waits for the transfer's threads to end (returns at once when none runs).
    void Wait();
    bool Running() const { return FRunning.load(std::memory_order_acquire); }
    // The program's process id while it runs, else 0.
    pid_t ChildPid() const { return FPid.load(std::memory_order_acquire); }

    TProgressEvent OnProgress;
    TDoneEvent OnDone;

  private:
    void Received(const char* Buffer, int Count);
    void ToChild();
    void ToPort(int ChunkSize);
    void Watch(TTransferProgress::TWrittenFn Written);
    // Writes Count bytes to the port part after part as it takes them; false when cancelled.
    bool WritePort(const char* Data, int Count);
    void SendCancelSequence();
    void Wake();
    void CloseFds();

    TCustomComPort& FPort;
    TComLink FLink;
    std::string FProgram; // Argv[0], for messages
    std::atomic<pid_t> FPid{0};
    int FIn = -1, FOut = -1, FErr = -1;  // our ends of the program's stdin, stdout and stderr
    int FWakeRead = -1, FWakeWrite = -1; // wakes the watcher (Cancel)
    std::thread FToChild, FToPort, FWatch;
    std::atomic<bool> FRunning{false};
    std::atomic<bool> FCancel{false};
    std::atomic<bool> FStop{false}; // the program has ended: the relays finish

    std::mutex FLock; // guards the fields below
    std::condition_variable FQueueChanged;
    std::string FQueue;       // received, for the program's stdin
    std::size_t FPending = 0; // FQueue plus what the writer holds
    bool FExited = false;     // the program has ended (its id may be reused once reaped)
    bool FKilled = false;
    bool FToPortDone = false; // the relay to the port has ended
    std::chrono::steady_clock::time_point FCancelAt;
    std::string FError; // the relay's own failure (the port), reported by OnDone
};
