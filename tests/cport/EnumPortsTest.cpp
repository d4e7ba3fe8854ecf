#include "cport/ComEnum.h"
#include "cport/ComTypes.h"
#include "platform/ports/DeviceMap.h"

#include <gtest/gtest.h>

namespace {

// Enumerates over a system port list made of the given names.
std::vector<std::string> Enumerate(std::vector<std::string> names, std::vector<std::string> before = {}) {
    std::vector<TSystemPort> list;
    for (auto& n : names)
        list.push_back({n, "/dev/null"});
    SetSystemPortListOverride(list);
    EnumComPorts(before);
    SetSystemPortListOverride(std::nullopt);
    return before;
}

using Names = std::vector<std::string>;

} // namespace

TEST(EnumPorts, KeepsSerialPortsInSystemOrderUpToTheColon) {
    EXPECT_EQ(Enumerate({"COM1:", "LPT1:", "COM2:", "FILE:"}), (Names{"COM1", "COM2"}));
    EXPECT_EQ(Enumerate({"COM12:", "COM1:", "COM10:", "COM1:"}), (Names{"COM12", "COM1", "COM10", "COM1"}));
    EXPECT_EQ(Enumerate({"COM3", "COMX:", "COM"}), (Names{"COM3", "COMX", "COM"}));
}

TEST(EnumPorts, SkipsOtherCaseAndShortNames) {
    EXPECT_EQ(Enumerate({"com3:", "Com4:", "CO", "", "C", "xCOM1:"}), Names{});
}

TEST(EnumPorts, AppendsBehindExistingEntriesAndNoPortsAddNothing) {
    EXPECT_EQ(Enumerate({}, {"keep"}), Names{"keep"});
    EXPECT_EQ(Enumerate({"COM2:"}, {"COM2", "x"}), (Names{"COM2", "x", "COM2"}));
}

TEST(EnumPorts, ReadsTheDeviceMapWhenNotOverridden) {
    SetDeviceMapOverride(std::vector<TDeviceMapEntry>{{"COM3", "/tmp/a"}, {"COM11", "/tmp/b"}});
    std::vector<std::string> ports;
    EnumComPorts(ports);
    SetDeviceMapOverride(std::nullopt);
    EXPECT_EQ(ports, (Names{"COM3", "COM11"}));
}
