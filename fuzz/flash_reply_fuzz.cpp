// Arbitrary device replies against the flash engine, compared with a plain model of the protocol:
// '>' is answered with the acknowledge byte, '!' with the next block of the image (zeros past its
// end) or, after the last block, the end command, '@' and '$' with the previous block again (nothing
// before the first block); every other reply gets no answer. So only these answers ever go out,
// and never a byte from outside the image.
//   input: two bytes of image size (1 ... 3000), then replies as [length byte][bytes ...]

#include "app/engine/FlashEngine.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

// A port that hands the engine one reply at a time and keeps what it writes.
class TFakePort final : public TFlashPortIO {
  public:
    std::string Reply, Written;
    void ClearBuffer(bool, bool) override {}
    int Write(const void* Buffer, int Count) override {
        Written.append(static_cast<const char*>(Buffer), static_cast<size_t>(Count));
        return Count;
    }
    int Read(void* Buffer, int Count) override {
        const int n = std::min(Count, static_cast<int>(Reply.size()));
        std::memcpy(Buffer, Reply.data(), static_cast<size_t>(n));
        Reply.erase(0, static_cast<size_t>(n));
        return n;
    }
};

std::string Block(const std::string& image, uint32_t offset) {
    std::string b(BlockSize, '\0');
    if (offset < image.size())
        b.replace(0, std::min<size_t>(BlockSize, image.size() - offset), image.substr(offset, BlockSize));
    return b;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const uint32_t imageSize = 1 + (static_cast<uint32_t>(data[0]) << 8 | data[1]) % 3000;
    std::string image(imageSize, '\0');
    for (uint32_t i = 0; i < imageSize; ++i)
        image[i] = static_cast<char>(i * 131 + 7);
    static const std::string path = "/tmp/flash_reply_fuzz." + std::to_string(::getpid()) + ".flash";
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(image.data(), 1, image.size(), f);
        std::fclose(f);
    }
    TFakePort port;
    TFlashEngine engine;
    engine.SetPort(&port);
    Check(engine.LoadImageFile(path).Ok);
    engine.Button1Click();
    port.Written.clear();

    uint32_t position = 0;
    bool lastSent = false, running = true;
    for (size_t i = 2; i < size;) {
        const size_t n = std::min<size_t>(1 + data[i] % 8, size - i - 1);
        ++i;
        if (n == 0) break;
        port.Reply.assign(reinterpret_cast<const char*>(data + i), n);
        i += n;
        std::string expected;
        if (running) {
            switch (port.Reply[0]) {
            case '>':
                expected = "\x3c";
                break;
            case '!':
                if (!lastSent) {
                    expected = Block(image, position);
                    position += BlockSize;
                    lastSent = position >= imageSize;
                } else {
                    expected = "\xff\xff\xff\xff";
                    running = false;
                }
                break;
            case '@':
            case '$':
                if (position >= BlockSize) expected = Block(image, position - BlockSize);
                break;
            default:
                break;
            }
        }
        port.Written.clear();
        engine.ComPort1RxChar(nullptr, static_cast<int>(n));
        Check(port.Written == expected);
        Check(engine.State().JobRunning == running);
    }
    return 0;
}
