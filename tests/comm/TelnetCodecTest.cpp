// The Telnet codec of network ports without sockets, and the network port names.

#include "platform/comm/Telnet.h"
#include "platform/ports/NetPortName.h"

#include <gtest/gtest.h>

using namespace std::string_literals;

namespace {

struct TRecord : TTelnetCodec::TEvents {
    std::string data, notices;
    void Data(const BYTE* p, size_t n) override { data.append(reinterpret_cast<const char*>(p), n); }
    void ComPort(BYTE code, const BYTE* v, size_t n) override {
        notices += std::to_string(code) + ":" + std::string(reinterpret_cast<const char*>(v), n) + ";";
    }
};

std::string Feed(TTelnetCodec& c, const std::string& bytes, TRecord& r) {
    c.Feed(reinterpret_cast<const BYTE*>(bytes.data()), bytes.size(), r);
    std::string out;
    out.swap(c.Replies());
    return out;
}

} // namespace

TEST(TelnetCodec, NegotiationNeverLoopsAndRefusesWhatItDoesNotKnow) {
    TTelnetCodec c;
    EXPECT_EQ(c.Start(), "\xff\xfb\x00\xff\xfb\x03\xff\xfb\x2c\xff\xfd\x00\xff\xfd\x03"s);
    struct Row {
        std::string server, reply;
    };
    const Row rows[] = {
        {"\xff\xfd\x2c", ""},                          // DO COM-PORT: what we asked for, no answer
        {"\xff\xfb\x00\xff\xfd\x00\xff\xfb\x03"s, ""}, // WILL/DO BINARY, WILL SGA: the same
        {"\xff\xfb\x01", "\xff\xfe\x01"},              // WILL ECHO: refused
        {"\xff\xfe\x01", ""},                          // DONT ECHO while off: nothing
        {"\xff\xfd\x18", "\xff\xfc\x18"},              // DO TERMINAL-TYPE: refused
        {"\xff\xfc\x18", ""},                          // WONT while off: nothing
        {"\xff\xfc\x03", "\xff\xfe\x03"},              // WONT SGA while on: acknowledged once
        {"\xff\xfc\x03", ""},                          // again: nothing
    };
    for (const Row& r : rows) {
        TRecord rec;
        EXPECT_EQ(Feed(c, r.server, rec), r.reply) << testing::PrintToString(r.server);
        EXPECT_TRUE(rec.data.empty());
    }
    EXPECT_TRUE(c.ComPortAccepted());
    TRecord rec;
    Feed(c, "\xff\xfe\x2c", rec);
    EXPECT_TRUE(c.ComPortRefused());
}

TEST(TelnetCodec, DataAndCommandsStaySeparateAtEveryCut) {
    // Doubled 0xFF, a NOP, a notice with a doubled 0xFF in its value, an over-long notice (dropped),
    // and a subnegotiation cut short by a command.
    const std::string wire = "a\xff\xff"
                             "b\xff\xf1"
                             "c" +
                             "\xff\xfa\x2c\x65\x00\x01\xff\xff\xff\xf0"s + "d\xff\xfa\x2c\x6b" +
                             std::string(100, 'x') + "\xff\xf0" + "e" + "\xff\xfa\x2c\x6a\x02\xff\xfd\x18" +
                             "f";
    const std::string data("a\xff"
                           "bcdef",
                           7);
    const std::string notices = std::string("101:") + std::string("\x00\x01\xff", 3) + ";";
    for (size_t cut = 0; cut <= wire.size(); ++cut) {
        TTelnetCodec c;
        TRecord r;
        std::string replies = Feed(c, wire.substr(0, cut), r);
        replies += Feed(c, wire.substr(cut), r);
        ASSERT_EQ(r.data, data) << cut;
        ASSERT_EQ(r.notices, notices) << cut;
        ASSERT_EQ(replies, "\xff\xfc\x18") << cut;
        ASSERT_EQ(c.Dropped(), 2u);
    }
    std::string out;
    const BYTE v[] = {0x00, 0xff};
    TTelnetCodec::AppendComPort(out, telnet::SET_BAUDRATE, v, 2);
    EXPECT_EQ(out, std::string("\xff\xfa\x2c\x01\x00\xff\xff\xff\xf0", 9));
}

TEST(NetPortName, FormsAndMistakes) {
    struct Row {
        const char* name;
        const char* shown; // empty: refused
    };
    const Row rows[] = {
        {"rfc2217://rack1:2217", "rack1:2217"},
        {"socket://10.0.0.5:4001/", "10.0.0.5:4001"},
        {"rfc2217://[::1]:2217", "[::1]:2217"},
        {"rfc2217://rack1", ""},
        {"rfc2217://::1:2217", ""},
        {"rfc2217://rack1:0", ""},
        {"rfc2217://rack1:65536", ""},
        {"socket://:4001", ""},
        {"rfc2217://rack1:22/x", ""},
        {"rfc2217://a b:1", ""},
    };
    for (const Row& r : rows) {
        std::string why;
        auto n = ParseNetPortName(r.name, &why);
        EXPECT_EQ(n ? n->Shown() : "", r.shown) << r.name;
        EXPECT_EQ(why.empty(), n.has_value()) << r.name;
    }
    EXPECT_EQ(ParseNetPortName("socket://h:1")->Kind, TNetPortKind::RawSocket);
    EXPECT_FALSE(IsNetPortName("/dev/ttyUSB0"));
}
