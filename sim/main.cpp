// kelvane-sim: simulated Kelvane meters on a Modbus/TCP server.

#include "RequestDispatcher.h"
#include "SimOptions.h"
#include "TcpServer.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>

namespace {

// Lock-free atomics may be used from a signal handler.
std::atomic<TTcpServer*> RunningServer{nullptr};

extern "C" void OnStopSignal(int)
{
    if (TTcpServer* server = RunningServer.load())
        server->Stop();
}

} // namespace

int main(int argc, char** argv)
{
    const rSimOptionsResult parsed = ParseSimOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.Error.empty()) {
        std::cerr << "kelvane-sim: " << parsed.Error << "\n";
        return 2;
    }
    const rSimOptions& o = parsed.Options;
    if (o.Help) {
        std::cout << SimUsage();
        return 0;
    }

    try {
        TRequestDispatcher dispatcher(o.Units, o.Faults, TUnknownUnit::GatewayException);
        TTcpServer server(dispatcher, {o.Host, o.Port, o.MaxClients, o.DelayMs});
        server.Listen();

        RunningServer = &server;
        struct sigaction sa {};
        sa.sa_handler = OnStopSignal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
        std::signal(SIGPIPE, SIG_IGN);

        std::cout << "kelvane-sim listening on " << server.Address() << std::endl;
        try {
            server.Run();
        } catch (...) {
            RunningServer = nullptr;
            throw;
        }
        RunningServer = nullptr;
    } catch (const std::exception& e) {
        std::cerr << "kelvane-sim: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
