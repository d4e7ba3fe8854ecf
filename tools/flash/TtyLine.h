#pragma once

// The flasher's serial line: a tty opened raw at 8N1 without flow control, with a reader thread
// that raises the engine's reply handler with the number of waiting bytes, as the port object's
// event thread does with smNone. Write and Read block and raise Exception on failure.

#include "app/engine/FlashEngine.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

class TTtyLine final : public TFlashPortIO {
  public:
    TTtyLine() = default;
    ~TTtyLine() override;
    TTtyLine(const TTtyLine&) = delete;
    TTtyLine& operator=(const TTtyLine&) = delete;

    // Opens and configures the device; raises Exception with the device and the system's reason.
    void Open(const std::string& path, uint32_t baud);
    // Starts the reader thread. onRx runs on it with the count of waiting bytes; onGone once when
    // the device hangs up or fails.
    void Start(std::function<void(int)> onRx, std::function<void(const std::string&)> onGone);
    // Stops the reader and closes the device; safe to call twice. Not from the reader thread.
    void Close();

    void ClearBuffer(bool Input, bool Output) override;
    int Write(const void* Buffer, int Count) override;
    int Read(void* Buffer, int Count) override;

  private:
    void ReaderLoop();

    int FFd = -1;
    int FWake[2] = {-1, -1};
    std::string FPath;
    std::thread FReader;
    std::function<void(int)> FOnRx;
    std::function<void(const std::string&)> FOnGone;
};

// Sets any bit rate on an open tty (standard or not); false with errno set on failure.
bool SetTtySpeed(int fd, uint32_t baud);
