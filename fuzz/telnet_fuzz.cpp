// The Telnet decoder of network ports against arbitrary server bytes.
//   input: a flags byte (bit 0: the codec sends its opening requests first), two bytes of a split
//   position, then the rest.
// The rest, as it stands, is decoded whole and in two pieces split at that position: the same data
// and COM port notices in the same order, the same dropped count and the same replies; the replies
// are IAC verb option triples, at most one per IAC byte fed (each negotiation needs one).
// The rest is also read as tokens — a data run, IAC IAC, a negotiation, a subnegotiation, another
// command, a subnegotiation cut off by a command — from which the wire bytes are built together
// with the data and notices they must decode to. Decoded whole, split, and one token at a time, the
// result must be exactly that: nothing of a command or a subnegotiation in the data, every COM port
// subnegotiation of 1 to kMaxSubnegotiation payload bytes (code included) reported, longer and cut
// off ones counted as dropped. A token is answered only when it is a negotiation, with at most one
// triple of the other direction's verbs for the same option. Memory: the codec keeps at most
// kMaxSubnegotiation bytes of a subnegotiation; libFuzzer's malloc limit catches any other growth.

#include "platform/comm/Telnet.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

using namespace telnet;

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

void Put(std::string& s, BYTE b) {
    s.push_back(static_cast<char>(b));
}

// A data or subnegotiation byte on the wire: IAC doubled.
void PutEscaped(std::string& s, BYTE b) {
    if (b == IAC) Put(s, IAC);
    Put(s, b);
}

// What the codec reports, in order: "D" and data bytes (adjacent runs joined, so the log does not
// depend on how the input was cut), or "N" and a COM port subnegotiation's code and value.
class TLog final : public TTelnetCodec::TEvents {
  public:
    std::vector<std::string> Entries;

    void Data(const BYTE* p, size_t n) override { AddData(std::string(reinterpret_cast<const char*>(p), n)); }
    void ComPort(BYTE code, const BYTE* value, size_t n) override {
        std::string e = "N";
        Put(e, code);
        e.append(reinterpret_cast<const char*>(value), n);
        Entries.push_back(std::move(e));
    }
    void AddData(const std::string& bytes) {
        if (bytes.empty()) return;
        if (!Entries.empty() && Entries.back()[0] == 'D')
            Entries.back() += bytes;
        else
            Entries.push_back("D" + bytes);
    }
};

// Replies (and the opening) are whole IAC verb option triples.
bool Triples(const std::string& s) {
    if (s.size() % 3 != 0) return false;
    for (size_t i = 0; i < s.size(); i += 3) {
        const auto verb = static_cast<BYTE>(s[i + 1]);
        if (static_cast<BYTE>(s[i]) != IAC || verb < WILL || verb > DONT) return false;
    }
    return true;
}

struct TResult {
    std::vector<std::string> Log;
    std::string Replies;
    size_t Dropped = 0;
    bool Accepted = false, Refused = false;
    bool operator==(const TResult&) const = default;
};

TResult Decode(const std::string& wire, size_t cut, bool start) {
    TTelnetCodec codec;
    if (start) Check(Triples(codec.Start()));
    TLog seen;
    TResult r;
    const auto* p = reinterpret_cast<const BYTE*>(wire.data());
    codec.Feed(p, cut, seen);
    r.Replies += codec.Replies();
    codec.Replies().clear();
    codec.Feed(p + cut, wire.size() - cut, seen);
    r.Replies += codec.Replies();
    r.Log = std::move(seen.Entries);
    r.Dropped = codec.Dropped();
    r.Accepted = codec.ComPortAccepted();
    r.Refused = codec.ComPortRefused();
    return r;
}

class TReader {
  public:
    TReader(const uint8_t* p, size_t n) : FP(p), FN(n) {}
    bool Empty() const { return FN == 0; }
    // The next input byte; zeros once the input is used up, so every token is whole.
    BYTE Next() {
        if (FN == 0) return 0;
        --FN;
        return *FP++;
    }

  private:
    const uint8_t* FP;
    size_t FN;
};

struct TToken {
    std::string Wire;
    bool Negotiates = false; // it carries a WILL, WONT, DO or DONT
    BYTE Verb = 0, Option = 0;
};

void Negotiation(TReader& r, TToken& t) {
    static constexpr BYTE kKnown[] = {BINARY, SGA, COM_PORT};
    const BYTE v = r.Next();
    t.Negotiates = true;
    t.Verb = static_cast<BYTE>(WILL + v % 4);
    t.Option = (v & 0x80) ? kKnown[(v >> 2) % 3] : r.Next();
    Put(t.Wire, IAC);
    Put(t.Wire, t.Verb);
    Put(t.Wire, t.Option);
}

// IAC SB, an option (mostly COM-PORT-OPTION) and up to kMaxSubnegotiation + 16 payload bytes, IAC
// doubled; without the end. Returns the payload as the codec keeps it.
std::string Subnegotiation(TReader& r, TToken& t, BYTE& option) {
    option = (r.Next() & 1) ? COM_PORT : r.Next();
    const size_t len = static_cast<size_t>(r.Next()) % (kMaxSubnegotiation + 17);
    Put(t.Wire, IAC);
    Put(t.Wire, SB);
    Put(t.Wire, option);
    std::string payload;
    for (size_t i = 0; i < len; ++i) {
        const BYTE b = r.Next();
        Put(payload, b);
        PutEscaped(t.Wire, b);
    }
    return payload;
}

// A command after IAC that means nothing for a serial line (NOP, GA, … and any byte below SB).
BYTE Command(TReader& r) {
    return static_cast<BYTE>(r.Next() % SB);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const bool start = data[0] & 1;
    const size_t at = static_cast<size_t>(data[1]) << 8 | data[2];
    data += 3;
    size -= 3;

    // The bytes as they stand.
    {
        const std::string raw(reinterpret_cast<const char*>(data), size);
        const TResult whole = Decode(raw, raw.size(), start);
        const TResult split = Decode(raw, at % (raw.size() + 1), start);
        Check(whole == split);
        Check(Triples(whole.Replies));
        const auto iacs = static_cast<size_t>(std::count(raw.begin(), raw.end(), static_cast<char>(IAC)));
        Check(whole.Replies.size() <= 3 * iacs);
    }

    // The bytes as tokens, with what they must decode to.
    std::vector<TToken> tokens;
    TLog expected;
    size_t dropped = 0, negotiations = 0;
    TReader r(data, size);
    while (!r.Empty()) {
        TToken t;
        const BYTE kind = r.Next();
        switch (kind % 6) {
        case 0: { // a run of data bytes
            const size_t len = static_cast<size_t>(kind / 6) % 32 + 1;
            std::string bytes;
            for (size_t i = 0; i < len; ++i) {
                const BYTE b = r.Next();
                Put(bytes, b);
                PutEscaped(t.Wire, b);
            }
            expected.AddData(bytes);
            break;
        }
        case 1: // IAC IAC: the data byte 0xFF
            Put(t.Wire, IAC);
            Put(t.Wire, IAC);
            expected.AddData(std::string(1, static_cast<char>(IAC)));
            break;
        case 2:
            Negotiation(r, t);
            break;
        case 3: { // a whole subnegotiation
            BYTE option = 0;
            const std::string payload = Subnegotiation(r, t, option);
            Put(t.Wire, IAC);
            Put(t.Wire, SE);
            if (payload.size() > kMaxSubnegotiation)
                ++dropped;
            else if (option == COM_PORT && !payload.empty())
                expected.Entries.push_back("N" + payload);
            break;
        }
        case 4:
            Put(t.Wire, IAC);
            Put(t.Wire, Command(r));
            break;
        default: { // a subnegotiation cut off by a command, which then counts as that command
            BYTE option = 0;
            Subnegotiation(r, t, option);
            ++dropped;
            if (kind & 0x40) {
                Negotiation(r, t);
            } else {
                BYTE c = Command(r);
                if (c == SE) c = static_cast<BYTE>(SE + 1); // IAC SE would end it properly: NOP instead
                Put(t.Wire, IAC);
                Put(t.Wire, c);
            }
            break;
        }
        }
        if (t.Negotiates) ++negotiations;
        tokens.push_back(std::move(t));
    }

    std::string wire;
    for (const TToken& t : tokens)
        wire += t.Wire;
    const TResult whole = Decode(wire, wire.size(), start);
    Check(whole.Log == expected.Entries);
    Check(whole.Dropped == dropped);
    Check(whole.Replies.size() <= 3 * negotiations);
    Check(Decode(wire, at % (wire.size() + 1), start) == whole);

    // One token at a time: only negotiations are answered, each at most once and in kind.
    TTelnetCodec codec;
    if (start) Check(Triples(codec.Start()));
    TLog seen;
    std::string replies;
    for (const TToken& t : tokens) {
        codec.Feed(reinterpret_cast<const BYTE*>(t.Wire.data()), t.Wire.size(), seen);
        std::string& out = codec.Replies();
        if (!t.Negotiates) {
            Check(out.empty());
        } else if (!out.empty()) {
            Check(out.size() == 3 && static_cast<BYTE>(out[0]) == IAC && static_cast<BYTE>(out[2]) == t.Option);
            const auto verb = static_cast<BYTE>(out[1]);
            if (t.Verb == WILL || t.Verb == WONT)
                Check(verb == DO || verb == DONT);
            else
                Check(verb == WILL || verb == WONT);
        }
        replies += out;
        out.clear();
    }
    Check(seen.Entries == whole.Log && replies == whole.Replies && codec.Dropped() == whole.Dropped);
    return 0;
}
