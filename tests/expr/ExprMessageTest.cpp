// Messages of the node classes used directly, the base reads, the resolver
// hook and the text of floating values.

#include "ExprTestSupport.h"

#include <vector>

using namespace exprtest;

namespace {

std::string MessageOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const EExpression& e) {
        return e.what();
    }
    return "(no error)";
}

TExpressionPtr Int(std::int32_t v) { return std::make_unique<TIntegerLiteral>(v); }

TEST(ExprMessage, ConstructorGuardsNameTheOperator)
{
    EXPECT_EQ(MessageOf([] { TUnaryOp(TExprOperator::opMult, Int(1)); }),
              "opMult is not simple unary operator");
    EXPECT_EQ(MessageOf([] { TBinaryOp(TExprOperator::opNot, Int(1), Int(2)); }),
              "opNot is not a simple binary operator");
    EXPECT_EQ(MessageOf([] { TBinaryOp(TExprOperator::opEq, Int(1), Int(2)); }),
              "opEq is not a simple binary operator");
    EXPECT_EQ(MessageOf([] { TRelationalOp(TExprOperator::opXor, Int(1), Int(2)); }),
              "opXor is not relational operator");
    EXPECT_EQ(MessageOf([] { TRelationalOp(TExprOperator::opGTE, Int(1), nullptr); }),
              "invalid sub-expression");
    // Every accepted operator builds.
    for (int code = 1; code <= 12; ++code)
        EXPECT_EQ(MessageOf([code] { TBinaryOp(static_cast<TExprOperator>(code), Int(1), Int(2)); }),
                  "(no error)");
    for (int code = 13; code <= 18; ++code)
        EXPECT_EQ(MessageOf([code] {
                      TRelationalOp(static_cast<TExprOperator>(code), Int(1), Int(2));
                  }),
                  "(no error)");
}

TEST(ExprMessage, BaseReadsNameTheKind)
{
    const TStringLiteral text("x");
    const TFloatLiteral real(1.5);
    const TIntegerLiteral whole(1);
    EXPECT_EQ(MessageOf([&] { text.ReadFloat(); }), "Cannot read String as Float");
    EXPECT_EQ(MessageOf([&] { text.ReadInteger(); }), "Cannot read String as prInteger");
    EXPECT_EQ(MessageOf([&] { text.ReadBoolean(); }), "Cannot read String as boolean");
    EXPECT_EQ(MessageOf([&] { real.ReadInteger(); }), "Cannot read Float as prInteger");
    EXPECT_EQ(MessageOf([&] { real.ReadBoolean(); }), "Cannot read Float as boolean");
    EXPECT_EQ(MessageOf([&] { whole.ReadBoolean(); }), "Cannot read Integer as boolean");
    // The base ReadString of a String node has nothing to convert from.
    const TUnaryOp plusText(TExprOperator::opPlus, std::make_unique<TStringLiteral>("x"));
    EXPECT_EQ(plusText.ResultKind(), TExprKind::ekString);
    EXPECT_EQ(MessageOf([&] { plusText.ReadString(); }), "Cannot read String as String");
}

TEST(ExprMessage, NotOverAFloatReadAsIntegerIsInternalErrorSix)
{
    const TUnaryOp node(TExprOperator::opNot, std::make_unique<TFloatLiteral>(1.5));
    EXPECT_EQ(MessageOf([&] { node.ReadInteger(); }), "Internal parser error. Code 6");
}

TEST(ExprMessage, HookSeesUpperCasedNameAndArgumentsOnce)
{
    std::vector<std::string> seen;
    const TIdentifierHook hook = [&seen](const std::string& name,
                                         const TParameterList* args) -> TExpressionPtr {
        std::string entry = name;
        if (args) {
            for (int i = 0; i < args->Count(); ++i)
                entry += "|" + args->Item(i).ReadString();
        }
        seen.push_back(entry);
        return std::make_unique<TIntegerLiteral>(static_cast<std::int32_t>(seen.size()));
    };
    const auto tree = ParseExpression("reg(1 + 1, 'a') * 10 + Reg + X1", hook);
    EXPECT_EQ(seen, (std::vector<std::string>{"REG|2|a", "REG", "X1"}));
    EXPECT_EQ(tree->ReadInteger(), 10 + 2 + 3);
    EXPECT_EQ(seen.size(), 3u);  // reads do not call the hook again
}

TEST(ExprMessage, UnresolvedNamesAndFailingHooks)
{
    EXPECT_EQ(MessageOf([] { ParseExpression("1 + volts"); }), "Unknown Identifier VOLTS");
    const TIdentifierHook none = [](const std::string&, const TParameterList*) {
        return TExpressionPtr();
    };
    EXPECT_EQ(MessageOf([&] { ParseExpression("R0300", none); }), "Unknown Identifier R0300");
    // What the hook raises leaves ParseExpression unchanged.
    EXPECT_THROW(Parse("1 + (2 * BROKEN)"), std::runtime_error);
}

struct TFloatTextCase {
    double Value;
    const char* Text;
};
// Rows print as their name in test lists and failure messages.
void PrintTo(const TFloatTextCase& row, std::ostream* os) { *os << row.Value; }

class FloatText : public testing::TestWithParam<TFloatTextCase> {};

TEST_P(FloatText, ShortestGeneralFormWith15Digits)
{
    EXPECT_EQ(ExprFloatText(GetParam().Value), GetParam().Text);
}

INSTANTIATE_TEST_SUITE_P(Values, FloatText, testing::Values(
    TFloatTextCase{0.0, "0"},
    TFloatTextCase{-0.0, "0"},
    TFloatTextCase{-2.5, "-2.5"},
    TFloatTextCase{1.0 / 3, "0.333333333333333"},
    TFloatTextCase{123456789012345.0, "123456789012345"},
    TFloatTextCase{999999999999999.4, "999999999999999"},
    TFloatTextCase{1e15, "1E15"},
    TFloatTextCase{1234567890123456.0, "1.23456789012346E15"},
    TFloatTextCase{0.00001, "0.00001"},
    TFloatTextCase{0.0000123, "0.0000123"},
    TFloatTextCase{0.000001, "1E-6"},
    TFloatTextCase{-1.5e-7, "-1.5E-7"},
    TFloatTextCase{5e-324, "4.94065645841247E-324"},
    TFloatTextCase{1e14, "100000000000000"}
));

TEST(ExprMessage, FloatTextUsesTheDecimalSeparatorSet)
{
    SetExprDecimalSeparator(",");
    const std::string half = ExprFloatText(0.5);
    const std::string tiny = ExprFloatText(1.5e-9);
    const std::string formula = Parse("STRING(VOLTS) + 'V'")->ReadString();
    SetExprDecimalSeparator(".");
    EXPECT_EQ(half, "0,5");
    EXPECT_EQ(tiny, "1,5E-9");
    EXPECT_EQ(formula, "230,5V");
    EXPECT_EQ(ExprFloatText(0.5), "0.5");
}

}  // namespace
