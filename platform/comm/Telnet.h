#pragma once

// Telnet with the COM port control option, as a network serial port server speaks it: the byte
// stream in both directions (0xFF doubled), option negotiation, and the option's subnegotiations
// (line settings, modem and line state notices, purge, flow suspend). No sockets here: the codec
// turns server bytes into data and notices and says what to send back, so it is tested and fuzzed
// on its own.
//
// Negotiation follows the "Q method" without queues: an option is never asked for again while a
// request for it is open, a request already in force is not answered, and options the codec does
// not know are refused once per request — so two peers can never loop. We offer BINARY, SGA and
// COM-PORT-OPTION and ask the server for BINARY and SGA.

#include "platform/comm/WinComm.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace telnet {
constexpr BYTE IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr BYTE BINARY = 0, SGA = 3, COM_PORT = 44;
// COM port option commands (client to server; the server answers with the same code + 100).
constexpr BYTE SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3, SET_STOPSIZE = 4, SET_CONTROL = 5,
               NOTIFY_LINESTATE = 6, NOTIFY_MODEMSTATE = 7, FLOWCONTROL_SUSPEND = 8, FLOWCONTROL_RESUME = 9,
               SET_LINESTATE_MASK = 10, SET_MODEMSTATE_MASK = 11, PURGE_DATA = 12;
constexpr BYTE kServer = 100;
// Longest subnegotiation payload kept; a longer one is dropped whole (no option needs more than 5).
constexpr size_t kMaxSubnegotiation = 64;
} // namespace telnet

class TTelnetCodec {
  public:
    class TEvents {
      public:
        // Data bytes from the server, 0xFF undoubled, in order.
        virtual void Data(const BYTE* p, size_t n) = 0;
        // A COM port subnegotiation from the server: code as sent (100 + command), then its value.
        virtual void ComPort(BYTE code, const BYTE* value, size_t n) = 0;

      protected:
        ~TEvents() = default;
    };

    // The opening requests (our offers and asks).
    std::string Start();
    // Decodes server bytes; state carries across calls, so a command split over reads decodes the
    // same. Replies to the server's requests are added to Replies().
    void Feed(const BYTE* p, size_t n, TEvents& ev);
    // Bytes to send to the server in answer to what was fed; taken (and cleared) by the caller.
    std::string& Replies() { return FReplies; }

    // The server agreed to COM port control (DO COM-PORT-OPTION), or refused it (DONT).
    bool ComPortAccepted() const { return FUs[telnet::COM_PORT] == kYes; }
    bool ComPortRefused() const { return FComPortRefused; }
    // Subnegotiations dropped because they were longer than kMaxSubnegotiation.
    size_t Dropped() const { return FDropped; }

    // Appends data bytes for the server, 0xFF doubled.
    static void AppendData(std::string& out, const BYTE* p, size_t n);
    // Appends one COM port command with its value (0xFF doubled inside).
    static void AppendComPort(std::string& out, BYTE command, const BYTE* value, size_t n);
    static void AppendComPort(std::string& out, BYTE command, BYTE value) {
        AppendComPort(out, command, &value, 1);
    }

  private:
    enum TQ : BYTE { kNo, kYes, kWantNo, kWantYes };
    void Verb(BYTE verb, BYTE option);
    void Send(BYTE verb, BYTE option);
    void EndSubnegotiation(TEvents& ev);

    enum TState : BYTE { sData, sIac, sVerb, sSb, sSbData, sSbIac };
    TState FState = sData;
    BYTE FVerb = 0;
    BYTE FSbOption = 0;
    std::string FSb;
    bool FSbTooLong = false;
    TQ FUs[256] = {};  // our side of each option (WILL/WONT)
    TQ FHim[256] = {}; // the server's side (DO/DONT)
    bool FComPortRefused = false;
    size_t FDropped = 0;
    std::string FReplies;
};
