#include "FrameTestSupport.h"

#include <gtest/gtest.h>
#include <modbus/modbus.h>

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <pty.h>
#include <thread>
#include <unistd.h>

namespace {

// The master end of a pseudo-terminal as the frame layer's input.
class TPtyInput : public TSerialInput {
public:
    explicit TPtyInput(int fd) : fd_(fd) {}
    bool WaitForData(int timeoutMs) override
    {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN);
    }
    std::size_t ReadAvailable(uint8_t* dest, std::size_t n) override
    {
        const ssize_t got = read(fd_, dest, n);
        return got > 0 ? static_cast<std::size_t>(got) : 0;
    }

private:
    int fd_;
};

// One exchange with libmodbus as the master on a pseudo-terminal: the request
// frame it writes must be ours, and it must accept the reply frame we build.
struct TPeerResult { int result, error; uint16_t firstValue; };

TPeerResult Exchange(const std::function<int(modbus_t*, uint16_t*)>& call, const Bytes& request,
                     const Bytes& reply)
{
    int master = -1, slave = -1;
    char path[128];
    EXPECT_EQ(openpty(&master, &slave, path, nullptr, nullptr), 0);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    modbus_t* ctx = modbus_new_rtu(path, 19200, 'N', 8, 1);
    modbus_set_slave(ctx, 1);
    modbus_set_response_timeout(ctx, 10, 0);
    EXPECT_EQ(modbus_connect(ctx), 0) << modbus_strerror(errno);

    TPeerResult got{};
    uint16_t values[4] = {};
    std::thread peer([&] {
        got.result = call(ctx, values);
        got.error = got.result < 0 ? errno : 0;
    });
    TPtyInput port(master);
    uint8_t raw[256];
    const int n = ReceiveFrame(TTransmissionMode::tmRTU, port, raw, sizeof raw, 10000, 16);
    EXPECT_EQ(std::string(raw, raw + n), Wire(TTransmissionMode::tmRTU, request));
    const std::string wire = Wire(TTransmissionMode::tmRTU, reply);
    EXPECT_EQ(write(master, wire.data(), wire.size()), static_cast<ssize_t>(wire.size()));
    peer.join();
    got.firstValue = values[0];
    modbus_close(ctx);
    modbus_free(ctx);
    close(slave);
    close(master);
    return got;
}

TEST(RtuPeer, RequestsMatchAndRepliesAreAccepted)
{
    static const uint16_t twoValues[] = {0x0102, 0x0304};
    const struct {
        const char* name;
        std::function<int(modbus_t*, uint16_t*)> call;
        Bytes request, reply;
        TPeerResult expected;
    } rows[] = {
        {"ReadHoldingRegisters", [](modbus_t* m, uint16_t* v) { return modbus_read_registers(m, 0x0300, 2, v); },
         {1, 3, 3, 0, 0, 2}, {1, 3, 4, 0x12, 0x34, 0xAB, 0xCD}, {2, 0, 0x1234}},
        {"ReadInputRegisters", [](modbus_t* m, uint16_t* v) { return modbus_read_input_registers(m, 5, 1, v); },
         {1, 4, 0, 5, 0, 1}, {1, 4, 2, 0xFF, 0x07}, {1, 0, 0xFF07}},
        {"WriteSingleRegister", [](modbus_t* m, uint16_t*) { return modbus_write_register(m, 0x0100, 0x1234); },
         {1, 6, 1, 0, 0x12, 0x34}, {1, 6, 1, 0, 0x12, 0x34}, {1, 0, 0}},
        {"WriteMultipleRegisters",
         [](modbus_t* m, uint16_t*) { return modbus_write_registers(m, 0x80, 2, twoValues); },
         {1, 0x10, 0, 0x80, 0, 2, 4, 1, 2, 3, 4}, {1, 0x10, 0, 0x80, 0, 2}, {2, 0, 0}},
        {"ReportServerId",
         [](modbus_t* m, uint16_t* v) { return modbus_report_slave_id(m, 8, reinterpret_cast<uint8_t*>(v)); },
         {1, 0x11}, {1, 0x11, 2, 0x4B, 0xFF}, {2, 0, 0xFF4B}},
        {"ExceptionReply", [](modbus_t* m, uint16_t* v) { return modbus_read_registers(m, 0x9000, 1, v); },
         {1, 3, 0x90, 0, 0, 1}, {1, 0x83, 2}, {-1, EMBXILADD, 0}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const TPeerResult got = Exchange(row.call, row.request, row.reply);
        EXPECT_EQ(got.result, row.expected.result);
        EXPECT_EQ(got.error, row.expected.error);
        EXPECT_EQ(got.firstValue, row.expected.firstValue);
    }
}

} // namespace
