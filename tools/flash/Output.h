#pragma once

// What tolvane-flash prints: the single-port bar or lines, the board of a run over several ports,
// JSON events, notes from the port, and the job log a production line keeps.

#include "app/engine/FlashEngine.h"
#include "tools/flash/FlashJob.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include <unistd.h>

std::string JsonString(const std::string& s);

// Errors the port shows on its own (a failing close, an event thread in trouble): kept by the
// error display handler InstallNotes sets and told on standard error before the last line, never
// after it.
void InstallNotes();
void FlushNotes();

// Progress goes to standard output until a write there fails (a pipe whose reader left, as with
// "| head -1"): from then on the job goes on silently and only the exit code tells its end.
class TReporter {
  public:
    TReporter(bool json, bool quiet, uint32_t imageSize)
        : FJson(json), FQuiet(quiet), FTty(!json && !quiet && ::isatty(1)), FSize(imageSize),
          FBlocks(imageSize == 0 ? 1 : (imageSize + BlockSize - 1) / BlockSize),
          FStart(std::chrono::steady_clock::now()) {}

    void Event(const TFlashNotice& n) {
        const TFlashState& s = n.State;
        FLast = s;
        if (FClosed) return;
        if (FJson) {
            if (n.Kind == fnPanel)
                std::printf("{\"event\":\"panel\",\"panel\":%d,\"text\":%s}\n", n.Panel,
                            JsonString(n.Text).c_str());
            else if (n.Kind == fnProgress)
                std::printf("{\"event\":\"progress\",\"blocks\":%u,\"total\":%u,\"bytes\":%u,\"crc\":%d,"
                            "\"verify\":%d}\n",
                            s.ProgressPosition(), FBlocks, s.SendPosition, s.CrcErrorCount,
                            s.VerifyErrorCount);
            Flush();
            return;
        }
        if (FQuiet) return;
        if (FTty) {
            if (n.Kind == fnProgress || n.Kind == fnPanel) Bar(false);
            return;
        }
        if (n.Kind == fnPanel)
            std::printf("%s\n", n.Text.c_str());
        else if (n.Kind == fnProgress) {
            const uint32_t pct = s.ProgressPosition() * 100 / FBlocks;
            if (pct / 10 != FLastTenth || s.ProgressPosition() == FBlocks) {
                FLastTenth = pct / 10;
                std::printf("progress %u%%: block %u of %u\n", pct, s.ProgressPosition(), FBlocks);
            }
        }
        Flush();
    }

    void Bar(bool force) {
        if (FClosed) return;
        const auto now = std::chrono::steady_clock::now();
        if (!force && now - FLastBar < std::chrono::milliseconds(100)) return;
        FLastBar = now;
        const uint32_t done = FLast.ProgressPosition();
        const double secs = std::chrono::duration<double>(now - FStart).count();
        const double rate = secs > 0 ? FLast.SendPosition / secs : 0;
        const double left = rate > 0 ? (double(FBlocks) * BlockSize - FLast.SendPosition) / rate : 0;
        const int width = 30;
        const int filled = static_cast<int>(int64_t(done) * width / FBlocks);
        std::printf("\r[%.*s%.*s] %3u%%  %u/%u blocks  %.1f kB/s  %s left  CRC %d  verify %d ", filled,
                    "##############################", width - filled, "..............................",
                    done * 100 / FBlocks, done, FBlocks, rate / 1000.0, Clock(left).c_str(),
                    FLast.CrcErrorCount, FLast.VerifyErrorCount);
        Flush();
    }

    // The last line: always printed, also with --quiet.
    void Finish(TExit code, const std::string& message) {
        FlushNotes();
        if (FClosed) return;
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count();
        if (FTty) {
            Bar(true);
            std::printf("\n");
        }
        if (FJson) {
            std::printf("{\"event\":\"end\",\"exit\":%d,\"message\":%s,\"bytes\":%u,\"blocks\":%u,\"crc\":%d,"
                        "\"verify\":%d,\"seconds\":%.3f}\n",
                        code, JsonString(message).c_str(), FSize, FLast.ProgressPosition(),
                        FLast.CrcErrorCount, FLast.VerifyErrorCount, secs);
        } else {
            std::printf("%s\n", message.c_str());
        }
        Flush();
    }

  private:
    void Flush() {
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) FClosed = true;
    }
    static std::string Clock(double s) {
        const long t = static_cast<long>(s + 0.5);
        char buf[32];
        std::snprintf(buf, sizeof buf, "%ld:%02ld", t / 60, t % 60);
        return buf;
    }
    bool FJson, FQuiet, FTty;
    bool FClosed = false;
    uint32_t FSize, FBlocks;
    std::chrono::steady_clock::time_point FStart, FLastBar{};
    uint32_t FLastTenth = 0;
    TFlashState FLast;
};


// The lines of a run over several ports, one row per port. On a terminal the rows are redrawn in
// place (Redraw, from the main thread); otherwise each change worth telling is one line that names
// the port. Rows are added and told about from any thread.
class TBoard {
  public:
    TBoard(bool Json, bool Quiet, bool Live);
    // A new row; returns its number.
    int Add(const std::string& Port, const std::string& Device);
    void Started(int Row, uint32_t ImageSize, uint32_t Rate);
    void Notice(int Row, const TFlashNotice& Notice);
    void Finished(int Row, const TJobResult& Result);
    void Redraw();
    // The table of every row's result, after the run.
    void Summary();
    // A plain line of its own (watch mode: a device appeared, was left alone ...).
    void Line(const std::string& Text);

  private:
    struct TRow {
        std::string Port, Device, State = "waiting";
        uint32_t Blocks = 1;
        uint32_t LastTenth = 0;
        TFlashState Last;
        bool Done = false;
        TJobResult Result;
    };
    void Print(const char* Format, ...) __attribute__((format(printf, 2, 3)));
    std::string RowText(const TRow& Row) const;

    std::mutex FLock;
    const bool FJson, FQuiet, FLive;
    bool FClosed = false;
    int FDrawn = 0; // rows on screen from the last redraw
    std::vector<TRow> FRows;
};

// Appends one tab-separated line per finished job to a file a production line keeps: time, port,
// device, by-id name, image, its SHA-256, exit code, message, CRC and verify errors, seconds. A
// file that cannot be opened is an error at start, not after the first job.
class TJobLog {
  public:
    // Empty Path: no log. Raises Exception naming the file when it cannot be appended to.
    TJobLog(const std::string& Path, const std::string& Image, const std::string& ImageSha256);
    ~TJobLog();
    void Append(const std::string& Port, const std::string& Device, const std::string& ById,
                const TJobResult& Result);

  private:
    std::mutex FLock;
    FILE* FFile = nullptr;
    std::string FImage, FSha;
};
