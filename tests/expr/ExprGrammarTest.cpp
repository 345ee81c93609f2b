// The four binary levels, their associativity, unary operators, parentheses
// and argument lists, and the errors of a malformed formula.

#include "ExprTestSupport.h"

using namespace exprtest;

namespace {

class Precedence : public testing::TestWithParam<TValueCase> {};

TEST_P(Precedence, GroupsAsTheLevelsSay)
{
    ExpectValue(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Levels, Precedence, testing::Values(
    TValueCase{"2 + 3 * 4", ekI, "14"},
    TValueCase{"(2 + 3) * 4", ekI, "20"},
    TValueCase{"2 * 3 ^ 2", ekF, "18"},
    TValueCase{"1 + 2 = 3", ekB, "TRUE"},
    TValueCase{"3 = 1 + 2", ekB, "TRUE"},
    TValueCase{"1 + 6 AND 3", ekI, "3"},      // AND is a term operator
    TValueCase{"1 OR 2 * 2", ekI, "5"},       // OR is a sum operator
    TValueCase{"1 SHL 2 + 1", ekI, "5"},
    TValueCase{"NOT 1 = 0", ekB, "FALSE"},    // (NOT 1) = 0
    TValueCase{"-2 ^ 2", ekF, "4"},           // unary binds tighter than ^
    TValueCase{"- - 3", ekI, "3"},
    TValueCase{"+-+3", ekI, "-3"},
    TValueCase{"2 - -3", ekI, "5"}
));

INSTANTIATE_TEST_SUITE_P(LeftAssociative, Precedence, testing::Values(
    TValueCase{"2 ^ 3 ^ 2", ekF, "64"},
    TValueCase{"10 - 4 - 3", ekI, "3"},
    TValueCase{"100 DIV 10 DIV 5", ekI, "2"},
    TValueCase{"2 / 4 / 2", ekF, "0.25"},
    TValueCase{"1 < 2 = TRUE", ekB, "TRUE"},
    TValueCase{"3 > 2 > 1", ekB, "FALSE"} // (3 > 2) > 1 compares as Integer: 1 > 1
));

INSTANTIATE_TEST_SUITE_P(ParenthesesAndArguments, Precedence, testing::Values(
    TValueCase{"((((7))))", ekI, "7"},
    TValueCase{" ( 1 + 2 ) * ( 3 ) ", ekI, "9"},
    TValueCase{"POWER( 2 , 1 + 2 )", ekF, "8"},
    TValueCase{"COPY('abc', 1+1, (2))", ekS, "bc"},
    TValueCase{"SQR (3)", ekF, "9"},          // blanks before the list
    TValueCase{"IF(1 < 2, IF(TRUE, 'a', 'b'), 'c')", ekS, "a"}
));

class MalformedFormula : public testing::TestWithParam<TErrorCase> {};

TEST_P(MalformedFormula, RaisesWhileParsing)
{
    EXPECT_EQ(ParseError(GetParam().Formula), GetParam().Message);
}

INSTANTIATE_TEST_SUITE_P(Structure, MalformedFormula, testing::Values(
    TErrorCase{"", "Unexpected end of factor"},
    TErrorCase{"   ", "Unexpected end of factor"},
    TErrorCase{"1 +", "Unexpected end of factor"},
    TErrorCase{"()", "Unexpected end of factor"},
    TErrorCase{"PI()", "Unexpected end of factor"},
    TErrorCase{"SIN(1,)", "Unexpected end of factor"},
    TErrorCase{"SIN(,1)", "Unexpected end of factor"},
    TErrorCase{"5 6", "6 not appropriate"},
    TErrorCase{"1)", ") not appropriate"},
    TErrorCase{"1, 2", ", not appropriate"},
    TErrorCase{"COUNT UNIT", "U not appropriate"},
    TErrorCase{"1 NOT 2", "N not appropriate"},
    TErrorCase{"TRUE(1)", "( not appropriate"},
    TErrorCase{"5 µA", "µ not appropriate"},  // the whole character
    TErrorCase{"5 \xE2\x82", "\xE2 not appropriate"},
    TErrorCase{"(1", " ) expected"},
    TErrorCase{"(1 2)", " ) expected"},
    TErrorCase{"SIN(1", "Incorrectly formed parameters"},
    TErrorCase{"SIN(1 2)", "Incorrectly formed parameters"},
    TErrorCase{"*2", "opMult not allowed here"},
    TErrorCase{"1 + AND 2", "opAnd not allowed here"},
    TErrorCase{"= 1", "opEq not allowed here"},
    TErrorCase{"2 ^ ^ 2", "opExp not allowed here"},
    TErrorCase{"1 + @", "Syntax error"},
    TErrorCase{"NOWHERE + 1", "Unknown Identifier NOWHERE"},
    TErrorCase{"nowhere(1, 2)", "Unknown Identifier NOWHERE"}
));

}  // namespace
