#include "UIPAddrUtils.h"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>

static_assert(std::is_base_of_v<EKelvaneError, EIPAddrError>);
static_assert(std::is_base_of_v<EKelvaneError, EIPAddrAssertion>);

TEST(IPAddrUtils, StringHelpers)
{
    EXPECT_EQ(ExtractField("192.168.1.10", 1, '.'), "192");
    EXPECT_EQ(ExtractField("192.168.1.10", 4, '.'), "10");
    EXPECT_EQ(ExtractField("192.168.1.10", 5, '.'), "");
    EXPECT_EQ(ExtractField("192.168.1.10", 0, '.'), "");
    EXPECT_EQ(ExtractField("1..3", 2, '.'), "");
    EXPECT_EQ(ExtractField("a;b", 2, ';'), "b");

    EXPECT_EQ(CountChar("1.2.3.4", '.'), 3);
    EXPECT_EQ(CountChar("", '.'), 0);
    EXPECT_EQ(RemoveChars("1.2-3.4", ".-"), "1234");
    EXPECT_EQ(RemoveChars("abc", ""), "abc");

    EXPECT_TRUE(IsDigits(""));
    EXPECT_TRUE(IsDigits("0123456789"));
    EXPECT_FALSE(IsDigits("12a"));
    EXPECT_FALSE(IsDigits(" 1"));
    EXPECT_FALSE(IsDigits(QString::fromUtf8("\u0661\u0662"))); // digits, but not ASCII ones
}

TEST(IPAddrUtils, ValidAddresses)
{
    struct Row {
        const char* dotted;
        const char* normalized;
        int octets[4];
    };
    const Row rows[] = {
        {"192.168.1.10", "192168001010", {192, 168, 1, 10}},
        {"0.0.0.0", "000000000000", {0, 0, 0, 0}},
        {"255.255.255.255", "255255255255", {255, 255, 255, 255}},
        {"10.0.99.7", "010000099007", {10, 0, 99, 7}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.dotted);
        EXPECT_EQ(NormalizeIPString(row.dotted), row.normalized);
        EXPECT_NO_THROW(ValidateIPString(row.dotted));
        for (int n = 1; n <= 4; ++n)
            EXPECT_EQ(GetIPOctet(row.dotted, n), row.octets[n - 1]) << n;
        EXPECT_EQ(GetIPOctet(row.dotted, 0), 0);
        EXPECT_EQ(GetIPOctet(row.dotted, 5), 0);
    }
}

enum class Kind { Error, Assertion };

struct BadAddress {
    const char* dotted;
    Kind kind;
    const char* message;
};
// Rows print as their name in test lists and failure messages.
void PrintTo(const BadAddress& row, std::ostream* os) { *os << '"' << row.dotted << '"'; }

class IPAddrUtilsBad : public testing::TestWithParam<BadAddress> {};

TEST_P(IPAddrUtilsBad, RaisesItsMessage)
{
    const BadAddress& row = GetParam();
    try {
        ValidateIPString(row.dotted);
        FAIL() << "accepted " << row.dotted;
    } catch (const EIPAddrError& e) {
        EXPECT_EQ(row.kind, Kind::Error);
        EXPECT_EQ(std::string(e.what()), row.message);
    } catch (const EIPAddrAssertion& e) {
        EXPECT_EQ(row.kind, Kind::Assertion);
        EXPECT_EQ(std::string(e.what()), row.message);
    }
    EXPECT_THROW(GetIPOctet(row.dotted, 1), EKelvaneError);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IPAddrUtilsBad,
    testing::Values(
        BadAddress{"192.168.100.1000", Kind::Assertion, "Illegal length for IPString![192.168.100.1000(16)]"},
        BadAddress{"1.2.3", Kind::Assertion, "Must include exactly 3 dots! [1.2.3]"},
        BadAddress{"1.2.3.4.5", Kind::Assertion, "Must include exactly 3 dots! [1.2.3.4.5]"},
        BadAddress{"", Kind::Assertion, "Must include exactly 3 dots! []"},
        BadAddress{"1..3.4", Kind::Error, "IPAddress must include 4 pieces of length 1..3. IPAddressString[1..3.4]"},
        BadAddress{"1.2.3.1000", Kind::Error, "IPAddress must include 4 pieces of length 1..3. IPAddressString[1.2.3.1000]"},
        BadAddress{"192.168.01.10", Kind::Error, "Leading zero not allowed. IPAddressString[192.168.01.10]"},
        BadAddress{"00.1.1.1", Kind::Error, "Leading zero not allowed. IPAddressString[00.1.1.1]"},
        BadAddress{"256.1.1.1", Kind::Error, "Triplets must be of range 0..255  IPAddressString[256.1.1.1]"},
        BadAddress{"1.2.3.999", Kind::Error, "Triplets must be of range 0..255  IPAddressString[1.2.3.999]"},
        BadAddress{"1.a.3.4", Kind::Error, "IP Address contains illegal symbols. IPAddressString[1.a.3.4]"},
        BadAddress{"-1.2.3.4", Kind::Error, "IP Address contains illegal symbols. IPAddressString[-1.2.3.4]"},
        BadAddress{" 1.2.3.4", Kind::Error, "IP Address contains illegal symbols. IPAddressString[ 1.2.3.4]"},
        // The user's text is quoted as it is, placeholders included.
        BadAddress{"%1.2.3.4", Kind::Error, "IP Address contains illegal symbols. IPAddressString[%1.2.3.4]"},
        BadAddress{"%1.222.333.44444", Kind::Assertion, "Illegal length for IPString![%1.222.333.44444(16)]"}),
    // Rows are named by their place in the table, so test names stay stable.
    [](const testing::TestParamInfo<BadAddress>& info) { return "Row" + std::to_string(info.index); });

TEST(IPAddrUtils, CheckTripletsWantsTwelveCharacters)
{
    try {
        CheckTriplets("1234", "1.2.3.4");
        FAIL() << "accepted a short triplet string";
    } catch (const EIPAddrAssertion& e) {
        EXPECT_STREQ(e.what(), "Illegal length for IPString![1.2.3.4 (Length:4) ]");
    }
    EXPECT_NO_THROW(CheckTriplets("001002003004", "1.2.3.4"));
}
