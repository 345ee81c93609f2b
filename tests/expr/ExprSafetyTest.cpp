// Inputs that must never crash, hang or exhaust the stack: deep nesting,
// long operator chains, conditions nested in conditions, arbitrary bytes,
// and number parsing under a comma-decimal locale.

#include "ExprTestSupport.h"

#include <clocale>
#include <random>
#include <string>

using namespace exprtest;

namespace {

const std::string kTooDeep = "Formula nested too deeply (more than 200 levels)";

std::string Repeat(const std::string& part, int times)
{
    std::string text;
    for (int i = 0; i < times; ++i)
        text += part;
    return text;
}

TEST(ExprSafety, ParenthesesNestUpToTheLimit)
{
    // Each parenthesis adds a factor inside a factor; the innermost 1 is one
    // more.
    EXPECT_EQ(Evaluate(Repeat("(", 199) + "1" + Repeat(")", 199)).Text, "1");
    EXPECT_EQ(ParseError(Repeat("(", 200) + "1" + Repeat(")", 200)), kTooDeep);
    EXPECT_EQ(ParseError(Repeat("(", 100000) + "1"), kTooDeep);
}

TEST(ExprSafety, UnaryChainsAndArgumentsCountAsNesting)
{
    EXPECT_EQ(Evaluate(Repeat("-", 198) + "1").Text, "1");
    EXPECT_EQ(ParseError(Repeat("-", 100000) + "1"), kTooDeep);
    EXPECT_EQ(ParseError(Repeat("NOT ", 300) + "TRUE"), kTooDeep);
    EXPECT_EQ(ParseError(Repeat("ABS(", 300) + "1" + Repeat(")", 300)), kTooDeep);
}

TEST(ExprSafety, OperatorChainsAreBoundedByTreeHeight)
{
    // A flat chain builds a tree as high as it is long, which evaluating and
    // destroying walk recursively.
    EXPECT_EQ(Evaluate("1" + Repeat("+1", 199)).Text, "200");
    EXPECT_EQ(ParseError("1" + Repeat("+1", 200)), kTooDeep);
    EXPECT_EQ(ParseError("1" + Repeat(" = 1", 100000)), kTooDeep);
    EXPECT_EQ(ParseError("'a'" + Repeat(" + 'a'", 100000)), kTooDeep);
}

TEST(ExprSafety, ConditionsNestedInConditionsHitTheReadBudget)
{
    // IF asks its condition for its kind and then for its value, so each
    // level doubles the work: 60 levels would never finish.
    std::string formula = "TRUE";
    for (int i = 0; i < 60; ++i)
        formula = "IF(" + formula + ", TRUE, FALSE)";
    const auto tree = Parse(formula);
    EXPECT_EQ(AnyError(formula), "Formula too complex to evaluate");
    // The budget is per outermost read, not per tree: a later read of a
    // small formula works.
    EXPECT_EQ(Evaluate("IF(IF(TRUE, TRUE, FALSE), 1, 2)").Text, "1");
    // Ten levels stay well within it.
    std::string small = "TRUE";
    for (int i = 0; i < 10; ++i)
        small = "IF(" + small + ", TRUE, FALSE)";
    EXPECT_EQ(Evaluate(small).Text, "TRUE");
}

// A random formula of the language, mostly well formed: operands of every
// kind, operators of every level, functions, IF and casts.
std::string RandomFormula(std::mt19937& random, int depth)
{
    static const char* const kOperands[] = {"1", "0", "-3", "7.25", "1e3", "$FF", "'ab'", "''",
                                            "TRUE", "FALSE", "VOLTS", "COUNT", "UNIT",
                                            "ENABLED", "PI", "2147483647", "$80000000"};
    static const char* const kOperators[] = {" ^ ", " * ", " / ", " DIV ", " MOD ", " AND ",
                                             " SHL ", " SHR ", " + ", " - ", " OR ", " XOR ",
                                             " = ", " <> ", " < ", " > ", " <= ", " >= "};
    static const char* const kFunctions[] = {"TRUNC", "ROUND", "ABS", "LN", "SQRT", "EXP",
                                             "SQR", "UPPER", "LENGTH", "STRING", "FLOAT",
                                             "INTEGER", "BOOLEAN", "NOT ", "-"};
    auto pick = [&random](const auto& table) { return table[random() % std::size(table)]; };
    std::string text;
    const int operands = 1 + static_cast<int>(random() % 3);
    for (int i = 0; i < operands; ++i) {
        if (i > 0)
            text += pick(kOperators);
        const unsigned choice = depth > 0 ? random() % 6 : 0;
        if (choice <= 2)
            text += pick(kOperands);
        else if (choice == 3)
            text += "(" + RandomFormula(random, depth - 1) + ")";
        else if (choice == 4)
            text += std::string(pick(kFunctions)) + "(" + RandomFormula(random, depth - 1) + ")";
        else
            text += "IF(" + RandomFormula(random, depth - 1) + ", " +
                    RandomFormula(random, depth - 1) + ", " + RandomFormula(random, depth - 1) + ")";
    }
    return text;
}

TEST(ExprSafety, RandomAndMutatedFormulasNeverCrash)
{
    std::mt19937 random(20240611);
    int evaluated = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text = RandomFormula(random, 3);
        // One in two is damaged: a byte replaced by any byte, or cut short.
        if (round % 2 == 1 && !text.empty()) {
            const auto at = random() % text.size();
            if (random() % 2)
                text[at] = static_cast<char>(random() % 256);
            else
                text.resize(at);
        }
        try {
            const auto tree = Parse(text);
            Evaluate(*tree);
            ++evaluated;
        } catch (const EExpression&) {
        }
    }
    // The generator must reach the end of evaluation, not only the lexer.
    EXPECT_GT(evaluated, 2000);
}

// Finds a C locale whose decimal separator is a comma, if the system has one.
const char* CommaLocale()
{
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "fr_FR.utf8",
                             "nl_NL.UTF-8", "ru_RU.UTF-8", "de_AT.UTF-8"}) {
        if (std::setlocale(LC_NUMERIC, name) != nullptr) {
            if (std::localeconv()->decimal_point[0] == ',')
                return name;
        }
    }
    return nullptr;
}

TEST(ExprSafety, NumbersParseWithAPointUnderACommaLocale)
{
    const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
    const char* comma = CommaLocale();
    if (comma == nullptr) {
        std::setlocale(LC_NUMERIC, saved.c_str());
        GTEST_SKIP() << "no comma-decimal locale installed";
    }
    const TValue value = Evaluate("1.5 * 2 + 2.5e-1");
    const TValue text = Evaluate("STRING(0.25)");
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_EQ(value.Text, "3.25") << comma;
    // Float text follows the separator set in the evaluator, not the C locale.
    EXPECT_EQ(text.Text, "0.25") << comma;
}

}  // namespace
