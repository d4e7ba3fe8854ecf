#include "DispatchTestKit.h"

#include "cport/ComDataPacket.h"
#include "platform/toolkit/FormData.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using namespace dispatchkit;

namespace {

// A framer fed directly, as the port's link would feed it.
class TFedPacket : public TComDataPacket {
  public:
    using TComDataPacket::TComDataPacket;
    void Feed(std::string_view Bytes) { RxBuf(nullptr, Bytes.data(), static_cast<int>(Bytes.size())); }
};

struct TFraming {
    std::string Start;
    std::string Stop;
    int32_t Size = 0;
    bool Include = false;
    bool CaseInsensitive = false;
    int32_t Max = 1024;
};

// Every packet as "P:" and every discard as "D:" followed by its bytes, in order.
struct TRecorder {
    explicit TRecorder(TComDataPacket& Packet) {
        Packet.SetOnPacket([this](TObject*, const std::string& s) { Events.push_back("P:" + s); });
        Packet.SetOnDiscard([this](TObject*, const std::string& s) { Events.push_back("D:" + s); });
    }
    std::vector<std::string> Events;
};

void Configure(TComDataPacket& p, const TFraming& f) {
    p.SetStartString(f.Start);
    p.SetStopString(f.Stop);
    p.SetSize(f.Size);
    p.SetIncludeStrings(f.Include);
    p.SetCaseInsensitive(f.CaseInsensitive);
    p.SetMaxBufferSize(f.Max);
}

struct TOutcome {
    std::vector<std::string> Events;
    std::string Pending;
};

TOutcome Frame(const TFraming& f, const std::vector<std::string>& Chunks) {
    TFedPacket p(nullptr);
    Configure(p, f);
    TRecorder rec(p);
    for (const auto& c : Chunks)
        p.Feed(c);
    return {rec.Events, std::string(p.PendingText())};
}

std::string Show(const std::vector<std::string>& Chunks) {
    std::string out;
    for (const auto& c : Chunks)
        out += "[" + c + "]";
    return out;
}

using namespace std::string_literals;

struct TCase {
    const char* Name;
    TFraming Framing;
    std::string Input;
    std::vector<std::string> Events;
    std::string Pending;
};

const std::vector<TCase>& Cases() {
    static const std::vector<TCase> cases{
        {"stop string ends the packet and is stripped", {"", "\r\n"}, "ABC\r\nDEF", {"P:ABC"}, "DEF"},
        {"included stop string stays", {"", "\r\n", 0, true}, "ABC\r\nDEF", {"P:ABC\r\n"}, "DEF"},
        {"start string with size", {"S", "", 4}, "xxS123S456", {"D:xx", "P:123", "D:", "P:456"}, ""},
        {"case-insensitive stop keeps the data's case",
         {"", "end", 0, true, true},
         "xxEnDyyEND",
         {"P:xxEnD", "P:yyEND"},
         ""},
        {"case-insensitive strings are stripped",
         {"go", "end", 0, false, true},
         "aGOxENDb",
         {"D:a", "P:x"},
         "b"},
        {"several packets of one chunk in order", {"", ";"}, "A;B;;C;", {"P:A", "P:B", "P:", "P:C"}, ""},
        {"start and stop with text between packets",
         {"<", ">"},
         "ju<ab>mo<de",
         {"D:ju", "P:ab", "D:mo"},
         "<de"},
        {"an earlier partial stop string does not hide the real one", {"", "aab"}, "xaaab", {"P:xa"}, ""},
        {"NUL and 8-bit bytes are ordinary characters",
         {"\0"s, "\xff\0"s},
         "a\0b\0c\xff\0\x80"s,
         {"D:a", "P:b\0c"s},
         "\x80"},
        {"maximum of 0 never discards for length",
         {"S", "E", 0, false, false, 0},
         "xxxxxxxxxxxx",
         {},
         "xxxxxxxxxxxx"},
        {"negative maximum never discards for length",
         {"", "#", 0, false, false, -1},
         "yyyyyyyyyyy",
         {},
         "yyyyyyyyyyy"},
        {"start string inside a packet is just data", {"S", "E"}, "xSaSbEc", {"D:x", "P:aSb"}, "c"},
    };
    return cases;
}

// Calls Fn with every way of cutting Input into non-empty chunks.
template <class F> void ForEveryChunking(const std::string& Input, F Fn) {
    const size_t gaps = Input.empty() ? 0 : Input.size() - 1;
    for (uint32_t mask = 0; mask < (1u << gaps); ++mask) {
        std::vector<std::string> chunks(1);
        for (size_t i = 0; i < Input.size(); ++i) {
            chunks.back() += Input[i];
            if (i < gaps && (mask & (1u << i))) chunks.emplace_back();
        }
        Fn(chunks);
    }
}

} // namespace

TEST(DataPacket, EdgeCasesGiveTheSameResultHoweverTheBytesAreSplit) {
    for (const TCase& c : Cases()) {
        SCOPED_TRACE(c.Name);
        int failures = 0;
        ForEveryChunking(c.Input, [&](const std::vector<std::string>& chunks) {
            TOutcome got = Frame(c.Framing, chunks);
            if (failures < 3 && (got.Events != c.Events || got.Pending != c.Pending)) {
                ++failures;
                ADD_FAILURE() << "chunks " << Show(chunks) << ": " << testing::PrintToString(got.Events)
                              << " pending " << testing::PrintToString(got.Pending);
            }
        });
    }
}

// Where chunk boundaries are meaningful: no framing at all, the size rule against an earlier stop
// string, and the length check that runs once per received chunk.
TEST(DataPacket, ChunkBoundariesCountWhereTheFramingLooksAtChunks) {
    struct TRow {
        const char* Name;
        TFraming Framing;
        std::vector<std::string> Chunks;
        std::vector<std::string> Events;
        std::string Pending;
    };
    const TRow rows[] = {
        {"no size and no stop: each chunk whole", {"S", ""}, {"xS1", "2\r\n"}, {"P:xS1", "P:2\r\n"}, ""},
        {"size wins over an earlier stop string", {"", "B", 5}, {"ABCDEFG"}, {"P:ABCDE"}, "FG"},
        {"stop string ends a packet shorter than size", {"", "B", 5}, {"AB", "CDE"}, {"P:A"}, "CDE"},
        {"stop string before the end is kept in a size packet", {"", "Z", 4}, {"ZabZ"}, {"P:ZabZ"}, ""},
        {"eight pending characters are discarded",
         {"S", "E", 0, false, false, 8},
         {"abcd", "efgh", "ij"},
         {"D:abcdefgh"},
         "ij"},
        {"the check runs once per chunk",
         {"S", "E", 0, false, false, 8},
         {"abcdefghij"},
         {"D:abcdefghij"},
         ""},
        {"a started packet is discarded too",
         {"S", "E", 0, false, false, 4},
         {"xS", "123"},
         {"D:x", "D:S123"},
         ""},
        {"size above the maximum never completes in small chunks",
         {"", "", 10, false, false, 4},
         {"01", "23", "45", "67", "89"},
         {"D:0123", "D:4567"},
         "89"},
    };
    for (const TRow& r : rows) {
        TOutcome got = Frame(r.Framing, r.Chunks);
        EXPECT_EQ(got.Events, r.Events) << r.Name;
        EXPECT_EQ(got.Pending, r.Pending) << r.Name;
    }
}

TEST(DataPacket, FramingChangesDiscardPendingTextOnlyWhenTheValueChanges) {
    TFedPacket p(nullptr);
    p.SetStopString(";");
    TRecorder rec(p);
    p.Feed("xy");
    p.SetStopString(";"); // same value: nothing
    EXPECT_EQ(rec.Events, std::vector<std::string>{});
    p.SetStopString("!");
    EXPECT_EQ(rec.Events, std::vector<std::string>{"D:xy"});
    // Nothing pending: a change is silent and the state is outside a packet.
    p.SetSize(3);
    p.SetCaseInsensitive(true);
    p.SetStartString("<");
    EXPECT_EQ(rec.Events.size(), 1u);
    EXPECT_FALSE(p.InPacket());
    // Plain fields never discard.
    p.Feed("ab");
    p.SetIncludeStrings(true);
    p.SetMaxBufferSize(1);
    EXPECT_EQ(p.PendingText(), "ab");
}

TEST(DataPacket, HandlerErrorsStillLeaveTheStateClear) {
    // A packet handler raising ends the delivery, but the length check still runs.
    TFedPacket p(nullptr);
    Configure(p, {"", ";", 0, false, false, 4});
    TRecorder rec(p);
    p.SetOnPacket([&](TObject*, const std::string& s) {
        rec.Events.push_back("P:" + s);
        throw std::runtime_error("handler failed");
    });
    EXPECT_THROW(p.Feed("A;B;C;"), std::runtime_error);
    EXPECT_EQ(rec.Events, (std::vector<std::string>{"P:A", "D:B;C;"}));
    EXPECT_EQ(p.PendingText(), "");

    // A raising discard handler: the pending text and the packet state are gone all the same.
    TFedPacket q(nullptr);
    q.SetStartString("S");
    q.SetStopString("E");
    int discards = 0;
    q.SetOnDiscard([&](TObject*, const std::string&) {
        ++discards;
        throw std::runtime_error("discard failed");
    });
    EXPECT_THROW(q.Feed("xSab"), std::runtime_error); // "x" discarded before the start
    EXPECT_TRUE(q.InPacket());
    EXPECT_EQ(q.PendingText(), "Sab");
    EXPECT_THROW(q.EmptyBuffer(), std::runtime_error);
    EXPECT_EQ(q.PendingText(), "");
    EXPECT_FALSE(q.InPacket());
    q.EmptyBuffer(); // nothing pending: no handler call
    EXPECT_EQ(discards, 2);

    // A discard handler that empties the buffer again reports nothing twice.
    TFedPacket r(nullptr);
    r.SetStopString(";");
    std::vector<std::string> seen;
    r.SetOnDiscard([&](TObject*, const std::string& s) {
        seen.push_back(s);
        r.EmptyBuffer();
    });
    r.Feed("abc");
    r.EmptyBuffer();
    EXPECT_EQ(seen, std::vector<std::string>{"abc"});
}

TEST(DataPacket, DefaultsAndStoredFormBindToThePortAfterLoading) {
    TVirtualPort vp("COM11");
    TComponent form(nullptr);
    TComPort* port = vp.Port.release();
    form.InsertComponent(port);
    port->SetName("ComPort1");
    auto* p = new TComDataPacket(&form);
    p->SetName("Packet1");
    EXPECT_EQ(p->MaxBufferSize(), 1024);
    EXPECT_EQ(p->Size(), 0);
    EXPECT_FALSE(p->IncludeStrings() || p->CaseInsensitive() || p->InPacket());

    TPublished<TComponent>("TComponent").Register();
    TComDataPacket::StaticClassInfo();
    p->SetComPort(port);
    p->SetStopString("\r\n");
    p->SetSize(7);
    std::string text = WriteComponent(form);
    EXPECT_NE(text.find("ComPort = ComPort1"), std::string::npos) << text;
    EXPECT_NE(text.find("StopString = \"\\x0D\\x0A\""), std::string::npos) << text;
    EXPECT_EQ(text.find("MaxBufferSize"), std::string::npos) << text;

    // Read into a fresh form: the framer comes before the port it names and still binds to it.
    TComponent copy(nullptr);
    auto* port2 = new TComPort(&copy);
    port2->SetName("ComPort1");
    ReadComponentData(copy, "F: TComponent {\n"
                            "  Packet1: TComDataPacket {\n    ComPort = ComPort1\n    Size = 7\n  }\n"
                            "  ComPort1: TComPort {\n  }\n}\n");
    auto* p2 = dynamic_cast<TComDataPacket*>(copy.FindComponent("Packet1"));
    ASSERT_NE(p2, nullptr);
    EXPECT_EQ(p2->ComPort(), port2);
    // Bound means registered: the port now hands received blocks to a link.
    EXPECT_FALSE(port2->TriggersOnRxChar());
}

TEST(DataPacket, PacketsArriveThroughThePortUntilThePortIsDestroyed) {
    auto vp = std::make_unique<TVirtualPort>("COM12", smNone);
    TComDataPacket p(nullptr);
    p.SetStopString(";");
    TLog log;
    p.SetOnPacket([&](TObject* Sender, const std::string& s) {
        EXPECT_EQ(Sender, &p);
        log.Add("P:" + s);
    });
    p.SetComPort(vp->Port.get());
    vp->Port->Open();
    vp->Dev->Deliver(std::string("one;tw"));
    vp->Dev->Deliver(std::string("o;\0;"s));
    ASSERT_TRUE(log.WaitFor("P:"s + "\0"s)) << testing::PrintToString(log.Items());
    EXPECT_EQ(log.Items(), (std::vector<std::string>{"P:one", "P:two", "P:\0"s}));

    // The port's removal notice unbinds the framer; a new port on the same device is not followed.
    vp->Port.reset();
    EXPECT_EQ(p.ComPort(), nullptr);
    TLog rx; // outlives the port whose event thread writes to it
    TComPort again(nullptr);
    again.SetPort("COM12");
    again.SetSyncMethod(smNone);
    again.SetOnRxChar([&](TObject*, int) { rx.Add("rx"); });
    again.Open();
    vp->Dev->Deliver(std::string("late;"));
    ASSERT_TRUE(rx.WaitFor("rx"));
    EXPECT_EQ(log.Items().size(), 3u);
}

// HandleBuffer is the place to extend: an override is called once more after every packet, as a
// search that calls itself after each packet would be.
TEST(DataPacket, AnOverriddenHandleBufferRunsOnceMoreAfterEveryPacket) {
    class TCounting : public TFedPacket {
      public:
        using TFedPacket::TFedPacket;
        int Calls = 0;

      protected:
        void HandleBuffer() override {
            ++Calls;
            TFedPacket::HandleBuffer();
        }
    };
    const struct {
        const char* Chunk;
        int Calls;
    } rows[] = {{"A;B;C;", 4}, {"A;B", 2}, {"none", 1}};
    for (const auto& r : rows) {
        TCounting p(nullptr);
        p.SetStopString(";");
        p.Feed(r.Chunk);
        EXPECT_EQ(p.Calls, r.Calls) << r.Chunk;
    }
}
