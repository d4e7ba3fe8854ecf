#pragma once

// Received input a line backend holds while the driver core has no room for it: data bytes with
// the line errors between them, in order, offered to the core again (first) when it has room.
// One thread uses it (the backend's reader); the caller makes the upcalls safe (its upcall lock).

#include "platform/comm/LineBackend.h"

#include <cstring>
#include <deque>
#include <memory>

class TRxHold {
  public:
    explicit TRxHold(size_t Capacity) : FData(new BYTE[Capacity]), FCapacity(Capacity) {}

    bool Empty() const { return FOff == FLen && FMarks.empty(); }
    // Room left at the end, after Compact has moved what is held to the front.
    size_t Room() const { return FCapacity - FLen; }
    BYTE* Tail() { return FData.get() + FLen; }
    // n bytes were written at Tail.
    void Added(size_t n) { FLen += n; }
    void Append(const BYTE* p, size_t n) {
        std::memcpy(Tail(), p, n);
        FLen += n;
    }
    // A line error before the next byte appended (byte: the byte it came with, or -1).
    void Mark(DWORD Flags, int Byte) { FMarks.push_back({FLen, Flags, Byte}); }
    void Clear() {
        FOff = FLen = 0;
        FMarks.clear();
    }
    void Compact() {
        if (FOff == 0) return;
        std::memmove(FData.get(), FData.get() + FOff, FLen - FOff);
        for (TMark& m : FMarks)
            m.Pos -= FOff;
        FLen -= FOff;
        FOff = 0;
    }
    // Offers what is held, in order; true when the core took all of it (the hold is then empty).
    bool Offer(TLineSink& Sink, uint64_t Epoch) {
        for (;;) {
            if (!FMarks.empty() && FMarks.front().Pos == FOff) {
                if (!Sink.OnLineError(FMarks.front().Flags, FMarks.front().Byte, Epoch)) return false;
                FMarks.pop_front();
                continue;
            }
            const size_t end = FMarks.empty() ? FLen : FMarks.front().Pos;
            if (FOff == end) break;
            FOff += Sink.OnReceive(FData.get() + FOff, end - FOff, Epoch);
            if (FOff < end) return false;
        }
        Clear();
        return true;
    }

  private:
    struct TMark {
        size_t Pos; // the error comes before the held byte at this position
        DWORD Flags;
        int Byte;
    };
    std::unique_ptr<BYTE[]> FData;
    size_t FCapacity;
    size_t FOff = 0, FLen = 0; // FData[FOff, FLen) is still to be taken
    std::deque<TMark> FMarks;
};
