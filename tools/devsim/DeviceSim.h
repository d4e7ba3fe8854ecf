#pragma once

// The simulated flash device's protocol logic: bytes from the tool in, the device's answers out,
// and a record of what was written into its flash. No I/O and no clock: the driver that owns the
// line tells it when the line has been quiet long enough to complete an end or start command.
// One driver thread at a time; the object holds no lock.

#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace devsim {

constexpr std::size_t DeviceBlockSize = 267;

struct TDeviceOptions {
    double CrcErrors = 0.0;     // probability that a block is answered with '@'
    double VerifyErrors = 0.0;  // probability that a block is answered with '$'
    std::set<uint32_t> ErrorAt; // block numbers (from 0) answered once with '@'
    uint64_t Seed = 1;          // makes the random errors repeatable
    long StallAfter = -1;       // stop answering after this many accepted blocks (-1: never)
};

// What one job left behind: Flash is the received contents, Blocks whole blocks long.
struct TJobReport {
    uint32_t Number = 0; // 1 for the first job of the device
    uint32_t Blocks = 0;
    uint32_t Resends = 0;
    bool EndCommand = false;
    std::string Flash;
};

// Answer to a batch of received bytes. AfterBlock: the answer follows a complete block, so a
// driver with a programming delay waits before sending it.
struct TDeviceReply {
    std::string Bytes;
    bool AfterBlock = false;
};

class TDeviceSim {
  public:
    explicit TDeviceSim(TDeviceOptions options = {});

    TDeviceReply Receive(std::string_view bytes);
    // The line has been quiet for the end-command silence since the last received byte.
    TDeviceReply Silence();
    // True when the bytes collected so far form a command that completes only after silence.
    bool AwaitingSilence() const;
    // Ends a job that never got its end command (the tool went away): it is reported unfinished.
    void Abandon();

    // Jobs finished since the last call, oldest first.
    std::vector<TJobReport> TakeReports();
    bool Stalled() const { return FStalled; }
    bool InJob() const { return FState != sIdle; }

  private:
    enum TState : uint8_t { sIdle, sWaitAck, sBlock };

    void BeginJob(TDeviceReply& reply);
    void FinishJob(bool endCommand);
    void CompleteBlock(TDeviceReply& reply);
    void Answer(TDeviceReply& reply, char c);
    bool EndsWithStart() const;

    TDeviceOptions FOptions;
    std::mt19937_64 FRandom;
    std::uniform_real_distribution<double> FUnit{0.0, 1.0};
    TState FState = sIdle;
    std::string FWindow;     // last bytes seen while idle or waiting for the acknowledge
    std::string FCurrent;    // bytes of the block being received
    bool FAfterBang = false; // the block being received was asked for with '!'
    uint32_t FBlock = 0;     // number of the block the device asked for
    uint64_t FAccepted = 0;  // blocks accepted over the device's life, for StallAfter
    std::set<uint32_t> FErrorAtUsed;
    bool FStalled = false;
    TJobReport FJob;
    uint32_t FJobs = 0;
    std::vector<TJobReport> FReports;
};

} // namespace devsim
