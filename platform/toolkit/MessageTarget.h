#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

struct TMessage {
    uint32_t Msg = 0;
    uintptr_t WParam = 0;
    intptr_t LParam = 0;
    intptr_t Result = 0;
};

constexpr uint32_t WM_USER = 0x0400;

namespace toolkit_detail {
struct TTargetState;
}

// A hidden receiver of sent messages that belongs to the thread that created it: its handler always
// runs on that thread. Create and destroy it on the owning thread.
class TMessageTarget {
  public:
    explicit TMessageTarget(std::function<void(TMessage&)> Handler);
    ~TMessageTarget();
    TMessageTarget(const TMessageTarget&) = delete;
    TMessageTarget& operator=(const TMessageTarget&) = delete;

    std::thread::id OwnerThreadId() const;
    const std::shared_ptr<toolkit_detail::TTargetState>& State() const { return FState; }

  private:
    std::shared_ptr<toolkit_detail::TTargetState> FState;
};

// Delivers a message to Target's handler on the target's thread and waits until it has been handled;
// calls the handler directly when already on that thread. While it waits, the calling thread serves
// calls queued for it, so two threads sending to each other do not deadlock. Returns the handler's
// Result; returns 0 when the target is destroyed (or its thread ends) before handling the message.
// An exception the handler raises is shown through ShowException on the target's thread, as the
// toolkit's dispatcher does for a window procedure, and the send returns 0.
intptr_t SendMessage(const TMessageTarget& Target, uint32_t Msg, uintptr_t WParam, intptr_t LParam);

// Serves, on the calling thread, the messages sent to its targets (and, on the main thread, the
// queued Synchronize calls). Returns whether anything ran.
bool ProcessMessages();

// Blocks the calling thread until work arrives for it (a message to one of its targets or, on the
// main thread, a queued call) or Timeout passes; serves it; returns whether anything ran.
bool WaitForMessages(std::chrono::milliseconds Timeout);
