// kelvane-sim: simulated Kelvane meters on a Modbus/TCP server, on a Modbus
// RTU line (a pseudo-terminal), on Modbus RTU over TCP, or on several of them.

#include "PseudoTerminal.h"
#include "RequestDispatcher.h"
#include "RtuServer.h"
#include "SimOptions.h"
#include "TcpServer.h"

#include <atomic>
#include <csignal>
#include <exception>
#include <functional>
#include <iostream>
#include <optional>
#include <thread>

namespace {

// Lock-free atomics may be used from a signal handler.
std::atomic<TTcpServer*> RunningTcp{nullptr};
std::atomic<TRtuServer*> RunningRtu{nullptr};
std::atomic<TTcpServer*> RunningRtuOverTcp{nullptr};

extern "C" void OnStopSignal(int)
{
    if (TTcpServer* server = RunningTcp.load())
        server->Stop();
    if (TRtuServer* server = RunningRtu.load())
        server->Stop();
    if (TTcpServer* server = RunningRtuOverTcp.load())
        server->Stop();
}

void CatchStopSignals()
{
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

struct rServer {
    std::function<void()> Run;
    std::function<void()> Stop;
};

// Runs every server on a thread of its own. When one ends, stopped or
// failed, the others are stopped too; the first failure is thrown on.
void RunAll(const std::vector<rServer>& servers)
{
    std::vector<std::exception_ptr> failures(servers.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < servers.size(); ++i)
        threads.emplace_back([&, i] {
            try {
                servers[i].Run();
            } catch (...) {
                failures[i] = std::current_exception();
            }
            for (const rServer& s : servers)
                s.Stop();
        });
    for (std::thread& t : threads)
        t.join();
    for (const std::exception_ptr& f : failures)
        if (f)
            std::rethrow_exception(f);
}

// Sets up the transports the options ask for, announces them and serves
// until a stop signal.
void SimulateUntilStopped(const rSimOptions& o)
{
    TRequestDispatcher dispatcher(o.Units, o.Faults, TUnknownUnit::GatewayException);
    for (const uint8_t unit : o.Units)
        dispatcher.Meter(unit)->SetWiring(o.Wiring);
    std::optional<TTcpServer> tcp;
    std::optional<TRtuServer> rtu;
    std::optional<TSlaveLink> link;
    std::optional<TTcpServer> rtuOverTcp;
    std::vector<rServer> servers;

    if (o.Tcp) {
        tcp.emplace(dispatcher, rTcpServerOptions{o.Host, o.Port, o.MaxClients, o.DelayMs});
        tcp->Listen();
        servers.push_back({[&] { tcp->Run(); }, [&] { tcp->Stop(); }});
    }
    if (o.Rtu) {
        rtu.emplace(dispatcher, rRtuServerOptions{static_cast<uint32_t>(o.Baud), o.DelayMs, o.Late});
        if (!o.Link.empty())
            link.emplace(o.Link, rtu->SlavePath());
        servers.push_back({[&] { rtu->Run(); }, [&] { rtu->Stop(); }});
    }
    if (o.RtuOverTcpPort) {
        rtuOverTcp.emplace(dispatcher, rTcpServerOptions{o.Host, *o.RtuOverTcpPort, o.MaxClients, o.DelayMs,
                                                         TFraming::Rtu, static_cast<uint32_t>(o.Baud)});
        rtuOverTcp->Listen();
        servers.push_back({[&] { rtuOverTcp->Run(); }, [&] { rtuOverTcp->Stop(); }});
    }

    RunningTcp = tcp ? &*tcp : nullptr;
    RunningRtu = rtu ? &*rtu : nullptr;
    RunningRtuOverTcp = rtuOverTcp ? &*rtuOverTcp : nullptr;
    struct rForgetServers {
        ~rForgetServers()
        {
            RunningTcp = nullptr;
            RunningRtu = nullptr;
            RunningRtuOverTcp = nullptr;
        }
    } forget;
    CatchStopSignals();
    if (tcp)
        std::cout << "kelvane-sim listening on " << tcp->Address() << "\n";
    if (rtu)
        std::cout << "kelvane-sim serving Modbus RTU on " << rtu->SlavePath() << "\n";
    if (link)
        std::cout << "kelvane-sim linked " << o.Link << " to " << rtu->SlavePath() << "\n";
    if (rtuOverTcp)
        std::cout << "kelvane-sim serving Modbus RTU over TCP on " << rtuOverTcp->Address() << "\n";
    std::cout.flush();

    RunAll(servers);
}

} // namespace

int main(int argc, char** argv)
{
    const rSimOptionsResult parsed = ParseSimOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.Error.empty()) {
        std::cerr << "kelvane-sim: " << parsed.Error << "\n";
        return 2;
    }
    if (parsed.Options.Help) {
        std::cout << SimUsage();
        return 0;
    }
    try {
        SimulateUntilStopped(parsed.Options);
    } catch (const std::exception& e) {
        std::cerr << "kelvane-sim: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
