#include "ModbusServerPdu.h"
#include "RequestDispatcher.h"

#include <gtest/gtest.h>

namespace {

const std::vector<uint8_t> Read133{0x03, 0x00, 0x85, 0x00, 0x01};
const std::vector<uint8_t> Good133{0x03, 0x02, 0x30, 0x39};

TRequestDispatcher Dispatcher(rFaultOptions faults, TUnknownUnit unknown = TUnknownUnit::GatewayException)
{
    return TRequestDispatcher({1, 2, 7}, faults, unknown, [] { return 0.0; });
}

// What the Nth of `count` requests to unit 1 got: 'r' good reply,
// 'd' dropped, 'e' exception 4, 'c' corrupted.
std::string Pattern(TRequestDispatcher& d, int count)
{
    std::string s;
    for (int i = 0; i < count; ++i) {
        const auto reply = d.Handle(1, Read133);
        if (!reply)
            s += 'd';
        else if (reply->Pdu == std::vector<uint8_t>{0x83, 0x04})
            s += 'e';
        else if (reply->Pdu == Good133)
            s += 'r';
        else
            s += 'c';
    }
    return s;
}

struct rFaultCase {
    const char* Name;
    rFaultOptions Faults;
    std::string Expected;
};
// Rows print as their name in test lists and failure messages.
void PrintTo(const rFaultCase& row, std::ostream* os) { *os << row.Name; }

class RequestDispatcherFaults : public testing::TestWithParam<rFaultCase> {};

TEST_P(RequestDispatcherFaults, HitEveryNthRequest)
{
    auto d = Dispatcher(GetParam().Faults);
    EXPECT_EQ(Pattern(d, 8), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RequestDispatcherFaults,
    testing::Values(rFaultCase{"None", {}, "rrrrrrrr"},
                    rFaultCase{"Drop3", {.DropEvery = 3}, "rrdrrdrr"},
                    rFaultCase{"DropEach", {.DropEvery = 1}, "dddddddd"},
                    rFaultCase{"Exception2", {.ExceptionEvery = 2}, "rererere"},
                    rFaultCase{"Corrupt4", {.CorruptEvery = 4}, "rrrcrrrc"},
                    // A dropped request is not also answered with an exception.
                    rFaultCase{"DropWins", {.DropEvery = 2, .ExceptionEvery = 2}, "rdrdrdrd"},
                    rFaultCase{"Mixed", {.DropEvery = 4, .ExceptionEvery = 3}, "rredrerd"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(RequestDispatcher, UnitsAreSeparateMeters)
{
    auto d = Dispatcher({});
    const std::vector<uint8_t> readSerial{0x03, 0x00, 0x95, 0x00, 0x01};
    for (uint8_t unit : {1, 2, 7}) {
        const auto reply = d.Handle(unit, readSerial);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->Unit, unit);
        const int serial = reply->Pdu[2] << 8 | reply->Pdu[3];
        EXPECT_EQ(serial, 10000 + unit);
    }
    d.Handle(2, std::vector<uint8_t>{0x06, 0x00, 0x96, 0x00, 0x05});
    EXPECT_EQ(d.Handle(2, std::vector<uint8_t>{0x03, 0x00, 0x96, 0x00, 0x01})->Pdu.back(), 5);
    EXPECT_EQ(d.Handle(1, std::vector<uint8_t>{0x03, 0x00, 0x96, 0x00, 0x01})->Pdu.back(), 0);
}

TEST(RequestDispatcher, UnknownUnit)
{
    auto gateway = Dispatcher({}, TUnknownUnit::GatewayException);
    const auto reply = gateway.Handle(3, Read133);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->Unit, 3);
    EXPECT_EQ(reply->Pdu, (std::vector<uint8_t>{0x83, 0x0B}));

    auto bus = Dispatcher({}, TUnknownUnit::Silent);
    EXPECT_FALSE(bus.Handle(3, Read133));
    EXPECT_FALSE(bus.Handle(0, Read133)) << "broadcast has no meter of its own";
}

TEST(RequestDispatcher, UnknownUnitsDoNotCountTowardsFaults)
{
    auto d = Dispatcher({.DropEvery = 2});
    EXPECT_TRUE(d.Handle(1, Read133));
    EXPECT_TRUE(d.Handle(99, Read133));
    EXPECT_FALSE(d.Handle(1, Read133));
}

TEST(RequestDispatcher, WrongUnitAnswersFromTheNextId)
{
    auto d = Dispatcher({.WrongUnit = true});
    const auto reply = d.Handle(7, Read133);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->Unit, 8);
    EXPECT_EQ(reply->Pdu, Good133);
}

struct rCorruptCase {
    const char* Name;
    std::vector<uint8_t> Reply;
    uint64_t Nth;
    std::vector<uint8_t> Corrupted;
};
// Rows print as their name in test lists and failure messages.
void PrintTo(const rCorruptCase& row, std::ostream* os) { *os << row.Name; }

class RequestDispatcherCorrupt : public testing::TestWithParam<rCorruptCase> {};

TEST_P(RequestDispatcherCorrupt, Modes)
{
    auto pdu = GetParam().Reply;
    TRequestDispatcher::Corrupt(pdu, GetParam().Nth);
    EXPECT_EQ(pdu, GetParam().Corrupted);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RequestDispatcherCorrupt,
    testing::Values(
        rCorruptCase{"ReadFunction", {0x03, 0x02, 0x30, 0x39}, 0, {0x02, 0x02, 0x30, 0x39}},
        rCorruptCase{"ReadByteCount", {0x03, 0x04, 0, 1, 0, 2}, 1, {0x03, 0x02, 0, 1, 0, 2}},
        rCorruptCase{"InputFunction", {0x04, 0x02, 0, 1}, 2, {0x05, 0x02, 0, 1}},
        rCorruptCase{"ReportIdByteCount", {0x11, 0x03, 0x4B, 0xFF, 'K'}, 1, {0x11, 0x02, 0x4B, 0xFF, 'K'}},
        rCorruptCase{"WriteSingleAddress", {0x06, 0x00, 0x96, 0x12, 0x34}, 1, {0x06, 0x00, 0x97, 0x12, 0x34}},
        rCorruptCase{"WriteAddressCarry", {0x10, 0x00, 0xFF, 0x00, 0x01}, 3, {0x10, 0x01, 0x00, 0x00, 0x01}},
        rCorruptCase{"WriteMultipleFunction", {0x10, 0x00, 0x96, 0x00, 0x01}, 0, {0x11, 0x00, 0x96, 0x00, 0x01}},
        rCorruptCase{"ExceptionKeepsItsBit", {0x83, 0x02}, 1, {0x82, 0x02}}),
    [](const auto& info) { return std::string(info.param.Name); });

} // namespace
