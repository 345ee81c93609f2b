// Tokens: numbers, hexadecimal numbers, strings, names, operator words and
// blanks.

#include "ExprTestSupport.h"

#include <string>
#include <vector>

using namespace exprtest;

namespace {

class LexValue : public testing::TestWithParam<TValueCase> {};

TEST_P(LexValue, ReadsTokenAsValue)
{
    ExpectValue(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Literals, LexValue, testing::Values(
    TValueCase{"42", ekI, "42"},
    TValueCase{"2147483647", ekI, "2147483647"},
    TValueCase{"007", ekI, "7"},
    TValueCase{"1.5", ekF, "1.5"},
    TValueCase{"1.", ekF, "1"},
    TValueCase{"2.5e3", ekF, "2500"},
    TValueCase{"25E-1", ekF, "2.5"},
    TValueCase{"1e-400", ekF, "0"},
    TValueCase{"$FF", ekI, "255"},
    TValueCase{"$ff", ekI, "255"},
    TValueCase{"$7FFFFFFF", ekI, "2147483647"},
    TValueCase{"$80000000", ekI, "-2147483648"},
    TValueCase{"$FFFFFFFF", ekI, "-1"},
    TValueCase{"$000000000000000001", ekI, "1"},
    TValueCase{"'it''s'", ekS, "it's"},
    TValueCase{"''''", ekS, "'"},
    TValueCase{"''", ekS, ""},
    TValueCase{"'a b,(c)'", ekS, "a b,(c)"},
    TValueCase{"true", ekB, "TRUE"},
    TValueCase{"False", ekB, "FALSE"},
    TValueCase{"\t\r\n 1 \x01+\x1f 2 ", ekI, "3"}
));

TEST(ExprLex, TextEndsAtFirstNul)
{
    const std::string text("1+2\0 garbage", 12);
    EXPECT_EQ(Evaluate(*ParseExpression(text, TestHook)).Text, "3");
    EXPECT_EQ(ParseError(std::string("1+\0" "2", 4)).value_or(""), "Unexpected end of factor");
}

INSTANTIATE_TEST_SUITE_P(OperatorWords, LexValue, testing::Values(
    // Two or three letters that begin an operator word are that operator.
    TValueCase{"7 DI 2", ekI, "3"},
    TValueCase{"7 mo 4", ekI, "3"},
    TValueCase{"6 AN 3", ekI, "2"},
    TValueCase{"1 SH 4", ekI, "16"},
    TValueCase{"5 XO 1", ekI, "4"},
    TValueCase{"NO 0", ekI, "-1"},
    TValueCase{"4 or 1", ekI, "5"},
    TValueCase{"$F0 shr 4", ekI, "15"},
    // Operator words need no blank before a parenthesis or a digit.
    TValueCase{"NOT(TRUE)", ekB, "FALSE"},
    TValueCase{"6 AND(3)", ekI, "2"},
    TValueCase{"-7 MOD 2", ekI, "-1"}
));

// What the parser hands to the resolver shows where tokens end.
class RecordingHook {
public:
    TExpressionPtr operator()(const std::string& name, const TParameterList* args)
    {
        Names.push_back(name);
        ArgumentCounts.push_back(args ? args->Count() : -1);
        return std::make_unique<TIntegerLiteral>(1);
    }
    std::vector<std::string> Names;
    std::vector<int> ArgumentCounts;
};

TEST(ExprLex, NamesAreUpperCasedAndEndWhereTheyCannotContinue)
{
    RecordingHook hook;
    const TIdentifierHook h = std::ref(hook);
    ParseExpression("10*r + ab_1c + _x9 + ORDER + AND1 + A + DIVX + sh2", h);
    EXPECT_EQ(hook.Names, (std::vector<std::string>{"R", "AB_1C", "_X9", "ORDER", "AND1", "A",
                                                    "DIVX", "SH2"}));
}

TEST(ExprLex, NumberFollowedByLetterIsTwoTokens)
{
    // "10R" is the number 10 and then the name R, which nothing may follow.
    EXPECT_EQ(ParseError("10R"), "R not appropriate");
    RecordingHook hook;
    const TIdentifierHook h = std::ref(hook);
    ParseExpression("10*R", h);
    EXPECT_EQ(hook.Names, std::vector<std::string>{"R"});
}

TEST(ExprLex, StringOf256CharactersIsAcceptedAnd257AreNot)
{
    const std::string limit(256, 'x');
    EXPECT_EQ(Evaluate("'" + limit + "'").Text, limit);
    EXPECT_EQ(ParseError("'" + limit + "x'"), "String too long");
    // A doubled quote counts once.
    EXPECT_EQ(Evaluate("'" + std::string(255, 'x') + "'''").Text, std::string(255, 'x') + "'");
    // Characters are counted, not bytes.
    std::string micro;
    for (int i = 0; i < 256; ++i)
        micro += "µ";
    EXPECT_EQ(Evaluate("'" + micro + "'").Text, micro);
    EXPECT_EQ(ParseError("'" + micro + "µ'"), "String too long");
}

TEST(ExprLex, HexOf255DigitsIsAcceptedAnd256AreNot)
{
    EXPECT_EQ(Evaluate("$" + std::string(254, '0') + "A").Text, "10");
    EXPECT_EQ(ParseError("$" + std::string(256, '0')), "Hex string too long");
}

TEST(ExprLex, NumberOf28CharactersIsAcceptedAnd29AreNot)
{
    EXPECT_EQ(Evaluate("0." + std::string(25, '0') + "1").Text, "1E-26");
    EXPECT_EQ(ParseError("0." + std::string(26, '0') + "1"), "Bad numeric format");
}

class LexError : public testing::TestWithParam<TErrorCase> {};

TEST_P(LexError, RaisesWhileParsing)
{
    EXPECT_EQ(ParseError(GetParam().Formula), GetParam().Message);
}

INSTANTIATE_TEST_SUITE_P(Tokens, LexError, testing::Values(
    TErrorCase{"1.2.3", "Bad numeric format"},
    TErrorCase{"1E+5", "Bad numeric format"},
    TErrorCase{"1E5.0", "Bad numeric format"},
    TErrorCase{"1E5E2", "Bad numeric format"},
    TErrorCase{"1E", "Bad numeric format"},
    TErrorCase{"1E-", "Bad numeric format"},
    TErrorCase{"2*10EXP", "Bad numeric format"},
    TErrorCase{"$", "Invalid char in hex number"},
    TErrorCase{"$G", "Invalid char in hex number"},
    TErrorCase{"$100000000", "Invalid char in hex number"},
    TErrorCase{"'abc", "Unterminated string"},
    TErrorCase{"'abc''", "Unterminated string"},
    TErrorCase{"2147483648", "'2147483648' is not a valid integer value"},
    TErrorCase{"1e400", "'1e400' is not a valid floating point value"},
    TErrorCase{".5", "Syntax error"},
    TErrorCase{"#", "Syntax error"},
    TErrorCase{"\xc3\xa9", "Syntax error"}
));

}  // namespace
