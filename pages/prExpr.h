#pragma once

// The formula language of the data pages: a recursive-descent parser that
// turns a formula into a tree of TExpression nodes, and the nodes that
// evaluate it. Names the language does not know itself are handed to a
// resolver that the caller supplies with each parse (TIdentifierHook).
//
// Plain C++: no Qt, no knowledge of meters.

#include "KelvaneError.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Value kinds. Where two operand kinds meet, the smaller code wins.
enum class TExprKind : std::uint8_t {
    ekString = 0,
    ekFloat = 1,
    ekInteger = 2,
    ekBoolean = 3,
};

enum class TExprOperator : std::uint8_t {
    opNot = 0,
    opExp = 1,
    opMult = 2,
    opDivide = 3,
    opDiv = 4,
    opMod = 5,
    opAnd = 6,
    opShl = 7,
    opShr = 8,
    opPlus = 9,
    opMinus = 10,
    opOr = 11,
    opXor = 12,
    opEq = 13,
    opNEQ = 14,
    opLT = 15,
    opGT = 16,
    opLTE = 17,
    opGTE = 18,
};

// "String", "Float", "Integer", "Boolean": the names messages use.
const char* ExprKindName(TExprKind kind);
// "opNot" … "opGTE": the names messages use.
const char* ExprOperatorName(TExprOperator op);

// Every error the parser and the nodes raise themselves.
class EExpression : public EKelvaneError {
public:
    using EKelvaneError::EKelvaneError;
};

// Arithmetic faults met while evaluating (division by zero, invalid or
// infinite floating results, conversions out of range). Callers treat them
// like any other EExpression.
class EExprArithmetic : public EExpression {
public:
    using EExpression::EExpression;
};

// Deepest nesting the parser accepts: parentheses, unary operators and
// argument lists inside each other, and the height of the tree that
// operator chains build. Deeper formulas are refused while parsing, so
// neither parsing, nor evaluating, nor destroying a tree can exhaust the
// stack.
inline constexpr int kMaxExprNesting = 200;

// Most node operations one outermost read may perform. IF evaluates its
// condition for its kind as well as for its value, so conditions nested in
// conditions cost twice per level; this bound turns such a formula into an
// error instead of a hang.
inline constexpr long kMaxExprReadSteps = 100000;

class TExpression {
public:
    virtual ~TExpression() = default;
    TExpression(const TExpression&) = delete;
    TExpression& operator=(const TExpression&) = delete;

    virtual std::string ReadString() const;
    virtual double ReadFloat() const;
    virtual std::int32_t ReadInteger() const;
    virtual bool ReadBoolean() const;
    virtual TExprKind ResultKind() const = 0;

    // Levels of nodes from this one down to its deepest leaf (a leaf is 1).
    int Height() const { return FHeight; }

protected:
    explicit TExpression(int height = 1);

private:
    int FHeight;
};

using TExpressionPtr = std::unique_ptr<TExpression>;

// The arguments of a function or of a name resolved by the hook. Owns its
// items.
class TParameterList {
public:
    void Add(TExpressionPtr item);
    int Count() const { return static_cast<int>(FItems.size()); }
    // Raises EExpression when i is not the index of an argument.
    const TExpression& Item(int i) const;
    int Height() const;

private:
    std::vector<TExpressionPtr> FItems;
};

class TStringLiteral : public TExpression {
public:
    explicit TStringLiteral(std::string text);
    std::string ReadString() const override;
    TExprKind ResultKind() const override;

private:
    std::string FText;
};

class TFloatLiteral : public TExpression {
public:
    explicit TFloatLiteral(double value);
    std::string ReadString() const override;
    double ReadFloat() const override;
    TExprKind ResultKind() const override;

private:
    double FValue;
};

class TIntegerLiteral : public TExpression {
public:
    explicit TIntegerLiteral(std::int32_t value);
    std::string ReadString() const override;
    double ReadFloat() const override;
    std::int32_t ReadInteger() const override;
    TExprKind ResultKind() const override;

private:
    std::int32_t FValue;
};

class TBooleanLiteral : public TExpression {
public:
    explicit TBooleanLiteral(bool value);
    std::string ReadString() const override;
    double ReadFloat() const override;
    std::int32_t ReadInteger() const override;
    bool ReadBoolean() const override;
    TExprKind ResultKind() const override;

private:
    bool FValue;
};

// NOT, unary + and unary -.
class TUnaryOp : public TExpression {
public:
    TUnaryOp(TExprOperator op, TExpressionPtr operand);
    double ReadFloat() const override;
    std::int32_t ReadInteger() const override;
    bool ReadBoolean() const override;
    TExprKind ResultKind() const override;

private:
    TExpressionPtr FOperand;
    TExprOperator FOperator;
    TExprKind FOperandKind;
};

// The arithmetic, bitwise and logical operators "^" … "XOR".
class TBinaryOp : public TExpression {
public:
    TBinaryOp(TExprOperator op, TExpressionPtr left, TExpressionPtr right);
    std::string ReadString() const override;
    double ReadFloat() const override;
    std::int32_t ReadInteger() const override;
    bool ReadBoolean() const override;
    TExprKind ResultKind() const override;

private:
    TExpressionPtr FLeft;
    TExpressionPtr FRight;
    TExprOperator FOperator;
    TExprKind FOperandKind;
};

// The comparisons "=" … ">=".
class TRelationalOp : public TExpression {
public:
    TRelationalOp(TExprOperator op, TExpressionPtr left, TExpressionPtr right);
    std::string ReadString() const override;
    double ReadFloat() const override;
    std::int32_t ReadInteger() const override;
    bool ReadBoolean() const override;
    TExprKind ResultKind() const override;

private:
    TExpressionPtr FLeft;
    TExpressionPtr FRight;
    TExprOperator FOperator;
};

// A built-in name with an optional argument list.
class TFunction : public TExpression {
public:
    explicit TFunction(std::unique_ptr<TParameterList> params);
    // Raises EExpression when i is not the index of an argument.
    const TExpression& Param(int i) const;
    int ParamCount() const;

private:
    std::unique_ptr<TParameterList> FParams;
};

// STRING, FLOAT, INTEGER, BOOLEAN: changes which read the caller makes, not
// the value.
class TTypeCast : public TFunction {
public:
    TTypeCast(std::unique_ptr<TParameterList> params, TExprKind targetKind);
    std::string ReadString() const override;
    double ReadFloat() const override;
    std::int32_t ReadInteger() const override;
    bool ReadBoolean() const override;
    TExprKind ResultKind() const override;

private:
    const TExpression& Argument() const;
    TExprKind FTargetKind;
};

// TRUNC, ROUND, ABS, ARCTAN, COS, EXP, FRAC, INT, LN, PI, SIN, SQR, SQRT,
// POWER, by index 0 to 13.
class TMathExpression : public TFunction {
public:
    TMathExpression(std::unique_ptr<TParameterList> params, int function);
    double ReadFloat() const override;
    std::int32_t ReadInteger() const override;
    TExprKind ResultKind() const override;

    static constexpr int kFunctionCount = 14;
    static const char* FunctionName(int function);

private:
    void CheckParameters() const;
    std::int32_t IntegerResult() const;
    int FFunction;
};

// UPPER, LOWER, COPY, POS, LENGTH, by index 0 to 4.
class TStringExpression : public TFunction {
public:
    TStringExpression(std::unique_ptr<TParameterList> params, int function);
    std::string ReadString() const override;
    std::int32_t ReadInteger() const override;
    TExprKind ResultKind() const override;

    static constexpr int kFunctionCount = 5;
    static const char* FunctionName(int function);

private:
    void CheckParameters() const;
    int FFunction;
};

// IF(condition, then, else): every operation, ResultKind included, follows
// the branch the condition selects at that moment.
class TConditional : public TFunction {
public:
    explicit TConditional(std::unique_ptr<TParameterList> params);
    std::string ReadString() const override;
    double ReadFloat() const override;
    std::int32_t ReadInteger() const override;
    bool ReadBoolean() const override;
    TExprKind ResultKind() const override;

private:
    const TExpression& Branch() const;
};

// The resolver for names the evaluator does not know. It receives the name in
// upper case and the argument list written after it (nullptr when the name had
// none); the list is destroyed after the call, so the hook may only inspect
// it. It returns the node that stands for the name, or nullptr when it does
// not know the name either. A context object (the data field) travels in the
// callable's captures.
using TIdentifierHook =
    std::function<TExpressionPtr(const std::string& name, const TParameterList* arguments)>;

// Parses a whole formula. Raises EExpression (or whatever the hook raises) on
// any error; no tree is left behind then. The text ends at its end or at its
// first NUL character.
TExpressionPtr ParseExpression(std::string_view text, const TIdentifierHook& hook = {});

// The text of a floating value as formulas show it: up to 15 significant
// digits, trailing zeros dropped, scientific form ("1.5E-7", "1E20") below
// 0.00001 and from 1E15 on, with the decimal separator set below.
std::string ExprFloatText(double value);

// The decimal separator of float texts; "." until the application sets the
// one of the user's locale. Number parsing always reads ".".
void SetExprDecimalSeparator(std::string separator);
std::string ExprDecimalSeparator();
