#pragma once

// The seam between the driver core (queues, events, timeouts, flow control, error flags) and a
// line backend that moves bytes and line states to and from one device (a tty, or the in-process
// virtual device).
//
// What the backend does natively: bit rate (any value), byte size 5..8, parity none/odd/even/
// mark/space, 1/1.5/2 stop bits, parity checking on input (so errors are reported in-band), and
// optionally hardware output flow on CTS (where the backend does it natively it says so through
// HoldsOutputOnCts, and the core then leaves the holding to it instead of holding a second time;
// a backend that cannot is still correct through the core's own hold, only slower to stop).
// What the core emulates for every backend: XON/XOFF in both directions (the backend passes
// XON/XOFF bytes through as data, except that it may stop and resume output on them itself and
// swallow them, as a tty's IXON does: then an XOFF still stops output while the receive queue is
// full and further input waits below the core), DSR output flow, DSR sensitivity,
// DTR handshake, RTS handshake and toggle, XonLim/XoffLim, error-character replacement, NUL
// discard, the event character. The core sets DTR and RTS levels itself through SetDtr/SetRts.
//
// Locking and threads:
// - The core calls every backend function except Start and Stop with its own port lock held, so
//   those calls must not block for long and must never make an upcall from inside themselves.
// - Upcalls come only from threads the backend owns (its reader/writer/watcher threads, or for
//   the virtual device the far end's caller and the device's transmit thread). The backend holds
//   none of its own locks while it makes an upcall (the upcall takes the core's lock and may call
//   back into the backend).
// - Start is called without the core lock before any other call; upcalls may begin as soon as it
//   returns. Stop is called without the core lock; when it returns no upcall is running and none
//   will come, and the device is closed.

#include "platform/comm/WinComm.h"

#include <cstddef>
#include <cstdint>

// Receiving never loses what the device sent: the core takes only what its receive queue has room
// for and says how much it took. The backend keeps the rest (and leaves further input with the
// device or the kernel, which throttles the sender) and offers the rest again, first, after
// RxSpace. Every receive upcall carries the receive epoch the backend read the input in (see
// PurgeRx); the core drops input of an older epoch, read before a purge.
class TLineSink {
  public:
    // Bytes received without error, in order. Any thread of the backend, one at a time. Returns
    // how many of the first bytes the core took (all of them, or fewer when its queue is full).
    virtual size_t OnReceive(const BYTE* data, size_t n, uint64_t epoch) = 0;
    // One line error, in order with OnReceive: flags is one of CE_FRAME, CE_RXPARITY, CE_OVERRUN,
    // CE_BREAK, CE_RXOVER, or CE_MODE (with byte -1: a device that can only be asked for settings
    // later, over a network, answered that it did not take one). byte is the byte received with a frame or parity error, or -1 when there
    // is none (overrun: the device lost bytes before this point; rx-over: the system's buffer was
    // full and lost bytes; break: the line was held low). False when the byte found no room: the
    // error has not been taken and is offered again after RxSpace.
    virtual bool OnLineError(DWORD flags, int byte, uint64_t epoch) = 0;
    // The modem input lines changed; status is the whole new state as MS_CTS_ON | MS_DSR_ON |
    // MS_RING_ON | MS_RLSD_ON bits. Lines a device cannot report read as off.
    virtual void OnModemLines(DWORD status) = 0;
    // The backend can accept more bytes after a Write that took fewer than offered.
    virtual void OnTxSpace() = 0;
    // Every byte accepted by Write (and every urgent byte) has physically left the device.
    virtual void OnTxEmpty() = 0;
    // The device is gone (unplugged, far end closed). code is the platform error every pending and
    // later operation reports, normally ERROR_DEVICE_NOT_CONNECTED. No further upcalls follow.
    virtual void OnDeviceGone(DWORD code) = 0;

  protected:
    ~TLineSink() = default;
};

class TLineBackend {
  public:
    virtual ~TLineBackend() = default;

    // Begins delivering upcalls to sink. Returns ERROR_SUCCESS or a platform error code.
    virtual DWORD Start(TLineSink* sink) = 0;
    // Ends all upcalls and closes the device. Idempotent.
    virtual void Stop() = 0;

    // Line settings from a DCB the core has already validated (see the top of this file for the
    // fields the backend realises). Returns ERROR_SUCCESS or a platform error; on error the
    // previous settings stay in force.
    virtual DWORD ApplyState(const DCB& dcb) = 0;
    // Told of the queue sizes and timeouts the core uses; a backend may refuse them (for example
    // a device that fails a request) with a platform error, and the core then keeps the old ones.
    virtual DWORD ApplyQueueSizes(DWORD inQueue, DWORD outQueue) {
        (void)inQueue;
        (void)outQueue;
        return ERROR_SUCCESS;
    }
    virtual DWORD ApplyTimeouts(const COMMTIMEOUTS& t) {
        (void)t;
        return ERROR_SUCCESS;
    }

    // Takes up to n bytes for transmission without blocking and returns how many it took (0 when
    // it is full; it then calls OnTxSpace when it has room again). Taken bytes count in TxPending
    // until they have left; OnTxEmpty follows when the last one has.
    virtual size_t Write(const BYTE* data, size_t n) = 0;
    // Bytes taken by Write that have not yet left the device (as far as the backend can tell).
    virtual size_t TxPending() const = 0;
    // Sends one byte ahead of any taken data where the device allows it (TransmitCommChar, and the
    // XOFF/XON of input flow control).
    virtual DWORD SendUrgent(BYTE c) = 0;
    // Drops taken but unsent bytes.
    virtual void PurgeTx() = 0;
    // Drops what is buffered on the receive side below the core: the device's (or kernel's) input
    // and what the backend holds back, with any half-decoded state. Input read from now on carries
    // epoch (the core counts purges from 0, which is also the epoch before the first one).
    virtual void PurgeRx(uint64_t epoch) = 0;
    // The core's receive queue has room again after a receive upcall took less than offered.
    // Called with the core lock held: it only signals the backend's thread (no upcall from here,
    // and no lock that the backend holds while making an upcall).
    virtual void RxSpace() = 0;

    // Output lines. Best-effort on devices without them (ptys): return ERROR_SUCCESS.
    virtual DWORD SetDtr(bool on) = 0;
    virtual DWORD SetRts(bool on) = 0;
    virtual DWORD SetBreak(bool on) = 0;
    // Current input lines as MS_* bits (lines the device cannot report read as off).
    virtual DWORD ModemLines() = 0;
    // False for a device without modem lines at all (a pseudo-terminal): output flow on CTS or DSR
    // can never be released there, so it never holds output. Cheap; called with the core lock held.
    virtual bool HasModemLines() const { return true; }
    // True while the device itself holds output on CTS (a tty's CRTSCTS, done by the kernel or the
    // UART). Cheap; called with the core lock held.
    virtual bool HoldsOutputOnCts() const { return false; }
    // The core's XOFF hold state changed (the port stopped or resumed transmitting because of a
    // received XOFF/XON or EscapeCommFunction SETXOFF/SETXON). Informational; a backend may ignore it.
    virtual void NoteXoffHold(bool held) { (void)held; }
    // True when the device runs output and input flow control itself (a network port server that
    // is told the flow setting): the core then emulates none of it — no XON/XOFF handling of
    // received bytes, no XOFF/XON sent, no holding on CTS or DSR, no handshake line changes — and
    // a full receive queue throttles the sender only through the backend holding input back.
    // Fixed for the backend's life.
    virtual bool FlowControlIsRemote() const { return false; }
    // The core sent XOFF (true) or XON (false) for input flow control. Informational.
    virtual void NoteXoffSent(bool sent) { (void)sent; }
};
