#include "tools/term/core/Console.h"

#include "cport/ComPort.h"
#include "cport/ComReconnect.h"
#include "cportui/core/ComTerminalCore.h"
#include "platform/ports/DeviceMap.h"
#include "platform/toolkit/MessageTarget.h"
#include "platform/toolkit/Thread.h"
#include "tools/term/core/Transfer.h"

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace {

const char* const kHelp = "Ctrl+T then: q quit, b break, d DTR, r RTS, l log on/off, x/y/z send by "
                          "XMODEM/YMODEM/ZMODEM, s status, h help, Ctrl+T sends Ctrl+T";

void WriteAll(int Fd, std::string_view Bytes) {
    while (!Bytes.empty()) {
        const ssize_t N = ::write(Fd, Bytes.data(), Bytes.size());
        if (N < 0 && errno == EINTR) continue;
        if (N <= 0) return; // the host terminal went away: nothing left to show it to
        Bytes.remove_prefix(static_cast<size_t>(N));
    }
}

std::string Settings(TComPort& Port) {
    const DWORD Baud = BaudRateValue(Port.BaudRate());
    static const char Parity[] = {'N', 'O', 'E', 'M', 'S'};
    static const char* const Stop[] = {"1", "1.5", "2"};
    return std::to_string(Baud ? Baud : static_cast<DWORD>(Port.CustomBaudRate())) + " " +
           std::to_string(DataBitsSize(Port.DataBits())) + Parity[Port.Parity().Bits()] +
           Stop[Port.StopBits()];
}

} // namespace

TConsole::TConsole(TComPort& Port, TConsoleOptions Options) : FPort(Port), FOptions(std::move(Options)) {
    FWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // Work handed to this thread (received bytes, the removal notice) wakes the loop.
    SetMainThreadWakeHook([Fd = FWake] {
        const uint64_t One = 1;
        [[maybe_unused]] ssize_t R = ::write(Fd, &One, sizeof One);
    });
    FHandoff.SetQueueLimit(TComTerminalCore::RxQueueLimit);
    FLink = std::make_unique<TComLink>();
    FLink->OnRxBuf = [this](TObject*, const char* Buffer, int Count) {
        std::string Block(Buffer, static_cast<size_t>(Count));
        FHandoff.Run([this, Block = std::move(Block)] { Received(Block); }, static_cast<size_t>(Count));
    };
    FPort.RegisterLink(FLink.get());
    AskLine = [this](const std::string& Prompt) { return ReadLine(Prompt); };
}

TConsole::~TConsole() {
    FTransfer.reset();
    FReconnect.reset();
    {
        TThreadHandoff::TNoWait NoWait(FHandoff);
        FPort.UnRegisterLink(FLink.get());
    }
    FHandoff.Close();
    SetMainThreadWakeHook({});
    if (FLog.Active()) {
        try {
            FLog.Close();
        } catch (const std::exception&) {
        }
    }
    RawMode(false);
    ::close(FWake);
}

void TConsole::Stop(int Code) {
    int Expected = -1;
    FExit.compare_exchange_strong(Expected, Code);
    const uint64_t One = 1;
    [[maybe_unused]] ssize_t R = ::write(FWake, &One, sizeof One);
}

void TConsole::RawMode(bool On) {
    if (On && !FRaw && ::isatty(FOptions.In) && ::tcgetattr(FOptions.In, &FSaved) == 0) {
        termios Raw = FSaved;
        ::cfmakeraw(&Raw);
        FRaw = ::tcsetattr(FOptions.In, TCSAFLUSH, &Raw) == 0;
    } else if (!On && FRaw) {
        ::tcsetattr(FOptions.In, TCSAFLUSH, &FSaved);
        FRaw = false;
    }
}

void TConsole::Print(std::string_view Bytes) {
    WriteAll(FOptions.Out, Bytes);
}

void TConsole::Notice(const std::string& Text) {
    Print("\r\n[tolvane-term] " + Text + "\r\n");
}

int TConsole::Run() {
    try {
        FPort.Open();
    } catch (const std::exception& E) {
        Print(std::string("tolvane-term: ") + E.what() + "\n");
        return ExitPortError;
    }
    try {
        FReconnect = FOptions.DeviceDir.empty() ? std::make_unique<TComReconnect>(FPort)
                                                : std::make_unique<TComReconnect>(FPort, FOptions.DeviceDir);
        FReconnect->OnState = [this](TReconnectState, const std::string& Text) {
            if (!Text.empty()) Notice(Text);
        };
    } catch (const std::exception& E) {
        Notice(std::string("no automatic reconnect: ") + E.what());
    }
    if (!FOptions.LogFile.empty()) {
        try {
            FLog.Open(FOptions.LogFile, FOptions.LogFormat);
        } catch (const std::exception& E) {
            Print(std::string("tolvane-term: ") + E.what() + "\n");
            return ExitPortError;
        }
    }
    RawMode(true);
    Notice("connected to " + FPort.Port() + " (" + ResolvePortName(FPort.Port()).value_or(FPort.Port()) +
           ", " + Settings(FPort) + "); Ctrl+T h for help");
    while (!Quitting()) {
        pollfd Fds[3] = {
            {FOptions.In, POLLIN, 0}, {FWake, POLLIN, 0}, {FReconnect ? FReconnect->Fd() : -1, POLLIN, 0}};
        if (::poll(Fds, 3, PollTimeout()) < 0 && errno != EINTR) break;
        if (Fds[1].revents & POLLIN) {
            uint64_t V;
            [[maybe_unused]] ssize_t R = ::read(FWake, &V, sizeof V);
        }
        if (Fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            char Buf[4096];
            const ssize_t N = ::read(FOptions.In, Buf, sizeof Buf);
            if (N > 0)
                Typed(std::string_view(Buf, static_cast<size_t>(N)));
            else if (N == 0 || (errno != EINTR && errno != EAGAIN))
                Stop(ExitQuit); // the host terminal closed
        }
        Serve();
    }
    RawMode(false);
    Print("\r\n");
    return FExit.load() < 0 ? ExitQuit : FExit.load();
}

int TConsole::PollTimeout() const {
    int Ms = FReconnect ? FReconnect->RetryInMs() : -1;
    if (FLog.Pending()) Ms = Ms < 0 ? TSessionLog::FlushDelayMs : std::min(Ms, TSessionLog::FlushDelayMs);
    return Ms;
}

void TConsole::Serve() {
    ProcessMessages();
    if (FReconnect) {
        try {
            FReconnect->Process(0);
        } catch (const std::exception& E) {
            Notice(E.what());
        }
    }
    if (FLog.Pending()) {
        try {
            FLog.Flush();
        } catch (const std::exception& E) {
            Notice(std::string("log: ") + E.what());
        }
    }
}

void TConsole::Received(const std::string& Bytes) {
    if (FTransfer && FTransfer->Running()) return; // the transfer has the line
    FBytesIn += Bytes.size();
    Print(FOptions.Maps.Identity() ? Bytes : FOptions.Maps.Incoming(Bytes));
    if (FLog.Active()) {
        try {
            FLog.Write(Bytes);
        } catch (const std::exception& E) {
            Notice(std::string("log: ") + E.what());
        }
    }
}

void TConsole::SendToPort(const std::string& Bytes) {
    if (Bytes.empty()) return;
    if (!FPort.Connected()) {
        Notice("not connected: nothing sent");
        return;
    }
    try {
        FPort.WriteStr(Bytes);
        FBytesOut += Bytes.size();
    } catch (const std::exception& E) {
        Notice(E.what());
        return;
    }
    if (FOptions.LocalEcho) Print(Bytes);
}

void TConsole::Typed(std::string_view Bytes) {
    std::string Out;
    for (char C : Bytes) {
        if (FAfterCommandKey) {
            FAfterCommandKey = false;
            if (C == CommandKey) {
                Out += C;
                continue;
            }
            SendToPort(Out);
            Out.clear();
            Command(C);
            if (Quitting()) return;
            continue;
        }
        if (C == CommandKey) {
            FAfterCommandKey = true;
            continue;
        }
        if (FTransfer && FTransfer->Running()) continue; // the transfer has the line
        const std::string Mapped = FOptions.Maps.Key(C);
        if (Mapped.empty())
            Out += C;
        else
            Out += Mapped;
    }
    SendToPort(Out);
}

void TConsole::Command(char Key) {
    if (FTransfer && FTransfer->Running() && Key != 's') {
        FTransfer->Cancel();
        Notice("transfer cancelled");
        return;
    }
    try {
        switch (Key) {
        case 'q':
            Stop(ExitQuit);
            return;
        case 'b':
            FPort.SetBreak(true);
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            FPort.SetBreak(false);
            Notice("break sent");
            return;
        case 'd':
            FPort.SetDTR(!FDtr);
            FDtr = !FDtr;
            Notice(FDtr ? "DTR on" : "DTR off");
            return;
        case 'r':
            FPort.SetRTS(!FRts);
            FRts = !FRts;
            Notice(FRts ? "RTS on" : "RTS off");
            return;
        case 'l':
            ToggleLog();
            return;
        case 's':
            Status();
            return;
        case 'x':
        case 'y':
        case 'z':
            StartTransfer(Key);
            return;
        case 'h':
        case '?':
            Notice(kHelp);
            return;
        default:
            Notice("Ctrl+T " +
                   std::string(static_cast<unsigned char>(Key) >= 0x20
                                   ? std::string(1, Key)
                                   : "^" + std::string(1, static_cast<char>(Key + 0x40))) +
                   " is no command (Ctrl+T h lists them); nothing sent");
            return;
        }
    } catch (const std::exception& E) {
        Notice(E.what()); // a closed port: the line cannot be changed now
    }
}

void TConsole::Status() {
    std::string Lines = std::string("DTR ") + (FDtr ? "on" : "off") + ", RTS " + (FRts ? "on" : "off");
    if (FPort.Connected()) {
        const TComSignals S = FPort.Signals();
        Lines += std::string(", CTS ") + (S.Contains(csCTS) ? "on" : "off") + ", DSR " +
                 (S.Contains(csDSR) ? "on" : "off") + ", RI " + (S.Contains(csRing) ? "on" : "off") +
                 ", CD " + (S.Contains(csRLSD) ? "on" : "off");
    }
    Notice(FPort.Port() + " (" + ResolvePortName(FPort.Port()).value_or(FPort.Port()) + "), " +
           Settings(FPort) + ", " + (FPort.Connected() ? "connected" : "disconnected") + "; " + Lines +
           "; bytes in " + std::to_string(FBytesIn) + ", out " + std::to_string(FBytesOut) +
           (FLog.Active() ? "; log " + FLog.FileName() : std::string()));
}

void TConsole::ToggleLog() {
    if (FLog.Active()) {
        const std::string Name = FLog.FileName();
        try {
            FLog.Close();
        } catch (const std::exception& E) {
            Notice(std::string("log: ") + E.what());
        }
        Notice("log off: " + Name);
        return;
    }
    std::string Name = FOptions.LogFile;
    if (Name.empty()) Name = AskLine("log file: ");
    if (Name.empty()) {
        Notice("no log started");
        return;
    }
    FLog.Open(Name, FOptions.LogFormat);
    FOptions.LogFile = Name;
    Notice("log on: " + Name);
}

void TConsole::StartTransfer(char Key) {
    if (FTransfer && FTransfer->Running()) {
        Notice("a transfer is running");
        return;
    }
    const char* Name = Key == 'x' ? "XMODEM" : Key == 'y' ? "YMODEM" : "ZMODEM";
    const std::string File = AskLine(std::string("send by ") + Name + ", file: ");
    if (File.empty()) {
        Notice("nothing sent");
        return;
    }
    FTransfer = std::make_unique<TTransfer>(FPort);
    // Progress on one line that is written over, at most a few times a second.
    FTransfer->OnProgress = [this, Name, Last = std::chrono::steady_clock::time_point{}](
                                int64_t Bytes, const std::string&) mutable {
        const auto Now = std::chrono::steady_clock::now();
        if (Now - Last < std::chrono::milliseconds(250)) return;
        Last = Now;
        FHandoff.Run([this, Name, Bytes] {
            Print("\r[tolvane-term] " + std::string(Name) + ": " + std::to_string(Bytes) + " bytes");
        });
    };
    FTransfer->OnDone = [this, Name](bool Ok, const std::string& Text) {
        FHandoff.Run([this, Name, Ok, Text] {
            Notice(std::string(Name) + (Ok ? " send done" : " send failed") +
                   (Text.empty() ? "" : ": " + Text));
        });
    };
    FTransfer->Start(Key == 'x' ? tpXmodem : Key == 'y' ? tpYmodem : tpZmodem, tdSend, File);
    Notice(std::string(Name) + " send of " + File + " started; Ctrl+T then any key cancels");
}

std::string TConsole::ReadLine(const std::string& Prompt) {
    Print("\r\n[tolvane-term] " + Prompt);
    std::string Line;
    for (;;) {
        char C = 0;
        const ssize_t N = ::read(FOptions.In, &C, 1);
        if (N < 0 && errno == EINTR) continue;
        if (N <= 0 || C == 0x1b || C == 0x03) { // Esc or Ctrl+C: no answer
            Print("\r\n");
            return std::string();
        }
        if (C == '\r' || C == '\n') break;
        if ((C == 0x7f || C == '\b') && !Line.empty()) {
            Line.pop_back();
            Print("\b \b");
        } else if (static_cast<unsigned char>(C) >= 0x20) {
            Line += C;
            Print(std::string_view(&C, 1));
        }
    }
    Print("\r\n");
    return Line;
}
