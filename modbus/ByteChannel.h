#pragma once

// What the exchange worker runs its transactions over: a serial port, or a
// TCP stream to a Modbus/TCP server or to a serial device server that
// carries RTU frames. The worker frames, waits and reads through it alike.

#include "SerialFrame.h"

#include <cstddef>
#include <cstdint>
#include <string>

class TByteChannel : public TSerialInput {
public:
    // Before a transaction's first attempt: a channel that must connect first
    // does so here. 0 when the channel is ready, else the failure's result
    // code, with its words in FailureText.
    virtual int32_t Prepare() { return 0; }
    // Writes the whole frame (rtsHoldDelay: see TSerialPort::WriteFrame);
    // false when an abort or a broken channel kept it from going out.
    virtual bool WriteFrame(const uint8_t* data, std::size_t len, uint32_t rtsHoldDelay) = 0;
    // Drops what has arrived and not been read.
    virtual void Discard() = 0;
    // Ends every wait at once, from any thread: the worker is ending.
    virtual void Abort() = 0;
    // A client worker that ends: the waits that cannot cut a frame short
    // end at once (a TCP connect, a stream's wait). A serial port lets the
    // frame on its way out go whole; its worker's own waits are short.
    virtual void EndWaits() {}
    // False while there is nothing to read from: a stream not connected or
    // broken. Waits for data then end at once.
    virtual bool Usable() const { return true; }
    // A descriptor whose hang-up tells that the channel is gone while idle;
    // -1 when there is none to watch.
    virtual int Handle() const = 0;
    // The failure that broke the channel during the current transaction (the
    // peer closed or reset the stream): its result code, or 0. Reading it
    // clears it.
    virtual int32_t TakeFailure() { return 0; }
    virtual std::string FailureText() const { return {}; }
    // After a transaction's last attempt; streamSound is false when what
    // arrived left the stream where no next frame can be found.
    virtual void EndTransaction(bool streamSound) { (void)streamSound; }
};
