// Our master against libmodbus's RTU server, an implementation independent
// of ours: the values must arrive, and the frames our connection reports
// sending and receiving must be exactly those libmodbus took and wrote.

#include "SerialClientTestSupport.h"

#include <gtest/gtest.h>

#include <modbus/modbus.h>

#include <string_view>
#include <sys/socket.h>

using namespace serialtest;

namespace {

// libmodbus serves on one end of a socket pair; a relay copies between the
// other end and the pty line and keeps what passed in each direction, so
// the test sees the exact bytes libmodbus received and sent.
class TLibmodbusRtuServer {
public:
    static constexpr int Unit = 1;
    static constexpr int Registers = 1000;

    explicit TLibmodbusRtuServer(int lineFd) : lineFd_(lineFd)
    {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair_) != 0)
            throw std::runtime_error("socketpair failed");
        ctx_ = modbus_new_rtu("/dev/null", 19200, 'N', 8, 1);
        modbus_set_slave(ctx_, Unit);
        modbus_set_socket(ctx_, pair_[0]);
        modbus_set_indication_timeout(ctx_, 0, 100000);
        mapping_ = modbus_mapping_new(0, 0, Registers, Registers);
        for (int i = 0; i < Registers; ++i) {
            mapping_->tab_registers[i] = static_cast<uint16_t>(0x1000 + i);
            mapping_->tab_input_registers[i] = static_cast<uint16_t>(0x8000 ^ (i * 7));
        }
        server_ = std::thread([this] { Serve(); });
        relay_ = std::thread([this] { Relay(); });
    }
    ~TLibmodbusRtuServer()
    {
        stop_ = true;
        server_.join();
        relay_.join();
        modbus_mapping_free(mapping_);
        modbus_free(ctx_); // does not close the socket set from outside
        ::close(pair_[0]);
        ::close(pair_[1]);
    }

    uint16_t HoldingRegister(int i) const
    {
        std::lock_guard lock(mutex_);
        return mapping_->tab_registers[i];
    }
    uint16_t InputRegister(int i) const
    {
        std::lock_guard lock(mutex_);
        return mapping_->tab_input_registers[i];
    }
    // The bytes libmodbus received and sent since the last call.
    std::pair<Bytes, Bytes> TakeTraffic()
    {
        std::lock_guard lock(mutex_);
        return {std::exchange(toServer_, {}), std::exchange(fromServer_, {})};
    }

private:
    void Serve()
    {
        uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
        while (!stop_) {
            const int n = modbus_receive(ctx_, query);
            if (n > 0) {
                std::lock_guard lock(mutex_);
                modbus_reply(ctx_, query, n, mapping_);
            }
        }
    }

    // Copies what is readable on from to to, recording it in record.
    bool Copy(int from, int to, Bytes& record)
    {
        uint8_t chunk[512];
        const ssize_t n = ::read(from, chunk, sizeof chunk);
        if (n <= 0)
            return false;
        {
            std::lock_guard lock(mutex_);
            record.insert(record.end(), chunk, chunk + n);
        }
        return ::write(to, chunk, std::size_t(n)) == n;
    }

    void Relay()
    {
        while (!stop_) {
            pollfd p[2] = {{lineFd_, POLLIN, 0}, {pair_[1], POLLIN, 0}};
            if (::poll(p, 2, 50) <= 0)
                continue;
            if ((p[0].revents & POLLIN) && !Copy(lineFd_, pair_[1], toServer_))
                return;
            if ((p[1].revents & POLLIN) && !Copy(pair_[1], lineFd_, fromServer_))
                return;
        }
    }

    int lineFd_;
    int pair_[2] = {-1, -1};
    modbus_t* ctx_ = nullptr;
    modbus_mapping_t* mapping_ = nullptr;
    mutable std::mutex mutex_;
    Bytes toServer_, fromServer_;
    std::atomic<bool> stop_{false};
    std::thread server_, relay_;
};

struct PeerCase {
    const char* Name;
    std::function<uint32_t(TModbusClient&)> Issue;
    // Checks the event's values against the server's registers afterwards.
    std::function<void(const TSeenEvent&, const TLibmodbusRtuServer&)> Check;
};
void PrintTo(const PeerCase& c, std::ostream* os) { *os << c.Name; }

std::vector<uint16_t> Ramp(int n, uint16_t first)
{
    std::vector<uint16_t> v(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        v[static_cast<std::size_t>(i)] = static_cast<uint16_t>(first + 977 * i);
    return v;
}

const PeerCase PeerCases[] = {
    {"ReadHoldingRegisters125", [](TModbusClient& c) { return c.ReadHoldingRegisters(300, 125); },
     [](const TSeenEvent& e, const TLibmodbusRtuServer& s) {
         EXPECT_EQ(e.Name, "HoldingRegistersRead");
         ASSERT_EQ(e.Values.size(), 125u);
         for (int i = 0; i < 125; ++i)
             EXPECT_EQ(e.Values[std::size_t(i)], s.HoldingRegister(300 + i)) << i;
     }},
    {"ReadInputRegisters", [](TModbusClient& c) { return c.ReadInputRegisters(17, 9); },
     [](const TSeenEvent& e, const TLibmodbusRtuServer& s) {
         EXPECT_EQ(e.Name, "InputRegistersRead");
         ASSERT_EQ(e.Values.size(), 9u);
         for (int i = 0; i < 9; ++i)
             EXPECT_EQ(e.Values[std::size_t(i)], s.InputRegister(17 + i)) << i;
     }},
    {"WriteSingleRegister", [](TModbusClient& c) { return c.WriteSingleRegister(42, 0xBEEF); },
     [](const TSeenEvent& e, const TLibmodbusRtuServer& s) {
         EXPECT_EQ(e.Name, "SingleRegisterWrite");
         EXPECT_EQ(e.Values, (std::vector<int>{42, 0xBEEF}));
         EXPECT_EQ(s.HoldingRegister(42), 0xBEEF);
     }},
    {"WriteMultipleRegisters123", [](TModbusClient& c) { return c.WriteMultipleRegisters(600, Ramp(123, 5)); },
     [](const TSeenEvent& e, const TLibmodbusRtuServer& s) {
         EXPECT_EQ(e.Name, "MultipleRegistersWrite");
         const std::vector<uint16_t> written = Ramp(123, 5);
         EXPECT_EQ(e.Values, std::vector<int>(written.begin(), written.end()));
         for (int i = 0; i < 123; ++i)
             EXPECT_EQ(s.HoldingRegister(600 + i), written[std::size_t(i)]) << i;
     }},
    {"ReportServerIdentification", [](TModbusClient& c) { return c.ReportServerIdentification(); },
     [](const TSeenEvent& e, const TLibmodbusRtuServer&) {
         EXPECT_EQ(e.Name, "ServerIdentificationReport");
         ASSERT_GE(e.Values.size(), 1u);
         EXPECT_EQ(e.Values[0], int(e.Values.size()) - 1);
         // libmodbus names itself after its id and run indicator bytes.
         const std::string text(e.Values.begin() + 1, e.Values.end());
         EXPECT_NE(text.find("LMB"), std::string::npos) << text;
     }},
};

class AgainstLibmodbus : public ::testing::TestWithParam<PeerCase> {};

TEST_P(AgainstLibmodbus, ValuesAndFramesMatchTheServer)
{
    TRtuClientOnPty line;
    TLibmodbusRtuServer server(line.Line.Master());
    TEventLog log(line.Client);
    std::vector<Bytes> sent, received;
    line.Connection.OnFrameSend = [&](TModbusConnection*, const TFrameData& d) { sent.push_back(d); };
    line.Connection.OnFrameReceive = [&](TModbusConnection*, const TFrameData& d) { received.push_back(d); };

    const uint32_t id = GetParam().Issue(line.Client);
    ASSERT_TRUE(log.WaitProcessed(id));
    const TSeenEvent event = log.Of(id).at(0);
    EXPECT_EQ(event.Info.Reply, TTransactionReply::trSuccess);
    GetParam().Check(event, server);

    const auto [toServer, fromServer] = server.TakeTraffic();
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(sent[0], toServer);
    EXPECT_EQ(received[0], fromServer);
}

INSTANTIATE_TEST_SUITE_P(Functions, AgainstLibmodbus, ::testing::ValuesIn(PeerCases),
                         [](const auto& info) { return std::string(info.param.Name); });

} // namespace
