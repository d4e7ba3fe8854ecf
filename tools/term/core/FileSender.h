#pragma once

// Sends a file to a port from a thread of its own, so the window that started it stays responsive.
// The file goes in chunks of about a tenth of a second of line time; each chunk waits until the
// port has taken it, so the port's flow control (hardware or XON/XOFF) holds the send while the
// far end asks it to, and the progress counts what the port took.
//
// Threads: Start, Cancel, Wait and the destructor on the owner thread (the one that opens and
// closes the port). OnProgress and OnDone run on the sender's thread: hand them on, never block
// there. The owner cancels and waits for the sender before it closes the port on purpose; a port
// that loses its device makes the sender fail on its own.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class TCustomComPort;

enum TSendResult : uint8_t {
    srDone,      // every byte taken by the port
    srCancelled, // Cancel was called
    srFailed,    // the file or the port failed; Text says how
};

class TFileSender {
  public:
    using TProgressEvent = std::function<void(int64_t Sent, int64_t Total)>;
    using TDoneEvent = std::function<void(TSendResult Result, int64_t Sent, const std::string& Text)>;

    explicit TFileSender(TCustomComPort& Port);
    // Cancels a send still running and waits for its end.
    ~TFileSender();
    TFileSender(const TFileSender&) = delete;
    TFileSender& operator=(const TFileSender&) = delete;

    // Starts sending FileName. Raises Exception when the port is closed, a send is running, or the
    // file cannot be opened (nothing is sent then). Set the events before.
    void Start(const std::string& FileName);
    // Sends Data (pasted text) the same way; Name is what an error calls it.
    void StartData(std::string Data, const std::string& Name);
    // Asks the running send to stop: the write in progress is aborted. Does not wait.
    void Cancel();
    // Waits for the sender's thread to end (returns at once when none runs).
    void Wait();
    bool Running() const { return FRunning.load(std::memory_order_acquire); }
    int64_t Total() const { return FTotal; }

    TProgressEvent OnProgress;
    TDoneEvent OnDone;

  private:
    // Fd is the file's, or -1 for FData.
    void Launch(int Fd, const std::string& Name);
    void Run(int Fd, int ChunkSize, const std::string& FileName);
    // Writes Count bytes, part after part as the port takes them; false when cancelled.
    bool WriteAll(const char* Data, int Count, int64_t& Sent);

    TCustomComPort& FPort;
    std::thread FThread;
    std::atomic<bool> FRunning{false};
    std::atomic<bool> FCancel{false};
    std::mutex FLock; // guards the idle wait below
    std::condition_variable FWake;
    int64_t FTotal = 0;
    std::string FData; // what StartData sends; read only by the sender's thread while it runs
};
