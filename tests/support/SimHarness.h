#pragma once

// Simulated meters served from a thread of the test process: over Modbus/TCP
// on 127.0.0.1, or over Modbus RTU on a pseudo-terminal. Tests read and
// change the meters' registers while the server runs; the dispatcher's lock
// keeps those accesses apart from the server's.

#include "RequestDispatcher.h"
#include "RtuServer.h"
#include "TcpServer.h"

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace simharness {

struct rSimSetup {
    std::vector<uint8_t> Units{1};
    rFaultOptions Faults{};
    int DelayMs = 0;
    // RTU only: a share of the replies sent late at random.
    rLateReplies Late{};
    // Modbus/TCP only: the port (0: one the system picks) and the clients
    // served at once.
    uint16_t Port = 0;
    int MaxClients = 64;
    // RTU only: the line's baud rate, which sets the end-of-request silence.
    uint32_t Baud = 19200;
    // TCP only: Modbus/TCP, or RTU frames over TCP as a serial device server carries them.
    TFraming Framing = TFraming::Mbap;
    TMeterModel::TClock Clock{};
    // How every meter is connected.
    TWiring Wiring = TWiring::Healthy;
};

// The meters behind either transport.
class TSimMeters {
public:
    explicit TSimMeters(const rSimSetup& setup)
        : Dispatcher(setup.Units, setup.Faults, TUnknownUnit::GatewayException, setup.Clock)
    {
        for (const uint8_t unit : setup.Units)
            Dispatcher.Meter(unit)->SetWiring(setup.Wiring);
    }

    // A holding register of one meter, read and written as a master would;
    // 0 for a unit without a meter.
    uint16_t Register(uint8_t unit, uint16_t reg)
    {
        std::vector<uint16_t> values;
        Dispatcher.WithMeter(unit, [&](TMeterModel& m) { m.ReadRegisters(reg, 1, values); });
        return values.empty() ? 0 : values[0];
    }
    void SetRegister(uint8_t unit, uint16_t reg, uint16_t value)
    {
        const uint16_t values[] = {value};
        Dispatcher.WithMeter(unit, [&](TMeterModel& m) { m.WriteRegisters(reg, values); });
    }
    // How one meter is connected from now on.
    void SetWiring(uint8_t unit, TWiring wiring)
    {
        Dispatcher.WithMeter(unit, [&](TMeterModel& m) { m.SetWiring(wiring); });
    }

protected:
    TRequestDispatcher Dispatcher;
};

// Runs a server's loop on a thread from construction until destruction.
template <class TServer>
class TServerThread {
public:
    explicit TServerThread(TServer& server)
        : Server(server)
        , Thread([this] { Server.Run(); })
    {
    }
    ~TServerThread()
    {
        Server.Stop();
        Thread.join();
    }
    TServerThread(const TServerThread&) = delete;
    TServerThread& operator=(const TServerThread&) = delete;

private:
    TServer& Server;
    std::thread Thread;
};

// Meters on 127.0.0.1 over Modbus/TCP (a unit without a meter gets
// exception 11, as from a gateway), or over RTU over TCP.
class TInProcessSim : public TSimMeters {
public:
    explicit TInProcessSim(const rSimSetup& setup = {})
        : TSimMeters(setup)
        , Server(Dispatcher, {"127.0.0.1", setup.Port, setup.MaxClients, setup.DelayMs, setup.Framing, setup.Baud})
        , Runner((Server.Listen(), Server))
    {
    }
    uint16_t Port() const { return Server.Port(); }

private:
    TTcpServer Server;
    TServerThread<TTcpServer> Runner;
};

// Meters on a serial bus, on a pseudo-terminal the object creates. A unit
// without a meter keeps quiet, as on a real bus.
class TInProcessRtuSim : public TSimMeters {
public:
    explicit TInProcessRtuSim(const rSimSetup& setup = {})
        : TSimMeters(setup)
        , Server(Dispatcher, {setup.Baud, setup.DelayMs, setup.Late})
        , Runner(Server)
    {
    }
    // The port to open: "/dev/pts/N".
    const std::string& Path() const { return Server.SlavePath(); }
    uint32_t FrameIntervalMs() const { return Server.FrameIntervalMs(); }

private:
    TRtuServer Server;
    TServerThread<TRtuServer> Runner;
};

} // namespace simharness
