// Evaluation: integer wrapping and division, floating arithmetic and its
// faults, short-circuits, comparisons, cross reads, IF and the casts.

#include "ExprTestSupport.h"

using namespace exprtest;

namespace {

class Evaluates : public testing::TestWithParam<TValueCase> {};

TEST_P(Evaluates, ToKindAndValue)
{
    ExpectValue(GetParam());
}

INSTANTIATE_TEST_SUITE_P(IntegerArithmetic, Evaluates, testing::Values(
    TValueCase{"7 DIV 2", ekI, "3"},
    TValueCase{"-7 DIV 2", ekI, "-3"},
    TValueCase{"7 MOD -2", ekI, "1"},
    TValueCase{"-7 MOD 2", ekI, "-1"},
    TValueCase{"2147483647 + 1", ekI, "-2147483648"},
    TValueCase{"$80000000 - 1", ekI, "2147483647"},
    TValueCase{"$7FFFFFFF * 2", ekI, "-2"},
    TValueCase{"-$80000000", ekI, "-2147483648"},
    TValueCase{"$80000000 DIV -1", ekI, "-2147483648"},
    TValueCase{"$80000000 MOD -1", ekI, "0"},
    TValueCase{"1 SHL 33", ekI, "2"},
    TValueCase{"1 SHL 31", ekI, "-2147483648"},
    TValueCase{"-1 SHR 28", ekI, "15"},
    TValueCase{"-1 SHR 32", ekI, "-1"},
    TValueCase{"1 SHL -1", ekI, "-2147483648"},   // count taken modulo 32
    TValueCase{"12 AND 10", ekI, "8"},
    TValueCase{"12 XOR 10", ekI, "6"},
    TValueCase{"NOT $FFFFFFFF", ekI, "0"}
));

INSTANTIATE_TEST_SUITE_P(FloatArithmetic, Evaluates, testing::Values(
    TValueCase{"1 / 0", ekF, "0"},
    TValueCase{"1.5 / 0.0", ekF, "0"},
    TValueCase{"0.1 + 0.2", ekF, "0.3"},
    TValueCase{"VOLTS * 2 - 1", ekF, "460"},
    TValueCase{"2 ^ 0.5 * 2 ^ 0.5", ekF, "2"},
    TValueCase{"2 ^ -1", ekF, "0.5"},
    TValueCase{"0 ^ 2", ekF, "0"},
    TValueCase{"(-2) ^ 3", ekF, "-8"},
    TValueCase{"1e300 * 1e-300", ekF, "1"},
    TValueCase{"1e-300 * 1e-300", ekF, "0"}  // underflow is no error
));

INSTANTIATE_TEST_SUITE_P(ShortCircuit, Evaluates, testing::Values(
    TValueCase{"FALSE AND (LN(0) = 0)", ekB, "FALSE"},
    TValueCase{"TRUE OR (1 DIV 0 = 0)", ekB, "TRUE"},
    TValueCase{"IF(TRUE, 1, 1 DIV 0)", ekI, "1"},
    TValueCase{"IF(FALSE, LN(0), 2.5)", ekF, "2.5"}
));

INSTANTIATE_TEST_SUITE_P(Comparisons, Evaluates, testing::Values(
    TValueCase{"2 < 10", ekB, "TRUE"},
    TValueCase{"'2' < '10'", ekB, "FALSE"},         // as text
    TValueCase{"2 < '10'", ekB, "FALSE"},           // String wins
    TValueCase{"'ab' < 'abc'", ekB, "TRUE"},        // a proper prefix sorts first
    TValueCase{"'B' < 'a'", ekB, "TRUE"},           // case-sensitive, by code
    TValueCase{"'z' < '\xc3\xa9'", ekB, "TRUE"},    // bytes compare unsigned
    TValueCase{"1 = 1.0", ekB, "TRUE"},
    TValueCase{"0.1 + 0.2 = 0.3", ekB, "FALSE"},    // compared as doubles
    TValueCase{"-1 < $7FFFFFFF", ekB, "TRUE"},      // signed
    TValueCase{"$FFFFFFFF < 0", ekB, "TRUE"},
    TValueCase{"3 <> 3", ekB, "FALSE"},
    TValueCase{"3 >= 3", ekB, "TRUE"},
    TValueCase{"(1 < 2) + 1", ekI, "2"}             // a comparison reads as 1
));

INSTANTIATE_TEST_SUITE_P(Casts, Evaluates, testing::Values(
    TValueCase{"STRING(1 < 2)", ekS, "TRUE"},
    TValueCase{"STRING(7 / 2) + 'V'", ekS, "3.5V"},
    TValueCase{"STRING(1 + 1) + STRING(2)", ekS, "22"},
    TValueCase{"FLOAT(7 DIV 2) / 2", ekF, "1.5"},
    TValueCase{"INTEGER(TRUNC(2.7)) SHL 1", ekI, "4"},
    TValueCase{"FLOAT(5, 'ignored')", ekF, "5"}
));

TEST(ExprEval, EveryReadEvaluatesTheTreeAnew)
{
    int calls = 0;
    class TCounter : public TExpression {
    public:
        explicit TCounter(int& calls) : FCalls(calls) {}
        std::int32_t ReadInteger() const override { return ++FCalls; }
        TExprKind ResultKind() const override { return TExprKind::ekInteger; }

    private:
        int& FCalls;
    };
    const TIdentifierHook hook = [&calls](const std::string&, const TParameterList*) {
        return std::make_unique<TCounter>(calls);
    };
    const auto tree = ParseExpression("TICK * 10", hook);
    EXPECT_EQ(tree->ReadInteger(), 10);
    EXPECT_EQ(tree->ReadInteger(), 20);
    EXPECT_EQ(tree->ReadFloat(), 30.0);
}

TEST(ExprEval, CrossReadsOfOperatorNodes)
{
    // A Boolean operator read as a number gives 0 or 1; an Integer one read
    // as Float its value; String and Float operator nodes read as Integer 0.
    EXPECT_EQ(Parse("TRUE AND TRUE")->ReadFloat(), 1.0);
    EXPECT_EQ(Parse("TRUE AND FALSE")->ReadInteger(), 0);
    EXPECT_EQ(Parse("6 * 7")->ReadFloat(), 42.0);
    EXPECT_EQ(Parse("'a' + 'b'")->ReadFloat(), 0.0);
    EXPECT_EQ(Parse("1.5 * 3")->ReadInteger(), 0);
    EXPECT_EQ(Parse("6 * 7")->ReadString(), "42");
    EXPECT_EQ(Parse("7 / 2")->ReadString(), "3.5");
    EXPECT_EQ(Parse("NOT FALSE")->ReadFloat(), 1.0);
    EXPECT_EQ(Parse("NOT FALSE")->ReadString(), "TRUE");
    EXPECT_EQ(Parse("-VOLTS")->ReadFloat(), -230.5);
    EXPECT_EQ(Parse("1 < 2")->ReadString(), "TRUE");
    EXPECT_EQ(Parse("1 > 2")->ReadFloat(), 0.0);
}

class EvaluationError : public testing::TestWithParam<TErrorCase> {};

TEST_P(EvaluationError, RaisesWhenRead)
{
    const auto tree = Parse(GetParam().Formula);  // parsing succeeds
    EXPECT_EQ(AnyError(GetParam().Formula), GetParam().Message);
}

INSTANTIATE_TEST_SUITE_P(Arithmetic, EvaluationError, testing::Values(
    TErrorCase{"1 DIV 0", "Division by zero"},
    TErrorCase{"1 MOD (COUNT - 7)", "Division by zero"},
    TErrorCase{"1e308 * 10", "Floating point overflow"},
    TErrorCase{"-1e308 - 1e308", "Floating point overflow"},
    TErrorCase{"1e200 / 1e-200", "Floating point overflow"},
    TErrorCase{"10 ^ 400", "Floating point overflow"},
    TErrorCase{"0 ^ -1", "Floating point overflow"},
    TErrorCase{"(-8) ^ (1/3)", "Invalid floating point operation"},
    TErrorCase{"TRUE AND (LN(0) = 0)", "Floating point overflow"},
    TErrorCase{"FALSE OR (1 DIV 0 = 0)", "Division by zero"}
));

INSTANTIATE_TEST_SUITE_P(Reads, EvaluationError, testing::Values(
    TErrorCase{"INTEGER(2.7)", "Cannot read Float as prInteger"},
    TErrorCase{"INTEGER('7')", "Cannot read String as prInteger"},
    TErrorCase{"FLOAT('7')", "Cannot read String as Float"},
    TErrorCase{"BOOLEAN(1)", "Cannot read Integer as boolean"},
    TErrorCase{"BOOLEAN(VOLTS)", "Cannot read Float as boolean"},
    TErrorCase{"BOOLEAN(1 + 1)", "Cannot read Integer as boolean"},
    TErrorCase{"FLOAT", "Invalid parameter to FLOAT"},
    TErrorCase{"STRING + 'x'", "Invalid parameter to STRING"},
    TErrorCase{"IF(1, 2, 3)", "Invalid parameters to If"},
    TErrorCase{"IF(TRUE, 2)", "Invalid parameters to If"},
    TErrorCase{"IF", "Invalid parameters to If"}
));

}  // namespace
