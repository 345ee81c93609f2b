// Serial Modbus RTU reads over pseudo-terminals: our connection and client
// against libmodbus's RTU master, each on a pty of its own with the same
// responder thread playing the meter, in the same run:
//  1. wall time of one read of 125 holding registers. Our reply ends after a
//     silence of FrameInterval (libmodbus stops when the expected length has
//     arrived), so ours is shown as FrameInterval plus the overhead beyond it;
//  2. CPU time of our worker thread while the connection is open and idle.

#include "BenchMain.h"
#include "ModbusClient.h"
#include "ModbusConnection.h"
#include "SerialFrame.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <modbus/modbus.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int RegisterCount = 125;

// Answers every 8-byte read request on the master side of a pty with 125
// registers, as the meter would.
class Responder {
public:
    Responder() : stop_(::eventfd(0, EFD_CLOEXEC))
    {
        if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) < 0)
            throw std::runtime_error("openpty failed");
        char name[128];
        ::ptsname_r(master_, name, sizeof name);
        path_ = name;
        thread_ = std::thread([this] { Run(); });
    }
    ~Responder()
    {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(stop_, &one, sizeof one);
        thread_.join();
        ::close(master_);
        ::close(slave_);
        ::close(stop_);
    }
    const std::string& Path() const { return path_; }

private:
    void Run()
    {
        std::vector<uint8_t> reply{1, 3, 2 * RegisterCount};
        for (int i = 0; i < RegisterCount; ++i) {
            reply.push_back(static_cast<uint8_t>(i >> 8));
            reply.push_back(static_cast<uint8_t>(i));
        }
        const uint16_t crc = Crc16(reply.data(), reply.size());
        reply.push_back(static_cast<uint8_t>(crc));
        reply.push_back(static_cast<uint8_t>(crc >> 8));
        uint8_t request[8];
        while (Read(request, sizeof request))
            if (::write(master_, reply.data(), reply.size()) != static_cast<ssize_t>(reply.size()))
                return;
    }
    bool Read(uint8_t* dest, std::size_t n) const
    {
        std::size_t got = 0;
        while (got < n) {
            pollfd fds[2] = {{master_, POLLIN, 0}, {stop_, POLLIN, 0}};
            ::poll(fds, 2, -1);
            if (fds[1].revents & POLLIN)
                return false;
            const ssize_t r = ::read(master_, dest + got, n - got);
            if (r > 0)
                got += static_cast<std::size_t>(r);
        }
        return true;
    }

    int master_ = -1, slave_ = -1, stop_;
    std::string path_;
    std::thread thread_;
};

double WallSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void Check(bool ok, const char* what)
{
    if (!ok)
        throw std::runtime_error(std::string("benchmark request failed: ") + what);
}

// One read through the client; the event loop sleeps until the worker's
// notification arrives.
std::function<void()> OurRead(TModbusClient& client)
{
    return [&client] {
        QEventLoop loop;
        bool ok = false;
        client.OnHoldingRegistersRead = [&](TModbusClient*, const TTransactionInfo& info, uint16_t, uint16_t count,
                                            const TRegValues& values) {
            ok = info.Reply == TTransactionReply::trSuccess && count == RegisterCount && values[124] == 124;
            loop.quit();
        };
        client.ReadHoldingRegisters(0, RegisterCount);
        loop.exec();
        Check(ok, "our read");
    };
}

std::function<void()> LibmodbusRead(modbus_t* ctx)
{
    return [ctx] {
        uint16_t regs[RegisterCount];
        Check(modbus_read_registers(ctx, 0, RegisterCount, regs) == RegisterCount && regs[124] == 124,
              "libmodbus read");
    };
}

std::pair<double, double> Interleaved(int rounds, const std::function<void()>& ours,
                                      const std::function<void()>& peer)
{
    std::vector<double> a, b;
    for (int i = 0; i < rounds; ++i) {
        const double t0 = WallSeconds();
        ours();
        const double t1 = WallSeconds();
        peer();
        const double t2 = WallSeconds();
        a.push_back(t1 - t0);
        b.push_back(t2 - t1);
    }
    return {Median(a), Median(b)};
}

std::set<pid_t> ThreadIds()
{
    std::set<pid_t> ids;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.')
                ids.insert(static_cast<pid_t>(std::atoi(entry->d_name)));
        ::closedir(dir);
    }
    return ids;
}

// The CPU time of a thread of this process, by the clock id the kernel
// gives every thread (what pthread_getcpuclockid returns for it).
int64_t ThreadCpuNs(pid_t tid)
{
    const clockid_t clock = static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 6);
    timespec ts{};
    if (::clock_gettime(clock, &ts) != 0)
        throw std::runtime_error("thread CPU clock not readable");
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

modbus_t* LibmodbusMaster(const std::string& path)
{
    modbus_t* ctx = modbus_new_rtu(path.c_str(), 115200, 'N', 8, 1);
    Check(ctx != nullptr, "libmodbus context");
    modbus_set_slave(ctx, 1);
    modbus_set_response_timeout(ctx, 5, 0);
    Check(modbus_connect(ctx) == 0, "libmodbus connect");
    return ctx;
}

} // namespace

int Run(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
    const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 5;

    Responder ourLine, peerLine;
    TModbusConnection connection;
    connection.SetPort(ourLine.Path());
    connection.SetBaudRate(TBaudRate::br115200);
    connection.SetParity(TParityScheme::psNone);
    connection.SetReceiveTimeout(5000);
    const std::set<pid_t> before = ThreadIds();
    connection.SetActive(true);
    std::set<pid_t> workers = ThreadIds();
    for (pid_t id : before)
        workers.erase(id);
    Check(workers.size() == 1, "one new thread, the worker");
    TModbusClient client;
    client.SetConnection(&connection);
    modbus_t* ctx = LibmodbusMaster(peerLine.Path());

    auto ours = OurRead(client);
    auto peer = LibmodbusRead(ctx);
    Interleaved(20, ours, peer); // warm up
    const auto [a, b] = Interleaved(rounds, ours, peer);
    const double interval = connection.FrameInterval() * 1e-3;
    std::printf("read of 125 registers, wall time (median of %d)\n", rounds);
    std::printf("  ours %8.3f ms = FrameInterval %u ms + overhead %.3f ms (goal < 1 ms) %s\n", a * 1e3,
                connection.FrameInterval(), (a - interval) * 1e3, a - interval < 1e-3 ? "met" : "NOT MET");
    std::printf("  libmodbus %8.3f ms (ends at the expected length)\n", b * 1e3);

    const pid_t worker = *workers.begin();
    const int64_t cpu0 = ThreadCpuNs(worker);
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const int64_t cpu1 = ThreadCpuNs(worker);
    std::printf("worker CPU time while open and idle for %d s: %lld ns (goal 0) %s\n", idleSeconds,
                static_cast<long long>(cpu1 - cpu0), cpu1 == cpu0 ? "met" : "NOT MET");

    modbus_close(ctx);
    modbus_free(ctx);
    return 0;
}

int main(int argc, char** argv)
{
    return RunBench(Run, argc, argv);
}
