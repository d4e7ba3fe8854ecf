#pragma once

// An in-process serial device with a far end that tests and the simulator drive.
//
// A device is registered under a name while its object lives. CreateFileA reaches it as
// "virtual:NAME", and as "\\.\NAME" when NAME is a port name such as "COM5" (registered virtual
// devices are consulted before the device map); the device map may also map "COMn=virtual:NAME".
// One handle at a time may have it open (a second open fails with ERROR_ACCESS_DENIED).
//
// Every function is thread-safe and may be called whether or not the device is open; far-end
// operations on a closed device only update its state (delivered bytes are dropped, line states
// are kept for the next open).
//
// Like a line with flow control, the device never loses what its far end delivers: what the port's
// receive queue has no room for is held in the device, in order with injected line errors, and
// handed on (from the device's receive thread) as room appears. Deliver never waits for that. Far-end
// callbacks run on the device's own transmit thread, with no lock held, so they may call back into the device
// (Deliver an answer) or into the port API.

#include "platform/comm/WinComm.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

class TVirtualDevice {
  public:
    // Registers a new device under name; nullptr when the name is already taken or empty.
    static std::shared_ptr<TVirtualDevice> Create(const std::string& name);
    // The registered device of that name, if any (CreateFileA uses this).
    static std::shared_ptr<TVirtualDevice> Find(std::string_view name);
    // Unregisters the device; an open handle behaves as after Remove().
    ~TVirtualDevice();

    const std::string& Name() const;
    bool IsOpen() const;
    // Blocks until a handle has the device open (or closed again), at most timeoutMs.
    bool WaitOpen(bool open, DWORD timeoutMs) const;

    // Far end → port.
    void Deliver(const void* data, size_t n);
    void Deliver(std::string_view bytes);
    void InjectFrame(BYTE byte);  // a byte received with a framing error
    void InjectParity(BYTE byte); // a byte received with a parity error
    void InjectOverrun();         // bytes lost before the next one
    void InjectBreak();           // the line held in the break state
    void InjectRxOver();          // the system's buffer lost bytes (a UART without flow control)
    // Bytes delivered (and errors injected) that the port has not taken yet.
    size_t HeldBack() const;
    // Blocks until the port has taken everything delivered, at most timeoutMs.
    bool WaitDelivered(DWORD timeoutMs) const;
    void SetCTS(bool on);
    void SetDSR(bool on);
    void SetRing(bool on);
    void SetRLSD(bool on);

    // Port → far end.
    std::string ReadSent();                   // takes everything sent so far
    bool WaitSent(size_t n, DWORD timeoutMs); // until n unread bytes are there
    // Each chunk as it leaves, instead of keeping it for ReadSent (empty handler: keep again).
    // Runs on the device's transmit thread; it must not close the port that has the device open.
    void OnSent(std::function<void(const std::string& bytes)> handler);
    bool DTR() const;
    bool RTS() const;
    bool BreakOn() const;
    bool XoffHeld() const; // the port holds transmission because of XOFF
    bool XoffSent() const; // the port has sent XOFF for input flow control

    // Holds bytes inside the device (they are taken but do not leave: output queue counts stay,
    // EV_TXEMPTY does not come) until released.
    void HoldTransmit(bool hold);
    // Bytes leave at the configured bit rate (10 bits a byte at 8N1, framing counted) instead of at
    // once.
    void SetPacing(bool paced);

    // What the port configured, as the device saw it.
    DCB LastDCB() const;
    COMMTIMEOUTS LastTimeouts() const;
    DWORD InQueueSize() const;
    DWORD OutQueueSize() const;
    int SetCommStateCount() const; // calls that reached the device (valid DCBs)
    int SetCommTimeoutsCount() const;
    int SetupCommCount() const;
    int OpenCount() const;

    // Failures on demand.
    enum TFailOp { foOpen, foSetupComm, foSetCommState, foSetCommTimeouts };
    void FailNext(TFailOp op, DWORD code); // the next such call fails with code (once)
    // The device vanishes: every pending and later operation of an open handle fails with
    // ERROR_DEVICE_NOT_CONNECTED, and later opens fail with ERROR_FILE_NOT_FOUND until Restore.
    void Remove();
    void Restore();
    bool Removed() const;

    struct TState;

  private:
    explicit TVirtualDevice(const std::string& name);
    std::shared_ptr<TState> FState;
    friend class TVirtualBackend;
    friend std::unique_ptr<class TLineBackend> OpenVirtualBackend(const std::shared_ptr<TVirtualDevice>&,
                                                                  DWORD* error);
};

// The backend of an open virtual device; nullptr with *error set when it cannot be opened
// (in use: ERROR_ACCESS_DENIED; removed or failing on demand: that code).
std::unique_ptr<class TLineBackend> OpenVirtualBackend(const std::shared_ptr<TVirtualDevice>& device,
                                                       DWORD* error);
