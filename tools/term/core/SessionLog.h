#pragma once

// tolvane-term's session log: what the port received, written to a file as it comes. Raw keeps
// every byte as received; text puts the time at the start of each line. Bytes reach the system at
// every line end, and a line still open is written by the owner within FlushDelayMs (Write says
// when that is due), so a program that is killed leaves every complete line on disk and at most
// the last 100 ms of an open one missing. Not synced to the disk: a power loss can lose more.
//
// Threads: one owner thread (the GUI thread in tolvane-term).

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

enum TLogFormat : uint8_t {
    lfRaw,  // every byte as received
    lfText, // "YYYY-MM-DD HH:MM:SS.mmm " at the start of each line; CR, LF and CR LF end a line as "\n"
};

class TSessionLog {
  public:
    using TClock = std::function<std::chrono::system_clock::time_point()>;
    // Longest time a received byte may stay unwritten.
    static constexpr int FlushDelayMs = 100;

    TSessionLog() = default;
    ~TSessionLog();
    TSessionLog(const TSessionLog&) = delete;
    TSessionLog& operator=(const TSessionLog&) = delete;

    // Appends to FileName (made when missing: an earlier log is never overwritten). Raises
    // Exception with the system's reason; a log already open is closed first.
    void Open(const std::string& FileName, TLogFormat Format);
    // Writes what is left and closes; raises Exception when that last write fails (closed anyway).
    void Close();
    bool Active() const { return FFd >= 0; }
    const std::string& FileName() const { return FFileName; }
    TLogFormat Format() const { return FFormat; }

    // Takes received bytes; those up to a line end are written at once. True when bytes are left
    // waiting for Flush (the owner calls it within FlushDelayMs). Raises Exception when the file
    // cannot be written; the log stays open and a later Write tries again.
    bool Write(std::string_view Bytes);
    void Flush();
    bool Pending() const { return !FPending.empty(); }

    // Where text lines take their time from (tests fix it); the system clock by default.
    void SetClock(TClock Clock) { FClock = std::move(Clock); }
    // "2024-05-01 13:45:07.042 " in local time.
    static std::string Stamp(std::chrono::system_clock::time_point Time);

  private:
    int FFd = -1;
    std::string FFileName;
    TLogFormat FFormat = lfRaw;
    std::string FPending;
    bool FAtLineStart = true;
    bool FAfterCR = false; // the last byte ended a line with CR: an LF right after belongs to it
    TClock FClock;
};
