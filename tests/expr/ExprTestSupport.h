#pragma once

// Helpers shared by the evaluator's tests: a resolver that knows a few names
// of each kind, and one-call ways to evaluate a formula or catch its error.

#include "prExpr.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>

namespace exprtest {

// VOLTS (Float), COUNT (Integer), UNIT (String) and ENABLED (Boolean) are
// known; BROKEN makes the resolver fail; everything else is unknown.
inline TExpressionPtr TestHook(const std::string& name, const TParameterList*)
{
    if (name == "VOLTS")
        return std::make_unique<TFloatLiteral>(230.5);
    if (name == "COUNT")
        return std::make_unique<TIntegerLiteral>(7);
    if (name == "UNIT")
        return std::make_unique<TStringLiteral>("kWh");
    if (name == "ENABLED")
        return std::make_unique<TBooleanLiteral>(true);
    if (name == "BROKEN")
        throw std::runtime_error("resolver failed");
    return nullptr;
}

inline TExpressionPtr Parse(const std::string& text)
{
    return ParseExpression(text, TestHook);
}

struct TValue {
    TExprKind Kind;
    std::string Text;
};

// The value as a caller reads it: the kind first, then the matching read,
// shown as text (floats through ReadFloat, so the read itself is exercised).
inline TValue Evaluate(const TExpression& tree)
{
    const TExprKind kind = tree.ResultKind();
    switch (kind) {
    case TExprKind::ekFloat:
        return {kind, ExprFloatText(tree.ReadFloat())};
    case TExprKind::ekInteger:
        return {kind, std::to_string(tree.ReadInteger())};
    case TExprKind::ekBoolean:
        return {kind, tree.ReadBoolean() ? "TRUE" : "FALSE"};
    default:
        return {kind, tree.ReadString()};
    }
}

inline TValue Evaluate(const std::string& text)
{
    return Evaluate(*Parse(text));
}

// The message of the EExpression that parsing raises, or nothing.
inline std::optional<std::string> ParseError(const std::string& text)
{
    try {
        Parse(text);
    } catch (const EExpression& e) {
        return std::string(e.what());
    }
    return std::nullopt;
}

// The message of the EExpression that parsing or evaluating raises, or
// nothing.
inline std::optional<std::string> AnyError(const std::string& text)
{
    try {
        Evaluate(text);
    } catch (const EExpression& e) {
        return std::string(e.what());
    }
    return std::nullopt;
}

// One row of a table: formula, kind and text of the value.
struct TValueCase {
    const char* Formula;
    TExprKind Kind;
    const char* Text;
};

inline std::ostream& operator<<(std::ostream& out, const TValueCase& c)
{
    return out << "'" << c.Formula << "'";
}

// One row of a table: formula and the message it raises.
struct TErrorCase {
    const char* Formula;
    const char* Message;
};

inline std::ostream& operator<<(std::ostream& out, const TErrorCase& c)
{
    return out << "'" << c.Formula << "'";
}

inline void ExpectValue(const TValueCase& c)
{
    try {
        const TValue value = Evaluate(c.Formula);
        EXPECT_EQ(ExprKindName(value.Kind), std::string(ExprKindName(c.Kind))) << c.Formula;
        EXPECT_EQ(value.Text, c.Text) << c.Formula;
    } catch (const EExpression& e) {
        ADD_FAILURE() << c.Formula << " raised: " << e.what();
    }
}

constexpr TExprKind ekS = TExprKind::ekString;
constexpr TExprKind ekF = TExprKind::ekFloat;
constexpr TExprKind ekI = TExprKind::ekInteger;
constexpr TExprKind ekB = TExprKind::ekBoolean;

}  // namespace exprtest
