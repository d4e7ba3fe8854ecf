#include "app/engine/FlashEngine.h"

#include "cport/ComTypes.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
constexpr uint8_t StartCommand[] = {0xFF, 0x01, 0x78};
constexpr uint8_t Acknowledge = 0x3C;
constexpr uint8_t EndCommand[] = {0xFF, 0xFF, 0xFF, 0xFF};

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) ::close(fd);
    }
};

std::string Reason(int err) {
    return std::strerror(err);
}
} // namespace

std::string ImageSizeText(uint32_t size) {
    return std::to_string(size) + " bajt\xC3\xB3w";
}

TFlashEngine::TFlashEngine() = default;

TFlashState TFlashEngine::StateLocked() const {
    TFlashState s;
    s.ImageSize = ImageSize;
    s.SendPosition = SendPosition;
    s.JobRunning = JobRunning;
    s.LastBlockSent = LastBlockSent;
    s.CrcErrorCount = CrcErrorCount;
    s.VerifyErrorCount = VerifyErrorCount;
    s.ResendsInRow = FResendsInRow;
    s.Job = FJob;
    s.Advances = FAdvances;
    s.JobImageSize = FJobImageSize;
    return s;
}

TFlashState TFlashEngine::State() const {
    std::lock_guard<std::mutex> lock(FLock);
    return StateLocked();
}

std::string TFlashEngine::FileName() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FFileName;
}

void TFlashEngine::Emit(TFlashNoticeKind kind, int panel, std::string text, const std::exception* error) {
    if (!FNotify) return;
    TFlashNotice n;
    n.Kind = kind;
    n.Panel = panel;
    n.Text = std::move(text);
    if (const auto* port = dynamic_cast<const EComPort*>(error)) {
        n.ErrorCode = port->Code();
        n.ErrorWinCode = port->WinCode();
    }
    n.State = StateLocked();
    FNotify(n);
}

TLoadResult TFlashEngine::LoadImageFile(const std::string& FileName) {
    TLoadResult r;
    r.FileName = FileName;
    // O_NONBLOCK so that opening a FIFO cannot hang; it is refused below like any non-file.
    FdCloser f{::open(FileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
    if (f.fd < 0) {
        r.Error = "Cannot open \"" + FileName + "\": " + Reason(errno);
        return r;
    }
    struct stat st {};
    if (::fstat(f.fd, &st) != 0) {
        r.Error = "Cannot read \"" + FileName + "\": " + Reason(errno);
        return r;
    }
    if (!S_ISREG(st.st_mode)) {
        r.Error = "Cannot read \"" + FileName +
                  "\": " + (S_ISDIR(st.st_mode) ? Reason(EISDIR) : std::string("not a regular file"));
        return r;
    }
    // Read into a scratch buffer first: a read that fails half-way must leave the old image.
    std::vector<uint8_t> data(ImageLimit);
    std::size_t got = 0;
    while (got < ImageLimit) {
        const ssize_t n = ::read(f.fd, data.data() + got, ImageLimit - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            r.Error = "Cannot read \"" + FileName + "\": " + Reason(errno);
            return r;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (got == ImageLimit) {
        uint8_t extra;
        ssize_t n;
        do
            n = ::read(f.fd, &extra, 1);
        while (n < 0 && errno == EINTR);
        if (n > 0) {
            const auto total = static_cast<unsigned long long>(st.st_size);
            r.Warning = "\"" + FileName + "\" is longer than " + std::to_string(ImageLimit) + " bytes" +
                        (total > ImageLimit ? " (" + std::to_string(total) + " bytes)" : std::string()) +
                        ": only its first " + std::to_string(ImageLimit) + " bytes will be written";
        }
    }
    {
        std::lock_guard<std::mutex> lock(FLock);
        // The whole buffer is cleared so that the tail of the last block never carries bytes of an
        // earlier, longer image.
        ImageBuffer.fill(0);
        std::memcpy(ImageBuffer.data(), data.data(), got);
        ImageSize = static_cast<uint32_t>(got);
        FFileName = FileName;
    }
    r.Ok = true;
    r.Size = static_cast<uint32_t>(got);
    return r;
}

void TFlashEngine::Button1Click(TObject* /*Sender*/) {
    std::lock_guard<std::mutex> lock(FLock);
    if (!FPort) throw Exception("No port to write to");
    FPort->ClearBuffer(true, true);
    SendPosition = 0;
    LastBlockSent = false;
    CrcErrorCount = 0;
    VerifyErrorCount = 0;
    FResendsInRow = 0;
    FReadyAnswered = false;
    FJobImageSize = ImageSize;
    ++FJob;
    Emit(fnProgress, -1, {});
    Emit(fnPanel, 0, "CRC Error: 0");
    Emit(fnPanel, 1, "Verify Error: 0");
    Emit(fnPanel, 2, "Status: Wait...");
    // Running before the start command goes out: the device's answer may come at once, and the
    // handler (waiting for this lock) drops replies while no job runs.
    JobRunning = true;
    std::memcpy(SendBuffer.data(), StartCommand, sizeof StartCommand);
    try {
        FPort->Write(SendBuffer.data(), sizeof StartCommand);
    } catch (const Exception& e) {
        // Nothing may be left half-running: without the start command no device will answer.
        JobRunning = false;
        Emit(fnPanel, 2, "Status: " + e.Message());
        throw;
    }
}

void TFlashEngine::SendBlock(uint32_t offset) {
    std::memcpy(SendBuffer.data(), ImageBuffer.data() + offset, BlockSize);
    FPort->Write(SendBuffer.data(), BlockSize);
}

void TFlashEngine::ComPort1RxChar(TObject* /*Sender*/, int Count) {
    std::lock_guard<std::mutex> lock(FLock);
    if (!JobRunning || Count < 1 || !FPort) return;
    try {
        std::unique_ptr<uint8_t[]> in(new uint8_t[static_cast<std::size_t>(Count)]);
        const int got = FPort->Read(in.get(), Count);
        if (got < 1) return;
        switch (in[0]) {
        case '>':
            SendBuffer[0] = Acknowledge;
            FPort->Write(SendBuffer.data(), 1);
            if (!FReadyAnswered) ++FAdvances;
            FReadyAnswered = true;
            Emit(fnPanel, 2, "Status: Flashing...");
            break;
        case '!':
            if (!LastBlockSent) {
                SendBlock(SendPosition);
                SendPosition += BlockSize;
                FResendsInRow = 0;
                ++FAdvances;
                if (SendPosition >= ImageSize) LastBlockSent = true;
                Emit(fnProgress, -1, {});
            } else {
                std::memcpy(SendBuffer.data(), EndCommand, sizeof EndCommand);
                FPort->Write(SendBuffer.data(), sizeof EndCommand);
                ++FAdvances;
                JobRunning = false;
                Emit(fnPanel, 2, "Status: OK");
                Emit(fnJobDone, -1, {});
            }
            break;
        case '@':
        case '$': {
            const bool resend = SendPosition >= BlockSize;
            // Counted before the first block too, so a device that only ever complains still
            // reaches a resend limit.
            ++FResendsInRow;
            if (in[0] == '@') {
                ++CrcErrorCount;
                Emit(fnPanel, 0, "CRC Error: " + std::to_string(CrcErrorCount));
            } else {
                ++VerifyErrorCount;
                Emit(fnPanel, 1, "Verify Error: " + std::to_string(VerifyErrorCount));
            }
            // Before the first block there is nothing to send again.
            if (resend) SendBlock(SendPosition - BlockSize);
            break;
        }
        default:
            break;
        }
    } catch (const std::exception& e) {
        // The event thread has no caller to show the error to: end the job and hand the error to
        // the user's thread through the notice.
        FailLocked(e);
    }
}

void TFlashEngine::FailLocked(const std::exception& Error) {
    JobRunning = false;
    Emit(fnPanel, 2, std::string("Status: ") + Error.what());
    Emit(fnPortError, -1, Error.what(), &Error);
}

void TFlashEngine::PortRemoved(const Exception& Error) {
    std::lock_guard<std::mutex> lock(FLock);
    if (JobRunning) FailLocked(Error);
}
