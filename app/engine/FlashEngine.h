#pragma once

// The flash write protocol: the image, the job state and the three operations that change them
// (load an image, start a job, handle a reply). The main window and the command-line flasher both
// drive one TFlashEngine. Loads and starts run on the user's thread; ComPort1RxChar runs on the
// port's event thread (smNone). One mutex guards the job state; it is held across the port writes
// of a reply so a start or load never interleaves with half a reply, and the port never needs the
// other thread to finish a write, so no wait under the lock depends on the lock's other users.

#include "platform/toolkit/Object.h"

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

constexpr uint32_t BlockSize = 267;
constexpr uint32_t ImageLimit = 300000;

// What the engine needs of a port: the three operations of the port object it uses. A blocking
// Write and Read that raise the port's exception on failure.
class TFlashPortIO {
  public:
    virtual ~TFlashPortIO() = default;
    virtual void ClearBuffer(bool Input, bool Output) = 0;
    virtual int Write(const void* Buffer, int Count) = 0;
    virtual int Read(void* Buffer, int Count) = 0;
};

// Binds the engine to any port object with ClearBuffer/Write/Read (TComPort, a test double).
template <class PortT> class TFlashPortOf final : public TFlashPortIO {
  public:
    explicit TFlashPortOf(PortT& port) : FPort(port) {}
    void ClearBuffer(bool Input, bool Output) override { FPort.ClearBuffer(Input, Output); }
    int Write(const void* Buffer, int Count) override { return FPort.Write(Buffer, Count); }
    int Read(void* Buffer, int Count) override { return FPort.Read(Buffer, Count); }

  private:
    PortT& FPort;
};

// A copy of the job state, taken under the lock.
struct TFlashState {
    uint32_t ImageSize = 0;
    uint32_t SendPosition = 0;
    bool JobRunning = false;
    bool LastBlockSent = false;
    int32_t CrcErrorCount = 0;
    int32_t VerifyErrorCount = 0;
    // Replies that asked for the current block again ('@', '$'), also before the first block.
    uint32_t ResendsInRow = 0;
    uint32_t Job = 0; // number of jobs started so far
    // Steps by which the job went forward: its first '>' answered, a block sent for the first time,
    // the end command sent. A device that only repeats itself does not change it.
    uint32_t Advances = 0;
    // The image size when the job started: the bar's range stays fixed while the job runs, even if
    // another image is loaded meanwhile.
    uint32_t JobImageSize = 0;
    uint32_t ProgressMax() const { return JobImageSize / BlockSize; }
    uint32_t ProgressPosition() const { return SendPosition / BlockSize; }
};

enum TFlashNoticeKind : uint8_t {
    fnPanel,     // Panel (0 CRC, 1 verify, 2 status) now shows Text
    fnProgress,  // the bar's range or position changed (State.ProgressMax/ProgressPosition)
    fnJobDone,   // the end command went out
    fnPortError, // a port operation failed in the reply handler; Text is its message; job ended
};

struct TFlashNotice {
    TFlashNoticeKind Kind = fnPanel;
    int Panel = -1;
    std::string Text;
    TFlashState State;
    // fnPortError: the port error's code and platform code (EComPort), for a fuller explanation;
    // plain values, so a notice crossing threads shares nothing with the thread that made it.
    int ErrorCode = 0;
    int ErrorWinCode = -1;
};

// Called with the lock held, on the thread of the operation that changed the state (the user's
// thread for a start, the event thread for a reply). It must not block and must not call back
// into the engine: a window posts the notice to its own thread, a command line queues it.
using TFlashNotify = std::function<void(const TFlashNotice&)>;

struct TLoadResult {
    bool Ok = false;
    std::string FileName;
    uint32_t Size = 0;
    std::string Error;   // why nothing was loaded (name and the system's reason)
    std::string Warning; // set when the file was longer than the image limit
};

// " bajtów" after the size, as the main window's size label shows it (UTF-8).
std::string ImageSizeText(uint32_t size);

class TFlashEngine {
  public:
    TFlashEngine();
    TFlashEngine(const TFlashEngine&) = delete;
    TFlashEngine& operator=(const TFlashEngine&) = delete;

    // Both set before the port opens; not changed while replies can arrive.
    void SetPort(TFlashPortIO* port) { FPort = port; }
    void SetOnNotify(TFlashNotify notify) { FNotify = std::move(notify); }

    // The reading step of an image load: a file that cannot be read changes nothing; a readable
    // one replaces the whole buffer (zero beyond its end), also under a running job.
    TLoadResult LoadImageFile(const std::string& FileName);
    // Starts a job, or starts it over. Raises the port's exception (nothing is sent then).
    void Button1Click(TObject* Sender = nullptr);
    // OnRxChar handler; never raises: a port error ends the job and is reported as fnPortError.
    void ComPort1RxChar(TObject* Sender, int Count);
    // The port's device went away (any thread): a running job ends as for a port error in the
    // reply handler, with Error as its cause. Nothing happens when no job runs.
    void PortRemoved(const Exception& Error);

    TFlashState State() const;
    std::string FileName() const;

  private:
    void Emit(TFlashNoticeKind kind, int panel, std::string text, const std::exception* error = nullptr);
    void SendBlock(uint32_t offset);
    TFlashState StateLocked() const;

    mutable std::mutex FLock;
    TFlashPortIO* FPort = nullptr;
    TFlashNotify FNotify;
    // One block longer than the image limit, so the last block of the largest image reads zeros.
    std::array<uint8_t, ImageLimit + BlockSize> ImageBuffer{};
    std::array<uint8_t, BlockSize> SendBuffer{};
    std::string FFileName;
    uint32_t ImageSize = 0;
    uint32_t SendPosition = 0;
    bool JobRunning = false;
    bool LastBlockSent = false;
    int32_t CrcErrorCount = 0;
    int32_t VerifyErrorCount = 0;
    uint32_t FResendsInRow = 0;
    uint32_t FJob = 0;
    uint32_t FAdvances = 0;
    uint32_t FJobImageSize = 0;
    bool FReadyAnswered = false;
    void FailLocked(const std::exception& Error);
};
