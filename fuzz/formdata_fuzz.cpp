// Feeds arbitrary text to the stored form-data reader with the port and the packet framer
// registered. Text that reads is written again, and what is written reads back and writes the
// same text (a stored form never changes by being loaded and saved). Text that does not read is
// refused with an error and leaves nothing behind (the address sanitizer sees any leak).

#include "cport/ComDataPacket.h"
#include "cport/ComPort.h"
#include "platform/toolkit/FormData.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

std::unique_ptr<TComponent> Read(std::string_view text) {
    try {
        return std::unique_ptr<TComponent>(ReadComponent(text, nullptr));
    } catch (const Exception&) {
        // Refused text (EFormDataError), or a stored port that cannot open its device.
        return nullptr;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static const bool registered = [] {
        // A stored port that asks to be connected must never reach a real device.
        std::string none;
        for (int n = 1; n <= 16; ++n)
            none += "COM" + std::to_string(n) + "=virtual:fuzz-none;";
        setenv("CPORT_DEVICES", none.c_str(), 1);
        TPublished<TComponent>("TComponent").Register();
        TComPort::StaticClassInfo();
        TComDataPacket::StaticClassInfo();
        return true;
    }();
    (void)registered;
    std::unique_ptr<TComponent> first = Read(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!first) return 0;
    const std::string written = WriteComponent(*first);
    first.reset();
    std::unique_ptr<TComponent> second = Read(written);
    Check(second != nullptr);
    Check(WriteComponent(*second) == written);
    return 0;
}
