// The numeric and string functions, their argument checks and their range
// limits.

#include "ExprTestSupport.h"

#include <numbers>

using namespace exprtest;

namespace {

class Function : public testing::TestWithParam<TValueCase> {};

TEST_P(Function, GivesKindAndValue)
{
    ExpectValue(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Numeric, Function, testing::Values(
    TValueCase{"TRUNC(-2.7)", ekI, "-2"},
    TValueCase{"ROUND(2.5)", ekI, "2"},
    TValueCase{"ROUND(3.5)", ekI, "4"},
    TValueCase{"ROUND(-2.5)", ekI, "-2"},
    TValueCase{"ROUND(-3.5)", ekI, "-4"},
    TValueCase{"ROUND(2.5000001)", ekI, "3"},
    TValueCase{"ROUND(-0.4)", ekI, "0"},
    TValueCase{"TRUNC(4294967297.5)", ekI, "1"},        // low 32 bits
    TValueCase{"ROUND(2147483648.0)", ekI, "-2147483648"},
    TValueCase{"TRUNC(-9.2e18)", ekI, "1650982912"},
    TValueCase{"TRUNC(TRUE)", ekI, "1"},
    TValueCase{"FLOAT(TRUNC(2.7))", ekF, "2"},
    TValueCase{"ABS(-2.5)", ekF, "2.5"},
    TValueCase{"INTEGER(ABS(-7))", ekI, "7"},
    TValueCase{"INTEGER(ABS($80000000))", ekI, "-2147483648"},
    TValueCase{"ARCTAN(1) * 4", ekF, "3.14159265358979"},
    TValueCase{"EXP(1)", ekF, "2.71828182845905"},
    TValueCase{"EXP(-1000)", ekF, "0"},
    TValueCase{"FRAC(-2.75)", ekF, "-0.75"},
    TValueCase{"INT(-2.75)", ekF, "-2"},
    TValueCase{"LN(EXP(2))", ekF, "2"},
    TValueCase{"PI", ekF, "3.14159265358979"},
    TValueCase{"pi * 2", ekF, "6.28318530717959"},
    TValueCase{"PI(1, 'x')", ekF, "3.14159265358979"},
    TValueCase{"SIN(PI / 2)", ekF, "1"},
    TValueCase{"SQRT(2) * SQRT(2)", ekF, "2"},
    TValueCase{"POWER(2, 10)", ekF, "1024"},
    TValueCase{"POWER(9, 0.5)", ekF, "3"},
    TValueCase{"POWER(-2, 2)", ekF, "4"}
));

INSTANTIATE_TEST_SUITE_P(Text, Function, testing::Values(
    TValueCase{"UPPER('aBz9_é')", ekS, "ABZ9_é"},
    TValueCase{"LOWER('AbZ9')", ekS, "abz9"},
    TValueCase{"COPY('abcdef', 2, 3)", ekS, "bcd"},
    TValueCase{"COPY('abcdef', 5, 10)", ekS, "ef"},
    TValueCase{"COPY('abcdef', 0, 2)", ekS, "ab"},
    TValueCase{"COPY('abcdef', 7, 1)", ekS, ""},
    TValueCase{"COPY('abcdef', 2, 0)", ekS, ""},
    TValueCase{"COPY('abcdef', 2, -1)", ekS, ""},
    TValueCase{"COPY('abcdef', $7FFFFFFF, $7FFFFFFF)", ekS, ""},
    TValueCase{"COPY('abcdef', 2, $7FFFFFFF)", ekS, "bcdef"},
    TValueCase{"COPY('abcdef', TRUE, 1 < 2)", ekS, "a"},
    TValueCase{"COPY(12345, 2, 2)", ekS, "23"},
    TValueCase{"POS('cd', 'abcdef')", ekI, "3"},
    TValueCase{"POS('x', 'abcdef')", ekI, "0"},
    TValueCase{"POS('', 'abcdef')", ekI, "0"},
    TValueCase{"POS('abcdefg', 'abcdef')", ekI, "0"},
    TValueCase{"POS(5, 12345)", ekI, "5"},
    TValueCase{"LENGTH('it''s')", ekI, "4"},
    TValueCase{"LENGTH(1.25)", ekI, "4"},
    TValueCase{"LENGTH(TRUE) + 1", ekI, "5"},
    TValueCase{"STRING(POS('b', 'abc'))", ekS, "2"},
    TValueCase{"FLOAT(LENGTH('abc')) / 2", ekF, "1.5"}
));

// Text functions count characters (UTF-8 code points) and never split one. A
// byte that does not begin a complete, valid sequence counts as a character
// of its own and is kept as it is.
INSTANTIATE_TEST_SUITE_P(Characters, Function, testing::Values(
    TValueCase{"LENGTH('µ')", ekI, "1"},
    TValueCase{"LENGTH('µA°€𝄞')", ekI, "5"},
    TValueCase{"COPY('µA', 1, 1)", ekS, "µ"},
    TValueCase{"COPY('µA', 2, 1)", ekS, "A"},
    TValueCase{"COPY('Temp °C', 6, 2)", ekS, "°C"},
    TValueCase{"COPY('€𝄞x', 2, 5)", ekS, "𝄞x"},
    TValueCase{"COPY('€𝄞x', 4, 1)", ekS, ""},
    TValueCase{"POS('A', 'µA')", ekI, "2"},
    TValueCase{"POS('°C', 'Temp °C')", ekI, "6"},
    TValueCase{"POS('x', '𝄞€x')", ekI, "3"},
    TValueCase{"UPPER('µa°')", ekS, "µA°"},
    TValueCase{"LOWER('ÀB')", ekS, "Àb"},
    TValueCase{"LENGTH('\xF0\x9F\x98\x80')", ekI, "1"},
    TValueCase{"LENGTH('\xFF\xFE')", ekI, "2"},
    TValueCase{"LENGTH('a\xE2\x82')", ekI, "3"},           // a sequence cut short
    TValueCase{"COPY('\xE2\x82" "A', 2, 2)", ekS, "\x82" "A"},
    TValueCase{"POS('A', '\xE2\x82" "A')", ekI, "3"},
    TValueCase{"POS('\xAC', '€\xAC')", ekI, "2"},           // not inside the €
    TValueCase{"LENGTH('\xC0\xAF')", ekI, "2"},            // overlong
    TValueCase{"LENGTH('\xED\xA0\x80')", ekI, "3"},        // a surrogate
    TValueCase{"LENGTH('\xF4\x90\x80\x80')", ekI, "4"}     // beyond U+10FFFF
));

class FunctionError : public testing::TestWithParam<TErrorCase> {};

TEST_P(FunctionError, RaisesWhenRead)
{
    const auto tree = Parse(GetParam().Formula);  // parsing succeeds
    EXPECT_EQ(AnyError(GetParam().Formula), GetParam().Message);
}

INSTANTIATE_TEST_SUITE_P(Arguments, FunctionError, testing::Values(
    TErrorCase{"SIN", "Invalid parameter to SIN"},
    TErrorCase{"SIN(1, 2)", "Invalid parameter to SIN"},
    TErrorCase{"SQRT('4')", "Invalid parameter to SQRT"},
    TErrorCase{"TRUNC(UNIT)", "Invalid parameter to TRUNC"},
    TErrorCase{"POWER(2)", "Invalid parameter to POWER"},
    TErrorCase{"POWER(2, '3')", "Invalid parameter to POWER"},
    TErrorCase{"UPPER", "Invalid parameter to UPPER"},
    TErrorCase{"COPY('abc', 1)", "Invalid parameter to COPY"},
    TErrorCase{"COPY('abc', 1.0, 2)", "Invalid parameter to COPY"},
    TErrorCase{"COPY('abc', 1, '2')", "Invalid parameter to COPY"},
    TErrorCase{"POS('a')", "Invalid parameter to POS"},
    TErrorCase{"LENGTH", "Invalid parameter to LENGTH"}
));

INSTANTIATE_TEST_SUITE_P(Range, FunctionError, testing::Values(
    TErrorCase{"TRUNC(9.3e18)", "TRUNC argument beyond the 64-bit range"},
    TErrorCase{"TRUNC(-9.3e18)", "TRUNC argument beyond the 64-bit range"},
    TErrorCase{"ROUND(1e300)", "ROUND argument beyond the 64-bit range"},
    TErrorCase{"FLOAT(ROUND(-1e19))", "ROUND argument beyond the 64-bit range"},
    TErrorCase{"LN(0)", "Floating point overflow"},
    TErrorCase{"LN(-1)", "Invalid floating point operation"},
    TErrorCase{"SQRT(-1)", "Invalid floating point operation"},
    TErrorCase{"EXP(710)", "Floating point overflow"},
    TErrorCase{"SQR(1e200)", "Floating point overflow"},
    TErrorCase{"POWER(0, -1)", "Floating point overflow"},
    TErrorCase{"POWER(-8, 1/3)", "Invalid floating point operation"}
));

TEST(ExprFunction, TruncAndRoundAtTheEdgesOfThe64BitRange)
{
    // -2^63 is representable and in range; 2^63 is the first value beyond.
    EXPECT_EQ(Evaluate("TRUNC(-9223372036854775808.0)").Text, "0");
    EXPECT_EQ(AnyError("TRUNC(9223372036854775808.0)"),
              "TRUNC argument beyond the 64-bit range");
    // The largest double below 2^63 is 2^63 - 1024: its low 32 bits read -1024.
    EXPECT_EQ(Evaluate("TRUNC(9223372036854774784.0)").Text, "-1024");
}

TEST(ExprFunction, IntegerReadOfAFloatFunctionIsRefused)
{
    EXPECT_EQ(AnyError("INTEGER(SIN(0))"), "Cannot read Float as prInteger");
    EXPECT_EQ(AnyError("INTEGER(ABS(-2.5))"), "Cannot read Float as prInteger");
    EXPECT_EQ(AnyError("INTEGER(UPPER('a'))"), "Cannot read String as prInteger");
}

TEST(ExprFunction, BuiltInNamesNeverReachTheHook)
{
    int calls = 0;
    const TIdentifierHook hook = [&calls](const std::string&, const TParameterList*) {
        ++calls;
        return std::make_unique<TIntegerLiteral>(0);
    };
    const auto tree = ParseExpression(
        "PI + SIN(0) + IF(TRUE, 1, 2) + FLOAT(1) + LENGTH('a') + TRUNC(1.5)", hook);
    EXPECT_EQ(calls, 0);
    EXPECT_NEAR(tree->ReadFloat(), std::numbers::pi + 4, 1e-12);
}

}  // namespace
