// Value kinds: what each operator makes of each operand kind, and where an
// operator that does not apply is reported.

#include "ExprTestSupport.h"

using namespace exprtest;

namespace {

class KindOf : public testing::TestWithParam<TValueCase> {};

TEST_P(KindOf, FollowsOperatorAndOperandKinds)
{
    ExpectValue(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Operators, KindOf, testing::Values(
    TValueCase{"7 / 2", ekF, "3.5"},
    TValueCase{"8 / 2", ekF, "4"},
    TValueCase{"2 ^ 3", ekF, "8"},
    TValueCase{"2 * 3", ekI, "6"},
    TValueCase{"2 * 1.5", ekF, "3"},
    TValueCase{"COUNT + VOLTS", ekF, "237.5"},
    TValueCase{"'ab' + 1", ekS, "ab1"},
    TValueCase{"1.5 + 'ab'", ekS, "1.5ab"},
    TValueCase{"UNIT + TRUE", ekS, "kWhTRUE"},
    TValueCase{"1 + TRUE", ekI, "2"},
    TValueCase{"TRUE AND 5", ekI, "1"},
    TValueCase{"TRUE AND FALSE", ekB, "FALSE"},
    TValueCase{"TRUE XOR TRUE", ekB, "FALSE"},
    TValueCase{"NOT TRUE", ekB, "FALSE"},
    TValueCase{"NOT 5", ekI, "-6"},
    TValueCase{"NOT ENABLED + 1", ekI, "1"},
    TValueCase{"-VOLTS", ekF, "-230.5"},
    TValueCase{"1 < 2", ekB, "TRUE"},
    TValueCase{"IF(1 > 0, 'yes', 2)", ekS, "yes"},
    TValueCase{"IF(1 < 0, 'yes', 2)", ekI, "2"},
    TValueCase{"STRING(12)", ekS, "12"},
    TValueCase{"FLOAT(12)", ekF, "12"},
    TValueCase{"FLOAT(TRUE)", ekF, "1"},
    TValueCase{"INTEGER(TRUE)", ekI, "1"},
    TValueCase{"BOOLEAN(1 = 1)", ekB, "TRUE"},
    TValueCase{"TRUNC(2.7)", ekI, "2"},
    TValueCase{"ABS(-3)", ekF, "3"},
    TValueCase{"POS('b', 'abc')", ekI, "2"},
    TValueCase{"UPPER(1.5)", ekS, "1.5"}
));

// At the root an incompatible operator is reported when the kind is asked
// for; inside a unary or binary operator, while parsing.
struct TIncompatibleCase {
    const char* Root;
    const char* Message;
};
// Rows print as their name in test lists and failure messages.
void PrintTo(const TIncompatibleCase& row, std::ostream* os) { *os << row.Root; }

class Incompatible : public testing::TestWithParam<TIncompatibleCase> {};

TEST_P(Incompatible, SurfacesAtRootKindAndWhileParsingWhenNested)
{
    const std::string root = GetParam().Root;
    const auto tree = Parse(root);
    try {
        tree->ResultKind();
        ADD_FAILURE() << root << ": ResultKind did not raise";
    } catch (const EExpression& e) {
        EXPECT_EQ(std::string(e.what()), GetParam().Message) << root;
    }
    EXPECT_EQ(ParseError("(" + root + ") + 1"), GetParam().Message) << root;
    EXPECT_EQ(ParseError("-(" + root + ")"), GetParam().Message) << root;
}

INSTANTIATE_TEST_SUITE_P(Dashes, Incompatible, testing::Values(
    TIncompatibleCase{"'ab' * 2", "Operator opMult incompatible with String"},
    TIncompatibleCase{"'ab' - 'a'", "Operator opMinus incompatible with String"},
    TIncompatibleCase{"'ab' AND 2", "Operator opAnd incompatible with String"},
    TIncompatibleCase{"NOT 'ab'", "Operator opNot incompatible with String"},
    TIncompatibleCase{"NOT 1.5", "Operator opNot incompatible with Float"},
    TIncompatibleCase{"7.0 DIV 2", "Operator opDiv incompatible with Float"},
    TIncompatibleCase{"1 SHR VOLTS", "Operator opShr incompatible with Float"},
    TIncompatibleCase{"VOLTS OR 1", "Operator opOr incompatible with Float"},
    TIncompatibleCase{"TRUE + TRUE", "Operator opPlus incompatible with Boolean"},
    TIncompatibleCase{"TRUE - FALSE", "Operator opMinus incompatible with Boolean"},
    TIncompatibleCase{"TRUE DIV TRUE", "Operator opDiv incompatible with Boolean"},
    TIncompatibleCase{"-TRUE", "Operator opMinus incompatible with Boolean"},
    TIncompatibleCase{"+ENABLED", "Operator opPlus incompatible with Boolean"}
));

// A Boolean that the test can flip between two reads of the same tree.
class TSwitch : public TExpression {
public:
    explicit TSwitch(const bool& on) : FOn(on) {}
    bool ReadBoolean() const override { return FOn; }
    TExprKind ResultKind() const override { return TExprKind::ekBoolean; }

private:
    const bool& FOn;
};

TEST(ExprKind, IfKindFollowsTheConditionAtEachEvaluation)
{
    bool on = true;
    const TIdentifierHook hook = [&on](const std::string& name,
                                       const TParameterList*) -> TExpressionPtr {
        return name == "SWITCH" ? std::make_unique<TSwitch>(on) : nullptr;
    };
    const auto tree = ParseExpression("IF(SWITCH, 'on', 0)", hook);
    EXPECT_EQ(tree->ResultKind(), TExprKind::ekString);
    EXPECT_EQ(tree->ReadString(), "on");
    on = false;
    EXPECT_EQ(tree->ResultKind(), TExprKind::ekInteger);
    EXPECT_EQ(tree->ReadInteger(), 0);
    // A comparison takes its operands' kinds when it is evaluated: as text
    // '9' sorts after '10', as numbers 9 is less.
    const auto comparison = ParseExpression("IF(SWITCH, '9', 9) < 10", hook);
    EXPECT_TRUE(comparison->ReadBoolean());
    on = true;
    EXPECT_FALSE(comparison->ReadBoolean());
}

TEST(ExprKind, BooleanOperandsAllowOnlyEquality)
{
    EXPECT_EQ(Evaluate("TRUE = ENABLED").Text, "TRUE");
    EXPECT_EQ(Evaluate("TRUE <> FALSE").Text, "TRUE");
    EXPECT_EQ(AnyError("TRUE < FALSE"), "cannot apply opLT to boolean operands");
    EXPECT_EQ(AnyError("TRUE >= FALSE"), "cannot apply opGTE to boolean operands");
    // With an Integer on one side the comparison is made as Integer.
    EXPECT_EQ(Evaluate("TRUE < 2").Text, "TRUE");
}

}  // namespace
