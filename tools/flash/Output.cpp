#include "tools/flash/Output.h"

#include "platform/toolkit/Exception.h"
#include "platform/toolkit/ShowException.h"
#include "platform/toolkit/Thread.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <sys/time.h>
#include <unistd.h>

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

namespace {
struct TNotes {
    std::mutex M;
    std::vector<std::string> Lines;
    bool Closed = false;
};
TNotes gNotes;
} // namespace

void InstallNotes() {
    SetShowExceptionHandler([](const std::string& text) {
        std::lock_guard<std::mutex> l(gNotes.M);
        if (!gNotes.Closed) gNotes.Lines.push_back(text);
    });
}

void FlushNotes() {
    CheckSynchronize(); // displays queued from the event thread
    std::lock_guard<std::mutex> l(gNotes.M);
    for (const auto& line : gNotes.Lines)
        std::fprintf(stderr, "tolvane-flash: note: %s\n", line.c_str());
    gNotes.Lines.clear();
    gNotes.Closed = true;
}

TBoard::TBoard(bool Json, bool Quiet, bool Live) : FJson(Json), FQuiet(Quiet), FLive(Live && !Json && !Quiet) {}

void TBoard::Print(const char* Format, ...) {
    if (FClosed) return;
    va_list args;
    va_start(args, Format);
    std::vfprintf(stdout, Format, args);
    va_end(args);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) FClosed = true;
}

int TBoard::Add(const std::string& Port, const std::string& Device) {
    std::lock_guard<std::mutex> l(FLock);
    TRow row;
    row.Port = Port;
    row.Device = Device;
    FRows.push_back(row);
    return static_cast<int>(FRows.size()) - 1;
}

void TBoard::Started(int Row, uint32_t ImageSize, uint32_t Rate) {
    std::lock_guard<std::mutex> l(FLock);
    TRow& r = FRows[static_cast<size_t>(Row)];
    r.Blocks = ImageSize == 0 ? 1 : (ImageSize + BlockSize - 1) / BlockSize;
    r.State = "flashing";
    if (FJson)
        Print("{\"event\":\"start\",\"port\":%s,\"device\":%s,\"bytes\":%u,\"rate\":%u}\n",
              JsonString(r.Port).c_str(), JsonString(r.Device).c_str(), ImageSize, Rate);
    else if (!FQuiet && !FLive)
        Print("%s %s: flashing %u bytes at %u bit/s\n", r.Port.c_str(), r.Device.c_str(), ImageSize, Rate);
}

void TBoard::Notice(int Row, const TFlashNotice& n) {
    std::lock_guard<std::mutex> l(FLock);
    TRow& r = FRows[static_cast<size_t>(Row)];
    r.Last = n.State;
    const std::string port = JsonString(r.Port), device = JsonString(r.Device);
    if (FJson) {
        if (n.Kind == fnPanel)
            Print("{\"event\":\"panel\",\"port\":%s,\"device\":%s,\"panel\":%d,\"text\":%s}\n", port.c_str(),
                  device.c_str(), n.Panel, JsonString(n.Text).c_str());
        else if (n.Kind == fnProgress)
            Print("{\"event\":\"progress\",\"port\":%s,\"device\":%s,\"blocks\":%u,\"total\":%u,\"bytes\":%u,"
                  "\"crc\":%d,\"verify\":%d}\n",
                  port.c_str(), device.c_str(), n.State.ProgressPosition(), r.Blocks, n.State.SendPosition,
                  n.State.CrcErrorCount, n.State.VerifyErrorCount);
        return;
    }
    if (FQuiet || FLive || n.Kind != fnProgress) return;
    const uint32_t done = n.State.ProgressPosition();
    const uint32_t pct = done * 100 / r.Blocks;
    if (pct / 10 != r.LastTenth || done == r.Blocks) {
        r.LastTenth = pct / 10;
        Print("%s %s: progress %u%%: block %u of %u\n", r.Port.c_str(), r.Device.c_str(), pct, done, r.Blocks);
    }
}

void TBoard::Finished(int Row, const TJobResult& Result) {
    std::lock_guard<std::mutex> l(FLock);
    TRow& r = FRows[static_cast<size_t>(Row)];
    r.Done = true;
    r.Result = Result;
    r.Last = Result.Last;
    r.State = Result.Code == exOk ? "written" : "failed";
    if (FJson)
        Print("{\"event\":\"end\",\"port\":%s,\"device\":%s,\"exit\":%d,\"message\":%s,\"blocks\":%u,"
              "\"crc\":%d,\"verify\":%d,\"seconds\":%.3f}\n",
              JsonString(r.Port).c_str(), JsonString(r.Device).c_str(), Result.Code,
              JsonString(Result.Message).c_str(), Result.Last.ProgressPosition(), Result.Last.CrcErrorCount,
              Result.Last.VerifyErrorCount, Result.Seconds);
    else if (!FLive)
        Print("%s %s: %s\n", r.Port.c_str(), r.Device.c_str(), Result.Message.c_str());
}

std::string TBoard::RowText(const TRow& r) const {
    const uint32_t done = std::min(r.Last.ProgressPosition(), r.Blocks);
    const int width = 20;
    const int filled = static_cast<int>(int64_t(done) * width / r.Blocks);
    char buf[512];
    std::snprintf(buf, sizeof buf, "%-6s %-24.24s [%.*s%.*s] %3u%% %5u/%-5u CRC %-3d verify %-3d %s", r.Port.c_str(),
                  r.Device.c_str(), filled, "####################", width - filled, "....................",
                  done * 100 / r.Blocks, done, r.Blocks, r.Last.CrcErrorCount, r.Last.VerifyErrorCount,
                  r.Done ? r.Result.Message.c_str() : r.State.c_str());
    return buf;
}

void TBoard::Redraw() {
    std::lock_guard<std::mutex> l(FLock);
    if (!FLive) return;
    std::string out;
    if (FDrawn > 0) out += "\x1b[" + std::to_string(FDrawn) + "A";
    for (const TRow& r : FRows)
        out += "\r\x1b[K" + RowText(r) + "\n";
    FDrawn = static_cast<int>(FRows.size());
    Print("%s", out.c_str());
}

void TBoard::Summary() {
    Redraw();
    FlushNotes();
    std::lock_guard<std::mutex> l(FLock);
    if (FJson) return;
    Print("\n%-6s %-24s %-7s %7s %5s %6s %8s  %s\n", "port", "device", "result", "blocks", "CRC", "verify", "seconds",
          "message");
    for (const TRow& r : FRows)
        Print("%-6s %-24s %-7s %7u %5d %6d %8.2f  %s\n", r.Port.c_str(), r.Device.c_str(),
              !r.Done ? "-" : r.Result.Code == exOk ? "ok" : "FAILED", r.Last.ProgressPosition(),
              r.Last.CrcErrorCount, r.Last.VerifyErrorCount, r.Result.Seconds, r.Result.Message.c_str());
}

void TBoard::Line(const std::string& Text) {
    std::lock_guard<std::mutex> l(FLock);
    if (FJson || FQuiet) return;
    Print("%s\n", Text.c_str());
}

TJobLog::TJobLog(const std::string& Path, const std::string& Image, const std::string& ImageSha256)
    : FImage(Image), FSha(ImageSha256) {
    if (Path.empty()) return;
    FFile = std::fopen(Path.c_str(), "a");
    if (!FFile) throw Exception("cannot append to the job log \"" + Path + "\": " + std::strerror(errno));
}

TJobLog::~TJobLog() {
    if (FFile) std::fclose(FFile);
}

void TJobLog::Append(const std::string& Port, const std::string& Device, const std::string& ById,
                     const TJobResult& Result) {
    if (!FFile) return;
    timeval tv{};
    ::gettimeofday(&tv, nullptr);
    tm local{};
    ::localtime_r(&tv.tv_sec, &local);
    char when[64];
    std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S%z", &local);
    // Tabs and line breaks inside a field would break the columns.
    auto field = [](std::string s) {
        for (char& c : s)
            if (c == '\t' || c == '\n' || c == '\r') c = ' ';
        return s;
    };
    std::lock_guard<std::mutex> l(FLock);
    std::fprintf(FFile, "%s\t%s\t%s\t%s\t%s\t%s\t%d\t%s\t%d\t%d\t%.3f\n", when, field(Port).c_str(),
                 field(Device).c_str(), ById.empty() ? "-" : field(ById).c_str(), field(FImage).c_str(), FSha.c_str(),
                 Result.Code, field(Result.Message).c_str(), Result.Last.CrcErrorCount, Result.Last.VerifyErrorCount,
                 Result.Seconds);
    std::fflush(FFile);
}
