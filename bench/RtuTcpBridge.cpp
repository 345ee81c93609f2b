#include "RtuTcpBridge.h"

#include "LoopbackSockets.h"
#include "RawTty.h"

namespace {

TPacedForwarder::TSchedule AtOnce()
{
    return [](TMonotonic readAt) { return readAt; };
}

} // namespace

TRtuOverTcpPort::TRtuOverTcpPort(uint16_t port)
    : line_()
    , socket_(ConnectToLoopback(port))
    , out_(line_.Master(), socket_.Get(), AtOnce(), TMonotonic{})
    , in_(socket_.Get(), line_.Master(), AtOnce(), TMonotonic{})
{
    // A master that opens its port without setting it up sees the bytes as
    // sent; nothing can arrive before a master has opened it.
    MakeRaw(line_.Slave(), line_.SlavePath());
}
