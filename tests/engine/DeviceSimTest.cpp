#include "tools/devsim/DeviceSim.h"

#include <gtest/gtest.h>

using devsim::DeviceBlockSize;
using devsim::TDeviceOptions;
using devsim::TDeviceSim;

namespace {
const std::string Start("\xFF\x01\x78", 3);
const std::string End("\xFF\xFF\xFF\xFF", 4);

std::string Block(char fill) {
    return std::string(DeviceBlockSize, fill);
}

// Brings a device to the point where it has asked for block 0.
void Handshake(TDeviceSim& sim) {
    ASSERT_EQ(sim.Receive(Start).Bytes, ">");
    ASSERT_EQ(sim.Receive("<").Bytes, "!");
}

// Sends the end command and lets the line go quiet; returns the jobs reported.
std::vector<devsim::TJobReport> Finish(TDeviceSim& sim) {
    sim.Receive(End);
    sim.Silence();
    return sim.TakeReports();
}
} // namespace

TEST(DeviceSim, AnswersOnlyACompleteStartCommandThenAsksForBlocks) {
    TDeviceSim sim;
    EXPECT_EQ(sim.Receive(std::string("\xFF\x01", 2)).Bytes, "");
    EXPECT_EQ(sim.Receive("q<!").Bytes, "") << "noise before the start command is ignored";
    EXPECT_EQ(sim.Receive(std::string("\xFF\xFF\x01", 3)).Bytes, "");
    EXPECT_EQ(sim.Receive("q").Bytes, "") << "the start command must be contiguous";
    EXPECT_EQ(sim.Receive(std::string("\xFF\x01") + "q").Bytes, "");
    EXPECT_EQ(sim.Receive(Start).Bytes, ">");
    const auto r = sim.Receive("<");
    EXPECT_EQ(r.Bytes, "!");
    EXPECT_FALSE(r.AfterBlock);
}

TEST(DeviceSim, StoresBlocksAndEndsOnlyAfterEndCommandAndSilence) {
    TDeviceSim sim;
    Handshake(sim);
    auto r = sim.Receive(Block('a'));
    EXPECT_EQ(r.Bytes, "!");
    EXPECT_TRUE(r.AfterBlock);
    EXPECT_EQ(sim.Receive(End).Bytes, "");
    EXPECT_TRUE(sim.AwaitingSilence());
    EXPECT_TRUE(sim.TakeReports().empty()) << "no end before the line is quiet";
    EXPECT_EQ(sim.Silence().Bytes, "");
    auto reports = sim.TakeReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(reports[0].EndCommand);
    EXPECT_EQ(reports[0].Blocks, 1u);
    EXPECT_EQ(reports[0].Flash, Block('a'));
    EXPECT_FALSE(sim.InJob());
}

TEST(DeviceSim, BlockBeginningWithEndCommandBytesIsData) {
    TDeviceSim sim;
    Handshake(sim);
    const std::string block = End + std::string(DeviceBlockSize - 4, 'z');
    // Split right after the four FF bytes: without silence, the rest continues the block.
    EXPECT_EQ(sim.Receive(block.substr(0, 4)).Bytes, "");
    EXPECT_EQ(sim.Receive(block.substr(4)).Bytes, "!");
    auto reports = Finish(sim);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].Flash, block);
}

TEST(DeviceSim, EndCommandAfterAResendRequestIsNotAnEnd) {
    TDeviceOptions o;
    o.ErrorAt = {0};
    TDeviceSim sim(o);
    Handshake(sim);
    EXPECT_EQ(sim.Receive(Block('a')).Bytes, "@");
    sim.Receive(End);
    EXPECT_FALSE(sim.AwaitingSilence());
    sim.Silence();
    EXPECT_TRUE(sim.TakeReports().empty());
}

TEST(DeviceSim, ErrorAtRejectsABlockOnceAndKeepsTheResend) {
    TDeviceOptions o;
    o.ErrorAt = {1};
    TDeviceSim sim(o);
    Handshake(sim);
    EXPECT_EQ(sim.Receive(Block('a')).Bytes, "!");
    EXPECT_EQ(sim.Receive(Block('X')).Bytes, "@");
    EXPECT_EQ(sim.Receive(Block('b')).Bytes, "!");
    auto reports = Finish(sim);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].Flash, Block('a') + Block('b'));
    EXPECT_EQ(reports[0].Resends, 1u);
    EXPECT_EQ(reports[0].Blocks, 2u);
}

TEST(DeviceSim, RandomErrorsFollowTheSeed) {
    TDeviceOptions o;
    o.CrcErrors = 0.3;
    o.VerifyErrors = 0.3;
    o.Seed = 42;
    auto run = [&] {
        TDeviceSim sim(o);
        sim.Receive(Start);
        std::string answers = sim.Receive("<").Bytes;
        for (int i = 0; i < 40; ++i)
            answers += sim.Receive(Block('q')).Bytes;
        return answers;
    };
    const std::string a = run();
    EXPECT_EQ(a, run());
    EXPECT_NE(a.find('@'), std::string::npos);
    EXPECT_NE(a.find('$'), std::string::npos);
    EXPECT_NE(a.find('!', 1), std::string::npos);
}

TEST(DeviceSim, StallAfterStopsAllAnswers) {
    TDeviceOptions o;
    o.StallAfter = 2;
    TDeviceSim sim(o);
    Handshake(sim);
    EXPECT_EQ(sim.Receive(Block('a')).Bytes, "!");
    EXPECT_EQ(sim.Receive(Block('b')).Bytes, "");
    EXPECT_TRUE(sim.Stalled());
    EXPECT_EQ(sim.Receive(Start).Bytes, "");
    EXPECT_EQ(sim.Receive(Block('c')).Bytes, "");
}

TEST(DeviceSim, StartOverMidJobReportsTheUnfinishedJob) {
    TDeviceSim sim;
    Handshake(sim);
    sim.Receive(Block('a'));
    EXPECT_EQ(sim.Receive(Start).Bytes, "");
    EXPECT_TRUE(sim.AwaitingSilence());
    EXPECT_EQ(sim.Silence().Bytes, ">");
    EXPECT_EQ(sim.Receive("<").Bytes, "!");
    auto reports = sim.TakeReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_FALSE(reports[0].EndCommand);
    EXPECT_EQ(reports[0].Blocks, 1u);
    sim.Receive(Block('n'));
    reports = Finish(sim);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].Number, 2u);
    EXPECT_EQ(reports[0].Flash, Block('n'));
}

TEST(DeviceSim, ByteByByteFeedingGivesTheSameAnswers) {
    TDeviceOptions o;
    o.CrcErrors = 0.2;
    o.Seed = 7;
    const std::string stream = Start + "<" + Block('1') + Block('2') + Block('3');
    TDeviceSim whole(o), split(o);
    const std::string a = whole.Receive(stream).Bytes;
    std::string b;
    for (char c : stream)
        b += split.Receive(std::string_view(&c, 1)).Bytes;
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.size(), 5u);
}
