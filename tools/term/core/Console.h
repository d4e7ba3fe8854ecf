#pragma once

// tolvane-term --console: the terminal it was started from is the screen and the keyboard, with no
// display needed (an SSH session next to the device). Bytes pass through raw both ways; the port,
// reconnect, session log and line maps work as in the window. A command key (Ctrl+T) followed by
// one letter controls the session:
//   q quit   b break   d DTR on/off   r RTS on/off   l log on/off   s status   h or ? help
//   x / y / z  send a file by XMODEM / YMODEM / ZMODEM (asks for its name)
//   Ctrl+T again sends Ctrl+T; any other key prints a one-line hint and sends nothing.
// Notices ("disconnected: device removed", "reconnected", what a command did) are printed on
// lines of their own, marked "[tolvane-term]". The host terminal is put into raw mode while Run
// runs and restored on every way out (quit, Stop from a signal handler, an error).
//
// Threads: made, run and destroyed on the main thread. Received bytes reach it through a bounded
// hand-off; Stop may be called from a signal handler.

#include "cportui/core/LineMaps.h"
#include "platform/toolkit/Handoff.h"
#include "tools/term/core/SessionLog.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <termios.h>

class TComLink;
class TComPort;
class TComReconnect;
class TTransfer;

struct TConsoleOptions {
    int In = 0, Out = 1;   // the host terminal; raw mode is set only where In is a terminal
    std::string DeviceDir; // the device folder the reconnect watches; empty: the default
    std::string LogFile;   // a session log from the start; empty: none (l asks for a name)
    TLogFormat LogFormat = lfRaw;
    TLineMaps Maps;
    bool LocalEcho = false;
};

class TConsole {
  public:
    static constexpr char CommandKey = 0x14; // Ctrl+T
    // Exit codes of Run: the user quit; the port could not be opened at the start; 128 + the
    // signal that ended it.
    static constexpr int ExitQuit = 0, ExitPortError = 3;

    TConsole(TComPort& Port, TConsoleOptions Options);
    ~TConsole();
    TConsole(const TConsole&) = delete;
    TConsole& operator=(const TConsole&) = delete;

    // Opens the port and serves until quit or Stop; returns the exit code.
    int Run();
    // Ends Run with Code. Async-signal-safe.
    void Stop(int Code);

    // The keys typed, as Run reads them from In (tests call it directly).
    void Typed(std::string_view Bytes);
    // Asks for a line (a file name) after Prompt; by default read from In with simple editing.
    std::function<std::string(const std::string& Prompt)> AskLine;

    // What Run would serve once (tests without a loop): queued calls, the reconnect, the log.
    void Serve();
    bool Quitting() const { return FExit.load() >= 0; }
    bool Dtr() const { return FDtr; }
    bool Rts() const { return FRts; }

  private:
    void Command(char Key);
    void Notice(const std::string& Text);
    void Print(std::string_view Bytes);
    void Received(const std::string& Bytes);
    void SendToPort(const std::string& Bytes);
    void Status();
    void ToggleLog();
    void StartTransfer(char Key);
    std::string ReadLine(const std::string& Prompt);
    void RawMode(bool On);
    int PollTimeout() const;

    TComPort& FPort;
    TConsoleOptions FOptions;
    std::unique_ptr<TComLink> FLink;
    TThreadHandoff FHandoff;
    std::unique_ptr<TComReconnect> FReconnect;
    std::unique_ptr<TTransfer> FTransfer;
    TSessionLog FLog;
    std::atomic<int> FExit{-1};
    int FWake = -1; // eventfd: Stop and work queued for the main thread
    bool FAfterCommandKey = false;
    bool FDtr = true, FRts = true;
    bool FRaw = false;
    termios FSaved{};
    uint64_t FBytesIn = 0, FBytesOut = 0;
};
