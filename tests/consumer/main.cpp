// Opens a port on an in-process virtual device, writes bytes, reads the far end's answer back.
// Exits 0 when everything arrived as sent.

#include "cport/CPort.h"
#include "platform/comm/VirtualDevice.h"
#include "tolvane/Version.h"

#include <cstdio>
#include <string>

int main() {
    auto device = TVirtualDevice::Create("COM7");
    if (!device) return 1;
    TComPort port(nullptr);
    port.SetPort("COM7");
    port.SetEvents({});
    port.Open();
    const std::string hello("hello\0\xff", 7);
    port.WriteStr(hello);
    if (!device->WaitSent(hello.size(), 2000) || device->ReadSent() != hello) {
        std::fprintf(stderr, "consumer: the device did not get the bytes\n");
        return 2;
    }
    device->Deliver("olleh");
    std::string back;
    port.ReadStr(back, 5);
    port.Close();
    if (back != "olleh") {
        std::fprintf(stderr, "consumer: read back '%s'\n", back.c_str());
        return 3;
    }
    std::printf("consumer: CPort %s wrote and read back through COM7\n", TOLVANE_VERSION);
    return 0;
}
