#include "MeterModel.h"
#include "ModbusServerPdu.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct rPduCase {
    const char* Name;
    std::vector<uint8_t> Request;
    std::vector<uint8_t> Reply; // the whole reply, or its start when Prefix
    bool Prefix = false;
};
// Rows print as their name in test lists and failure messages.
void PrintTo(const rPduCase& row, std::ostream* os) { *os << row.Name; }

class ModbusServerPduTable : public testing::TestWithParam<rPduCase> {};

TEST_P(ModbusServerPduTable, Reply)
{
    const rPduCase& c = GetParam();
    TMeterModel meter(1, [] { return 100.0; });
    const auto reply = ModbusServerPdu::Handle(meter, c.Request);
    if (c.Prefix) {
        ASSERT_GE(reply.size(), c.Reply.size());
        EXPECT_EQ(std::vector<uint8_t>(reply.begin(), reply.begin() + c.Reply.size()), c.Reply);
    } else {
        EXPECT_EQ(reply, c.Reply);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Reads, ModbusServerPduTable,
    testing::Values(
        rPduCase{"Holding133", {0x03, 0x00, 0x85, 0x00, 0x01}, {0x03, 0x02, 0x30, 0x39}},
        rPduCase{"InputMirrorsHolding", {0x04, 0x00, 0x85, 0x00, 0x02}, {0x04, 0x04, 0x30, 0x39, 0x00, 0x19}},
        rPduCase{"Count125", {0x03, 0x00, 0x00, 0x00, 125}, {0x03, 250}, true},
        rPduCase{"Count0", {0x03, 0x00, 0x00, 0x00, 0x00}, {0x83, 0x03}},
        rPduCase{"Count126", {0x03, 0x00, 0x00, 0x00, 126}, {0x83, 0x03}},
        rPduCase{"CountCheckedBeforeAddress", {0x03, 0xFF, 0xFF, 0x00, 0x00}, {0x83, 0x03}},
        rPduCase{"Last", {0x03, 0x03, 0xFF, 0x00, 0x01}, {0x03, 0x02, 0x00, 0x00}},
        rPduCase{"PastLast", {0x03, 0x03, 0xFF, 0x00, 0x02}, {0x83, 0x02}},
        rPduCase{"FarAway", {0x04, 0xFF, 0xFF, 0x00, 0x01}, {0x84, 0x02}},
        rPduCase{"Short", {0x03, 0x00, 0x85, 0x00}, {0x83, 0x03}},
        rPduCase{"Long", {0x03, 0x00, 0x85, 0x00, 0x01, 0x00}, {0x83, 0x03}}),
    [](const auto& info) { return std::string(info.param.Name); });

INSTANTIATE_TEST_SUITE_P(
    Writes, ModbusServerPduTable,
    testing::Values(
        rPduCase{"SingleEchoes", {0x06, 0x00, 0x96, 0x12, 0x34}, {0x06, 0x00, 0x96, 0x12, 0x34}},
        rPduCase{"SingleTo133", {0x06, 0x00, 0x85, 0x00, 0x01}, {0x86, 0x02}},
        rPduCase{"SingleShort", {0x06, 0x00, 0x96, 0x12}, {0x86, 0x03}},
        rPduCase{"Multiple", {0x10, 0x00, 0x96, 0x00, 0x02, 0x04, 0, 1, 0, 2}, {0x10, 0x00, 0x96, 0x00, 0x02}},
        rPduCase{"MultipleByteCountOff", {0x10, 0x00, 0x96, 0x00, 0x02, 0x03, 0, 1, 0}, {0x90, 0x03}},
        rPduCase{"MultipleDataShort", {0x10, 0x00, 0x96, 0x00, 0x02, 0x04, 0, 1, 0}, {0x90, 0x03}},
        rPduCase{"MultipleCount0", {0x10, 0x00, 0x96, 0x00, 0x00, 0x00}, {0x90, 0x03}},
        rPduCase{"MultipleCount124", {0x10, 0x00, 0x96, 0x00, 124, 248}, {0x90, 0x03}},
        rPduCase{"MultipleAcross133", {0x10, 0x00, 0x84, 0x00, 0x02, 0x04, 0, 1, 0, 2}, {0x90, 0x02}}),
    [](const auto& info) { return std::string(info.param.Name); });

INSTANTIATE_TEST_SUITE_P(
    Others, ModbusServerPduTable,
    testing::Values(
        rPduCase{"ReadCoils", {0x01, 0x00, 0x00, 0x00, 0x01}, {0x81, 0x01}},
        rPduCase{"Fc7", {0x07}, {0x87, 0x01}},
        rPduCase{"Fc43", {0x2B, 0x0E, 0x01, 0x00}, {0xAB, 0x01}},
        rPduCase{"ExceptionCodeAsFunction", {0x83, 0x00}, {0x83, 0x01}},
        rPduCase{"ReportIdWithData", {0x11, 0x00}, {0x91, 0x03}}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(ModbusServerPdu, ReportServerIdCarriesIdStatusAndModelText)
{
    TMeterModel meter(1);
    const auto reply = ModbusServerPdu::Handle(meter, std::vector<uint8_t>{0x11});
    ASSERT_GE(reply.size(), 4u);
    EXPECT_EQ(reply[0], 0x11);
    EXPECT_EQ(reply[1], reply.size() - 2) << "byte count covers ID, status and text";
    EXPECT_EQ(reply[2], ModbusServerPdu::ServerId);
    EXPECT_EQ(reply[3], 0xFF);
    EXPECT_EQ(std::string(reply.begin() + 4, reply.end()), "Kelvane power transducer, serial 10001, firmware 5.70");
}

} // namespace
