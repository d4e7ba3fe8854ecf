// The packet framer against a plain model of its rules that searches the whole pending text on
// every chunk, with random framing properties and chunkings. Checks: no undefined behaviour, the
// same packets, discards and pending text as the model, and, with IncludeStrings, every input
// byte in exactly one packet, discard or the pending text, in order.

#include "cport/ComDataPacket.h"
#include "platform/toolkit/Text.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

class TFedPacket : public TComDataPacket {
  public:
    using TComDataPacket::TComDataPacket;
    void Feed(const std::string& Bytes) { RxBuf(nullptr, Bytes.data(), static_cast<int>(Bytes.size())); }
};

struct TModel {
    std::string Start, Stop;
    int32_t Size = 0, Max = 1024;
    bool Include = false, Case = false;
    std::string Pending;
    bool Inside = false;
    std::vector<std::string> Events;

    std::string Up(std::string s) const {
        if (Case)
            for (char& c : s)
                c = UpperAscii(c);
        return s;
    }
    size_t Pos(const std::string& What, const std::string& In) const {
        return What.empty() ? std::string::npos : Up(In).find(Up(What));
    }
    std::string Check(std::string s) const {
        if (Include) return s;
        if (Pos(Start, s) == 0) s.erase(0, Start.size());
        if (!Stop.empty() && s.size() >= Stop.size() && Pos(Stop, s) == s.size() - Stop.size())
            s.erase(s.size() - Stop.size());
        return s;
    }
    void Rx(const std::string& t) {
        if (Size > 0 || !Stop.empty()) {
            Pending += t;
            Handle();
        } else {
            Events.push_back("P" + t);
        }
    }
    void Handle() {
        if (!Inside) {
            if (Start.empty()) {
                Inside = true;
            } else if (size_t p = Pos(Start, Pending); p != std::string::npos) {
                std::string cut = Pending.substr(0, p);
                Pending.erase(0, p);
                Inside = true;
                Events.push_back("D" + cut);
            }
        }
        if (Inside) {
            size_t len = 0;
            if (Size > 0 && Pending.size() >= static_cast<size_t>(Size))
                len = static_cast<size_t>(Size);
            else if (size_t p = Pos(Stop, Pending); p != std::string::npos)
                len = p + Stop.size();
            if (len > 0) {
                std::string packet = Pending.substr(0, len);
                Inside = false;
                Pending.erase(0, len);
                Events.push_back("P" + Check(packet));
                Handle();
            }
        }
        if (Max > 0 && Pending.size() >= static_cast<size_t>(Max)) Empty();
    }
    void Empty() {
        if (Pending.empty()) return;
        Events.push_back("D" + Pending);
        Pending.clear();
        Inside = false;
    }
};

// Framing strings from a small alphabet, so they occur in the data often.
std::string Framing(const uint8_t*& Data, size_t& Left, size_t Length) {
    std::string s;
    static const char alphabet[] = {'a', 'A', 'b', '\r', '\n', '\0', '\xff'};
    for (size_t i = 0; i < Length && Left > 0; ++i, ++Data, --Left)
        s += alphabet[*Data % sizeof(alphabet)];
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size < 4) return 0;
    const uint8_t flags = Data[0], size = Data[1], max = Data[2], lengths = Data[3];
    Data += 4;
    Size -= 4;
    TModel model;
    model.Case = flags & 1;
    model.Include = flags & 2;
    model.Size = (flags & 4) ? size % 24 : 0;
    model.Max = static_cast<int8_t>(max) % 48;
    model.Start = Framing(Data, Size, lengths & 3);
    model.Stop = Framing(Data, Size, (lengths >> 2) & 3);

    TFedPacket framer(nullptr);
    framer.SetStartString(model.Start);
    framer.SetStopString(model.Stop);
    framer.SetSize(model.Size);
    framer.SetIncludeStrings(model.Include);
    framer.SetCaseInsensitive(model.Case);
    framer.SetMaxBufferSize(model.Max);
    std::vector<std::string> events;
    framer.SetOnPacket([&](TObject*, const std::string& s) { events.push_back("P" + s); });
    framer.SetOnDiscard([&](TObject*, const std::string& s) { events.push_back("D" + s); });

    // The rest alternates a chunk length byte with that many data bytes (mapped onto the same small
    // alphabet half the time, so framing strings appear).
    std::string input;
    while (Size > 0) {
        size_t n = std::min<size_t>(Data[0] % 33 + 1, Size - 1);
        const bool mapped = Data[0] & 0x80;
        ++Data;
        --Size;
        if (n == 0) break;
        std::string chunk =
            mapped ? Framing(Data, Size, n) : std::string(reinterpret_cast<const char*>(Data), n);
        if (!mapped) {
            Data += n;
            Size -= n;
        }
        input += chunk;
        framer.Feed(chunk);
        model.Rx(chunk);
    }

    if (events != model.Events || framer.PendingText() != model.Pending || framer.InPacket() != model.Inside)
        std::abort();
    if (model.Include) {
        std::string joined;
        for (const std::string& e : events)
            joined += e.substr(1);
        joined += std::string(framer.PendingText());
        if (joined != input) std::abort();
    }
    return 0;
}
