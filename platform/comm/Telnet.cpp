#include "platform/comm/Telnet.h"

using namespace telnet;

namespace {
bool WeOffer(BYTE option) {
    return option == BINARY || option == SGA || option == COM_PORT;
}
bool WeAccept(BYTE option) {
    return option == BINARY || option == SGA;
}
} // namespace

std::string TTelnetCodec::Start() {
    for (BYTE o : {BINARY, SGA, COM_PORT}) {
        FUs[o] = kWantYes;
        Send(WILL, o);
    }
    for (BYTE o : {BINARY, SGA}) {
        FHim[o] = kWantYes;
        Send(DO, o);
    }
    std::string out;
    out.swap(FReplies);
    return out;
}

void TTelnetCodec::Send(BYTE verb, BYTE option) {
    FReplies.push_back(static_cast<char>(IAC));
    FReplies.push_back(static_cast<char>(verb));
    FReplies.push_back(static_cast<char>(option));
}

void TTelnetCodec::Verb(BYTE verb, BYTE option) {
    if (verb == WILL || verb == WONT) {
        TQ& q = FHim[option];
        const bool will = verb == WILL;
        switch (q) {
        case kNo:
            if (!will) break;
            if (WeAccept(option)) {
                q = kYes;
                Send(DO, option);
            } else {
                Send(DONT, option);
            }
            break;
        case kYes:
            if (!will) {
                q = kNo;
                Send(DONT, option);
            }
            break;
        case kWantNo:
            q = kNo;
            break;
        case kWantYes:
            q = will ? kYes : kNo;
            break;
        }
        return;
    }
    TQ& q = FUs[option];
    const bool doIt = verb == DO;
    switch (q) {
    case kNo:
        if (!doIt) break;
        if (WeOffer(option)) {
            q = kYes;
            Send(WILL, option);
        } else {
            Send(WONT, option);
        }
        break;
    case kYes:
        if (!doIt) {
            q = kNo;
            Send(WONT, option);
        }
        break;
    case kWantNo:
        q = kNo;
        break;
    case kWantYes:
        q = doIt ? kYes : kNo;
        break;
    }
    if (option == COM_PORT && q == kNo) FComPortRefused = true;
}

void TTelnetCodec::EndSubnegotiation(TEvents& ev) {
    if (FSbTooLong) {
        ++FDropped;
    } else if (FSbOption == COM_PORT && !FSb.empty()) {
        ev.ComPort(static_cast<BYTE>(FSb[0]), reinterpret_cast<const BYTE*>(FSb.data()) + 1, FSb.size() - 1);
    }
    FSb.clear();
    FSbTooLong = false;
}

void TTelnetCodec::Feed(const BYTE* p, size_t n, TEvents& ev) {
    size_t run = 0; // start of a pending run of plain data
    for (size_t i = 0; i < n; ++i) {
        const BYTE b = p[i];
        switch (FState) {
        case sData:
            if (b == IAC) {
                if (i > run) ev.Data(p + run, i - run);
                FState = sIac;
            }
            continue;
        case sIac:
            if (b == IAC) {
                ev.Data(&b, 1);
                FState = sData;
            } else if (b >= WILL) {
                FVerb = b;
                FState = sVerb;
            } else if (b == SB) {
                FState = sSb;
            } else {
                FState = sData; // NOP, GA, AYT…: nothing for a serial line
            }
            break;
        case sVerb:
            Verb(FVerb, b);
            FState = sData;
            break;
        case sSb:
            FSbOption = b;
            FSb.clear();
            FSbTooLong = false;
            FState = sSbData;
            break;
        case sSbData:
            if (b == IAC) {
                FState = sSbIac;
            } else if (FSb.size() < kMaxSubnegotiation) {
                FSb.push_back(static_cast<char>(b));
            } else {
                FSbTooLong = true;
            }
            break;
        case sSbIac:
            if (b == IAC) {
                if (FSb.size() < kMaxSubnegotiation)
                    FSb.push_back(static_cast<char>(b));
                else
                    FSbTooLong = true;
                FState = sSbData;
            } else if (b == SE) {
                EndSubnegotiation(ev);
                FState = sData;
            } else {
                // A command inside a subnegotiation: the subnegotiation was cut off. It is dropped
                // and the command read as if it followed IAC in the data.
                ++FDropped;
                FSb.clear();
                FSbTooLong = false;
                FState = sIac;
                --i;
                continue;
            }
            break;
        }
        run = i + 1;
    }
    if (FState == sData && n > run) ev.Data(p + run, n - run);
}

void TTelnetCodec::AppendData(std::string& out, const BYTE* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (p[i] == IAC) out.push_back(static_cast<char>(IAC));
        out.push_back(static_cast<char>(p[i]));
    }
}

void TTelnetCodec::AppendComPort(std::string& out, BYTE command, const BYTE* value, size_t n) {
    for (BYTE b : {IAC, SB, COM_PORT, command})
        out.push_back(static_cast<char>(b));
    AppendData(out, value, n);
    out.push_back(static_cast<char>(IAC));
    out.push_back(static_cast<char>(SE));
}
