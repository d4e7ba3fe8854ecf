#pragma once

// The line backend for Linux ttys (serial ports, USB serial adapters, pseudo-terminals).
//
// Threads: the reader thread sleeps in poll() on the device and a wake eventfd and delivers
// received bytes and line errors; the writer thread sleeps until bytes were taken, then waits in
// tcdrain() so OnTxEmpty means the bytes have left the device (it also performs break changes,
// which the kernel makes wait for the output to drain); the modem watcher sleeps in TIOCMIWAIT.
// Nothing wakes while the line is idle. Stop interrupts the two threads that may sit in a
// blocking ioctl with a thread-directed signal whose handler does nothing.
//
// Line errors arrive in-band (INPCK|PARMRK): 0xFF 0xFF is a data byte 0xFF, 0xFF 0x00 X is a byte
// X received with an error (a break reads as 0xFF 0x00 0x00). Whether an error was a frame error,
// a parity error or a break is told by the driver's error counters (TIOCGICOUNT) where it keeps
// them; overruns are seen only there. A pty has no line errors and is read unmarked.
//
// The reader reads only while the driver core has room: what a read brought that the core did not
// take is held (decoded, marks in order) and offered again when the core signals room, and while
// anything is held the reader leaves the device's input with the kernel, which throttles the
// sender. It still wakes for write space, hang-up and stop. With XON/XOFF output flow the kernel
// acts on the flow characters itself (IXON), so an XOFF stops output also while input waits.

#include "platform/comm/LineBackend.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// Splits the marked input stream into data runs and error marks. Keeps its state across reads,
// so a mark split over two reads decodes the same. Used by the reader thread only.
class TParmrkDecoder {
  public:
    class TOutput {
      public:
        virtual void Data(const BYTE* p, size_t n) = 0;
        virtual void Mark(BYTE x) = 0; // 0xFF 0x00 x
      protected:
        ~TOutput() = default;
    };
    void Feed(const BYTE* p, size_t n, TOutput& out);
    void Reset() { FState = 0; }

  private:
    int FState = 0; // 0 plain, 1 after 0xFF, 2 after 0xFF 0x00
};

// Tells which line error a marked byte stands for. The driver's error counters say how many
// frame errors, parity errors and breaks it has seen; each increase stands for one marked byte
// that has been or will be read. Where there are no counters, a marked 0 is taken for a break,
// and another byte for a parity error when the line has parity, else for a frame error.
class TLineErrorTally {
  public:
    void Add(long frames, long parity, long breaks);
    DWORD Classify(BYTE x, bool parityOn); // CE_FRAME, CE_RXPARITY or CE_BREAK

  private:
    long FFrames = 0, FParity = 0, FBreaks = 0;
};

// Line settings as the tty realises them; the backend derives them from a DCB.
struct TTtyLineSettings {
    uint32_t BaudRate = 9600;
    int ByteSize = 8;          // 5..8
    int Parity = 0;            // NOPARITY … SPACEPARITY
    int StopBits = 0;          // ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS
    bool HardwareFlow = false; // CRTSCTS
    BYTE XonChar = 0x11, XoffChar = 0x13;
    // Mark bytes received with line errors in-band. A device without modem lines (a pty) has no
    // line errors either, and unmarked input takes the kernel's much faster raw path.
    bool MarkErrors = true;
    // Output stops on XoffChar and resumes on XonChar received (IXON); the kernel swallows them.
    bool XonXoffOutput = false;
};

// termios2 access (in its own source file: the kernel's termios header cannot meet <termios.h>).
// Each returns 0 or an errno value.
// Puts the tty into raw mode with in-band error marking and the given framing; the rate is set
// with BOTHER so any value is possible. When the driver settles on a rate more than 3 % away
// from the one asked for, the previous settings are restored and EINVAL returned.
int TtyApplyLineSettings(int fd, const TTtyLineSettings& s);
// The output rate in force.
int TtyGetBaudRate(int fd, uint32_t* baud);
// Makes c the character TCIOFF sends; *previous receives the old one.
int TtySetStopChar(int fd, BYTE c, BYTE* previous);

class TTtyBackend final : public TLineBackend {
  public:
    // Opens the device exclusively. Returns the backend, or nullptr with *error set (2 missing,
    // 5 busy or not permitted, else the errno mapping).
    // markAlways marks line errors in-band even on a device without modem lines (tests use it to
    // run the marked path over a pty).
    static std::unique_ptr<TTtyBackend> Open(const std::string& path, DWORD* error, bool markAlways = false);
    ~TTtyBackend() override;

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
    DWORD ModemLines() override;
    void NoteXoffHold(bool held) override;
    bool HasModemLines() const override { return FHasModemLines; }
    bool HoldsOutputOnCts() const override { return FKernelCtsFlow.load(); }

    // Times any backend thread woke up (idle checks in tests).
    uint64_t WakeCount() const { return FWakes.load(std::memory_order_relaxed); }
    // The modem watcher has ended because the device has no modem lines (ptys).
    bool ModemWatchEnded() const { return FWatchDone.load(); }
    int Fd() const { return FFd; } // -1 once stopped

  private:
    explicit TTtyBackend(int fd);
    class TReader;
    void ReaderLoop();
    void WriterLoop();
    void WatcherLoop();
    void Gone();
    void WakeReader();
    DWORD ModemBits(int bitsOn, int bitsOff);

    int FFd = -1;
    int FWakeFd = -1;
    bool FMarkErrors = true;                 // fixed before Start
    bool FHasModemLines = true;              // fixed at construction
    std::atomic<bool> FKernelCtsFlow{false}; // CRTSCTS is in force
    TLineSink* FSink = nullptr;
    std::thread FReader, FWriter, FWatcher;

    // FLock guards the writer's state and the settings; never held during an upcall.
    mutable std::mutex FLock;
    std::condition_variable FWriterCv;
    uint64_t FPurgeGen = 0; // bumped by PurgeTx so a drain that began before it reports nothing
    int FBreakWanted = -1;  // -1 none pending, else 0/1
    TTtyLineSettings FSettings;
    std::atomic<uint64_t> FWritten{0}; // bytes taken by Write and urgent bytes, in total
    std::atomic<uint64_t> FDrained{0}; // of those, bytes known to have left
    std::atomic<bool> FParityCheck{false};
    std::atomic<int> FParityKind{0};
    std::atomic<bool> FWantSpace{false};
    std::atomic<uint64_t> FRxEpoch{0}; // set by PurgeRx; input read from then on carries it

    // Upcalls are serialised so none follows OnDeviceGone; the backend's own entry points never
    // take this lock.
    std::mutex FUpcallLock;
    bool FGone = false;

    std::atomic<bool> FStop{false};
    std::atomic<bool> FWriterDone{false}, FWatchDone{false};
    std::atomic<bool> FStarted{false};
    std::mutex FStopLock;
    std::atomic<uint64_t> FWakes{0};
};
