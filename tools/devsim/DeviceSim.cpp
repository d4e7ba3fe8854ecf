#include "tools/devsim/DeviceSim.h"

#include <cstring>

namespace devsim {

namespace {
const std::string StartCommand("\xFF\x01\x78", 3);
const std::string EndCommand("\xFF\xFF\xFF\xFF", 4);
} // namespace

TDeviceSim::TDeviceSim(TDeviceOptions options) : FOptions(std::move(options)), FRandom(FOptions.Seed) {}

void TDeviceSim::Answer(TDeviceReply& reply, char c) {
    if (!FStalled) reply.Bytes.push_back(c);
}

void TDeviceSim::BeginJob(TDeviceReply& reply) {
    if (FState != sIdle) FinishJob(false);
    FJob = TJobReport{};
    FJob.Number = ++FJobs;
    FBlock = 0;
    FCurrent.clear();
    FWindow.clear();
    FErrorAtUsed.clear();
    FState = sWaitAck;
    Answer(reply, '>');
}

void TDeviceSim::FinishJob(bool endCommand) {
    FJob.EndCommand = endCommand;
    FReports.push_back(std::move(FJob));
    FJob = TJobReport{};
    FState = sIdle;
    FCurrent.clear();
    FWindow.clear();
}

void TDeviceSim::Abandon() {
    if (FState != sIdle) FinishJob(false);
}

void TDeviceSim::CompleteBlock(TDeviceReply& reply) {
    reply.AfterBlock = true;
    const uint32_t k = FBlock;
    bool crc = false;
    if (FOptions.ErrorAt.count(k) && !FErrorAtUsed.count(k)) {
        FErrorAtUsed.insert(k);
        crc = true;
    }
    // Both dice are rolled for every block so that one seed gives one error pattern.
    const bool crcRoll = FUnit(FRandom) < FOptions.CrcErrors;
    const bool verifyRoll = FUnit(FRandom) < FOptions.VerifyErrors;
    crc = crc || crcRoll;
    if (!crc) {
        // A block that fails verification has been written all the same; its resend overwrites it.
        const std::size_t end = (static_cast<std::size_t>(k) + 1) * DeviceBlockSize;
        if (FJob.Flash.size() < end) FJob.Flash.resize(end, '\0');
        std::memcpy(FJob.Flash.data() + static_cast<std::size_t>(k) * DeviceBlockSize, FCurrent.data(),
                    DeviceBlockSize);
    }
    FCurrent.clear();
    if (crc || verifyRoll) {
        ++FJob.Resends;
        FAfterBang = false;
        Answer(reply, crc ? '@' : '$');
        return;
    }
    ++FBlock;
    FJob.Blocks = FBlock;
    FAfterBang = true;
    ++FAccepted;
    if (FOptions.StallAfter >= 0 && FAccepted >= static_cast<uint64_t>(FOptions.StallAfter)) FStalled = true;
    Answer(reply, '!');
}

TDeviceReply TDeviceSim::Receive(std::string_view bytes) {
    TDeviceReply reply;
    for (char c : bytes) {
        switch (FState) {
        case sIdle:
        case sWaitAck:
            if (FState == sWaitAck && c == '<') {
                FState = sBlock;
                FAfterBang = true;
                FCurrent.clear();
                Answer(reply, '!');
                break;
            }
            FWindow.push_back(c);
            if (FWindow.size() > StartCommand.size()) FWindow.erase(0, FWindow.size() - StartCommand.size());
            if (FWindow == StartCommand) BeginJob(reply);
            break;
        case sBlock:
            FCurrent.push_back(c);
            if (FCurrent.size() == DeviceBlockSize) CompleteBlock(reply);
            break;
        }
    }
    return reply;
}

bool TDeviceSim::AwaitingSilence() const {
    if (FState != sBlock) return false;
    return (FAfterBang && FCurrent == EndCommand) || EndsWithStart();
}

// A tool that went away in the middle of a block and started over sends its start command after
// the partial block; the quiet line that follows tells it from block data.
bool TDeviceSim::EndsWithStart() const {
    return FCurrent.size() >= StartCommand.size() &&
           FCurrent.compare(FCurrent.size() - StartCommand.size(), StartCommand.size(), StartCommand) == 0;
}

TDeviceReply TDeviceSim::Silence() {
    TDeviceReply reply;
    if (FState != sBlock) return reply;
    if (FAfterBang && FCurrent == EndCommand)
        FinishJob(true);
    else if (EndsWithStart())
        BeginJob(reply); // the tool started over in the middle of a job
    return reply;
}

std::vector<TJobReport> TDeviceSim::TakeReports() {
    std::vector<TJobReport> out;
    out.swap(FReports);
    return out;
}

} // namespace devsim
