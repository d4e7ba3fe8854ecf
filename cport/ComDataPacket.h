#pragma once

// The data packet framer: follows a port through a link and cuts the received byte stream into
// packets framed by a start string, a stop string, a fixed size or combinations of them; text
// outside packets is reported as discarded.
//
// Threads: RxBuf, HandleBuffer, OnPacket and OnDiscard run on the thread that dispatches the
// port's events (the main thread for smThreadSync, the opening thread for smWindowSync, the event
// thread for smNone). Setters and EmptyBuffer run on the caller's thread; changing framing
// properties while data arrives on another thread is the caller's concern (nothing is locked).
//
// Memory: the pending text is bounded by MaxBufferSize, checked once per received chunk, so it may
// reach MaxBufferSize plus one chunk. With MaxBufferSize <= 0 it is unbounded by design: a framer
// that never finds its end keeps everything it receives until a property change or EmptyBuffer.

#include "cport/ComLink.h"
#include "platform/toolkit/Component.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

class TCustomComPort;
struct TClassInfo;

using TRxStrEvent = std::function<void(TObject* Sender, const std::string& Str)>;

class TComDataPacket : public TComponent {
  public:
    explicit TComDataPacket(TComponent* AOwner);
    ~TComDataPacket() override;

    std::string ClassName() const override { return "TComDataPacket"; }
    // The published properties and their stored defaults (registered once, on first use).
    static const TClassInfo& StaticClassInfo();

    // Reports the pending text through OnDiscard (if any) and returns to looking for a start. The
    // state is cleared before OnDiscard runs, not after it (a choice of this implementation): a
    // handler that raises, empties the buffer or changes the framing itself finds the framer outside
    // any packet and can never report the same text twice.
    void EmptyBuffer();

    TCustomComPort* ComPort() const { return FComPort; }
    void SetComPort(TCustomComPort* Value);
    bool CaseInsensitive() const { return FCaseInsensitive; }
    void SetCaseInsensitive(bool Value);
    bool IncludeStrings() const { return FIncludeStrings; }
    void SetIncludeStrings(bool Value) { FIncludeStrings = Value; }
    int32_t MaxBufferSize() const { return FMaxBufferSize; }
    void SetMaxBufferSize(int32_t Value) { FMaxBufferSize = Value; }
    const std::string& StartString() const { return FStartString; }
    void SetStartString(const std::string& Value);
    const std::string& StopString() const { return FStopString; }
    void SetStopString(const std::string& Value);
    int32_t Size() const { return FSize; }
    void SetSize(int32_t Value);

    const TRxStrEvent& OnDiscard() const { return FOnDiscard; }
    void SetOnDiscard(TRxStrEvent Value) { FOnDiscard = std::move(Value); }
    const TRxStrEvent& OnPacket() const { return FOnPacket; }
    void SetOnPacket(TRxStrEvent Value) { FOnPacket = std::move(Value); }

    // The received bytes not yet delivered or discarded, and whether a packet's start was seen.
    std::string_view PendingText() const { return std::string_view(FBuffer).substr(FHead); }
    bool InPacket() const { return FInPacket; }

    void Notification(TComponent* AComponent, TOperation Operation) override;

  protected:
    // One round of the search: the start (when outside a packet), then the end. A round that
    // completes a packet asks for another, until every complete packet of the pending text is
    // delivered in order; the pending text is bounded after the last.
    virtual void HandleBuffer();
    virtual void DoDiscard(const std::string& Str);
    virtual void DoPacket(const std::string& Str);
    // The packet as delivered: start and stop strings stripped unless IncludeStrings.
    std::string CheckIncludeStrings(std::string Str) const;
    // Str with 'a'-'z' raised when CaseInsensitive, unchanged otherwise.
    std::string Upper(std::string Str) const;

    // The link's buffer callback (dispatching thread). Public through the link only.
    void RxBuf(TObject* Sender, const char* Buffer, int Count);

  private:
    // Calls HandleBuffer for as many rounds as it asks for, then bounds the pending text.
    void HandleReceived();
    // One round: looks for the start (when outside a packet), then for the end. Returns true when
    // a packet was completed and the search should run again.
    bool HandleStep();
    void LookForStart();
    // True when a packet was delivered.
    bool LookForEnd();
    // Position of the first occurrence of What in the pending text at or after From, or npos.
    size_t Find(const std::string& What, size_t From) const;
    void CheckBufferSize();
    // Drops the consumed front of the buffer once it outweighs what is still pending.
    void Compact();
    // The pending text changed other than by appending: searches start again from its front.
    void ResetScan() { FStartScan = FStopScan = 0; }
    void FramingChanged();
    bool Loading() const { return ComponentState().Contains(csLoading); }

    std::unique_ptr<TComLink> FComLink;
    TCustomComPort* FComPort = nullptr;
    std::string FStartString;
    std::string FStopString;
    int32_t FMaxBufferSize = 1024;
    int32_t FSize = 0;
    bool FIncludeStrings = false;
    bool FCaseInsensitive = false;
    bool FInPacket = false;
    bool FHandleAgain = false; // the last round of HandleBuffer completed a packet
    // The pending text is FBuffer from FHead on: delivering a packet moves FHead instead of
    // shifting the rest, so many small packets in one chunk cost no quadratic copying.
    std::string FBuffer;
    size_t FHead = 0;
    // Offsets into the pending text before which the start (or stop) string is known not to begin,
    // so a chunk that completes nothing searches only what it added.
    size_t FStartScan = 0;
    size_t FStopScan = 0;
    TRxStrEvent FOnDiscard;
    TRxStrEvent FOnPacket;
};
