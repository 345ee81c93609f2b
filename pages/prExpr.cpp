// The expression nodes: their kinds, their reads and the arithmetic behind
// them. The parser that builds them is in prExprParser.cpp.

#include "prExpr.h"

#include "Utf8Text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <mutex>
#include <optional>
#include <utility>

namespace {

using ekind = TExprKind;

// ---------------------------------------------------------------------------
// Messages

std::string Format(const char* pattern, const std::string& a)
{
    std::string text(pattern);
    const auto at = text.find("%s");
    if (at != std::string::npos)
        text.replace(at, 2, a);
    return text;
}

[[noreturn]] void Raise(const char* pattern, const std::string& a)
{
    throw EExpression(Format(pattern, a));
}

[[noreturn]] void RaiseIncompatible(TExprOperator op, TExprKind kind)
{
    throw EExpression(std::string("Operator ") + ExprOperatorName(op) + " incompatible with " +
                      ExprKindName(kind));
}

[[noreturn]] void RaiseInternal(int code)
{
    throw EExpression("Internal parser error. Code " + std::to_string(code));
}

const char* const kTooDeep = "Formula nested too deeply (more than 200 levels)";
static_assert(kMaxExprNesting == 200, "kTooDeep names the limit");

// ---------------------------------------------------------------------------
// Evaluation budget

// Counts node operations from the outermost read down. The counters belong to
// the thread, so trees read on different threads do not disturb each other.
thread_local int gReadDepth = 0;
thread_local long gReadSteps = 0;

class TReadStep {
public:
    TReadStep()
    {
        if (gReadDepth == 0)
            gReadSteps = 0;
        if (++gReadSteps > kMaxExprReadSteps)
            throw EExpression("Formula too complex to evaluate");
        ++gReadDepth;
    }
    ~TReadStep() { --gReadDepth; }
    TReadStep(const TReadStep&) = delete;
    TReadStep& operator=(const TReadStep&) = delete;
};

// ---------------------------------------------------------------------------
// Arithmetic

// A floating result that is not a number or not finite is an error of the
// formula, never a value shown to the user.
double Checked(double value)
{
    if (std::isnan(value))
        throw EExprArithmetic("Invalid floating point operation");
    if (std::isinf(value))
        throw EExprArithmetic("Floating point overflow");
    return value;
}

std::int32_t Wrap(std::uint32_t value)
{
    return static_cast<std::int32_t>(value);
}

// The low 32 bits of an integral floating value, which must lie in the 64-bit
// range.
std::int32_t Low32(double integral, const char* function)
{
    constexpr double kTwo63 = 9223372036854775808.0;
    if (!(integral >= -kTwo63 && integral < kTwo63))
        throw EExprArithmetic(std::string(function) + " argument beyond the 64-bit range");
    const auto wide = static_cast<std::int64_t>(integral);
    return Wrap(static_cast<std::uint32_t>(static_cast<std::uint64_t>(wide)));
}

// Rounds to the nearest integer, halves to the even neighbour, whatever the
// floating-point environment's rounding mode.
double RoundHalfEven(double value)
{
    const double below = std::floor(value);
    const double fraction = value - below;  // exact: below and value share the exponent range
    if (fraction > 0.5)
        return below + 1;
    if (fraction < 0.5)
        return below;
    return std::fmod(below, 2.0) == 0 ? below : below + 1;
}

// "^" and POWER. std::pow gives exact results for exact powers and the true
// value for a negative base with a whole exponent; what it cannot represent
// (a negative base with a fractional exponent, zero to a negative power) is
// not a number or infinite and so an error.
double Power(double base, double exponent)
{
    return Checked(std::pow(base, exponent));
}

std::int32_t IntegerOp(TExprOperator op, std::int32_t left, std::int32_t right)
{
    const auto l = static_cast<std::uint32_t>(left);
    const auto r = static_cast<std::uint32_t>(right);
    switch (op) {
    case TExprOperator::opMult:
        return Wrap(l * r);
    case TExprOperator::opPlus:
        return Wrap(l + r);
    case TExprOperator::opMinus:
        return Wrap(l - r);
    case TExprOperator::opDiv:
        if (right == 0)
            throw EExprArithmetic("Division by zero");
        // The one quotient that does not fit wraps like the other operators.
        if (right == -1)
            return Wrap(0u - l);
        return left / right;
    case TExprOperator::opMod:
        if (right == 0)
            throw EExprArithmetic("Division by zero");
        if (right == -1)
            return 0;
        return left % right;
    case TExprOperator::opAnd:
        return Wrap(l & r);
    case TExprOperator::opOr:
        return Wrap(l | r);
    case TExprOperator::opXor:
        return Wrap(l ^ r);
    case TExprOperator::opShl:
        return Wrap(l << (r & 31u));
    case TExprOperator::opShr:
        return Wrap(l >> (r & 31u));
    default:
        RaiseInternal(12);
    }
}

// ---------------------------------------------------------------------------
// Kinds

constexpr std::optional<ekind> kNone = std::nullopt;

// The kind an operator gives for an operand kind; nothing where the operator
// does not apply.
std::optional<ekind> OperatorKind(TExprOperator op, ekind operand)
{
    using R = std::array<std::optional<ekind>, 4>;  // String, Float, Integer, Boolean
    static const R kNot{kNone, kNone, ekind::ekInteger, ekind::ekBoolean};
    static const R kExp{kNone, ekind::ekFloat, ekind::ekFloat, kNone};
    static const R kMult{kNone, ekind::ekFloat, ekind::ekInteger, kNone};
    static const R kIntOnly{kNone, kNone, ekind::ekInteger, kNone};
    static const R kLogic{kNone, kNone, ekind::ekInteger, ekind::ekBoolean};
    static const R kPlus{ekind::ekString, ekind::ekFloat, ekind::ekInteger, kNone};
    const auto column = static_cast<std::size_t>(operand);
    if (column > 3)
        return kNone;
    switch (op) {
    case TExprOperator::opNot:
        return kNot[column];
    case TExprOperator::opExp:
    case TExprOperator::opDivide:
        return kExp[column];
    case TExprOperator::opMult:
    case TExprOperator::opMinus:
        return kMult[column];
    case TExprOperator::opDiv:
    case TExprOperator::opMod:
    case TExprOperator::opShl:
    case TExprOperator::opShr:
        return kIntOnly[column];
    case TExprOperator::opAnd:
    case TExprOperator::opOr:
    case TExprOperator::opXor:
        return kLogic[column];
    case TExprOperator::opPlus:
        return kPlus[column];
    default:
        return kNone;
    }
}

ekind CommonKind(ekind a, ekind b)
{
    return std::min(a, b);
}

int ChildHeight(const TExpression* child)
{
    if (child == nullptr)
        throw EExpression("invalid sub-expression");
    return child->Height();
}

int ParentHeight(int tallestChild)
{
    if (tallestChild >= kMaxExprNesting)
        throw EExpression(kTooDeep);
    return tallestChild + 1;
}

int UnaryHeight(TExprOperator op, const TExpression* operand)
{
    if (op != TExprOperator::opNot && op != TExprOperator::opPlus && op != TExprOperator::opMinus)
        Raise("%s is not simple unary operator", ExprOperatorName(op));
    return ParentHeight(ChildHeight(operand));
}

int BinaryHeight(bool accepted, const char* refusal, TExprOperator op, const TExpression* left,
                 const TExpression* right)
{
    if (!accepted)
        Raise(refusal, ExprOperatorName(op));
    return ParentHeight(std::max(ChildHeight(left), ChildHeight(right)));
}

bool IsBinaryOperator(TExprOperator op)
{
    const int code = static_cast<int>(op);
    return code >= 1 && code <= 12;
}

bool IsRelationalOperator(TExprOperator op)
{
    const int code = static_cast<int>(op);
    return code >= 13 && code <= 18;
}

const char* BoolText(bool value)
{
    return value ? "TRUE" : "FALSE";
}

std::mutex gSeparatorLock;
std::string gDecimalSeparator = ".";

}  // namespace

// ---------------------------------------------------------------------------
// Names

const char* ExprKindName(TExprKind kind)
{
    switch (kind) {
    case TExprKind::ekString:
        return "String";
    case TExprKind::ekFloat:
        return "Float";
    case TExprKind::ekInteger:
        return "Integer";
    case TExprKind::ekBoolean:
        return "Boolean";
    }
    return "?";
}

const char* ExprOperatorName(TExprOperator op)
{
    static const char* const kNames[] = {
        "opNot", "opExp", "opMult", "opDivide", "opDiv", "opMod", "opAnd",
        "opShl", "opShr", "opPlus", "opMinus",  "opOr",  "opXor", "opEq",
        "opNEQ", "opLT",  "opGT",   "opLTE",    "opGTE",
    };
    const auto code = static_cast<std::size_t>(op);
    return code < std::size(kNames) ? kNames[code] : "?";
}

// ---------------------------------------------------------------------------
// Float text

void SetExprDecimalSeparator(std::string separator)
{
    std::lock_guard lock(gSeparatorLock);
    gDecimalSeparator = std::move(separator);
}

std::string ExprDecimalSeparator()
{
    std::lock_guard lock(gSeparatorLock);
    return gDecimalSeparator;
}

std::string ExprFloatText(double value)
{
    if (std::isnan(value))
        return "NAN";
    if (std::isinf(value))
        return value < 0 ? "-INF" : "INF";
    if (value == 0)
        return "0";

    // Fifteen significant digits, rounded once, in a form that ignores the
    // locale: "-d.ddddddddddddddde-XX".
    char buffer[64];
    const auto result =
        std::to_chars(std::begin(buffer), std::end(buffer), value, std::chars_format::scientific, 14);
    const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
    const bool negative = text.front() == '-';
    const auto mark = text.find('e');
    std::string digits;
    for (char c : text.substr(0, mark))
        if (c >= '0' && c <= '9')
            digits += c;
    int exponent = 0;
    const auto expText = text.substr(mark + 1);
    std::from_chars(expText.data() + (expText.front() == '+' ? 1 : 0), expText.data() + expText.size(),
                    exponent);
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();

    const std::string separator = ExprDecimalSeparator();
    std::string out = negative ? "-" : "";
    if (exponent < -5 || exponent >= 15) {
        out += digits[0];
        if (digits.size() > 1)
            out += separator + digits.substr(1);
        out += "E" + std::to_string(exponent);
    } else if (exponent < 0) {
        out += "0" + separator + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    } else {
        const auto whole = static_cast<std::size_t>(exponent) + 1;
        if (digits.size() <= whole) {
            out += digits + std::string(whole - digits.size(), '0');
        } else {
            out += digits.substr(0, whole) + separator + digits.substr(whole);
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
// TExpression: reads a class does not override follow from its kind.

TExpression::TExpression(int height) : FHeight(height) {}

std::string TExpression::ReadString() const
{
    switch (const auto kind = ResultKind()) {
    case ekind::ekFloat:
        return ExprFloatText(ReadFloat());
    case ekind::ekInteger:
        return std::to_string(ReadInteger());
    case ekind::ekBoolean:
        return BoolText(ReadBoolean());
    default:
        Raise("Cannot read %s as String", ExprKindName(kind));
    }
}

double TExpression::ReadFloat() const
{
    switch (const auto kind = ResultKind()) {
    case ekind::ekInteger:
    case ekind::ekBoolean:
        return ReadInteger();
    default:
        Raise("Cannot read %s as Float", ExprKindName(kind));
    }
}

std::int32_t TExpression::ReadInteger() const
{
    const auto kind = ResultKind();
    if (kind == ekind::ekBoolean)
        return ReadBoolean() ? 1 : 0;
    Raise("Cannot read %s as prInteger", ExprKindName(kind));
}

bool TExpression::ReadBoolean() const
{
    Raise("Cannot read %s as boolean", ExprKindName(ResultKind()));
}

// ---------------------------------------------------------------------------
// TParameterList

void TParameterList::Add(TExpressionPtr item)
{
    if (!item)
        throw EExpression("invalid sub-expression");
    FItems.push_back(std::move(item));
}

const TExpression& TParameterList::Item(int i) const
{
    if (i < 0 || i >= Count())
        throw EExpression("Parameter index " + std::to_string(i) + " out of range");
    return *FItems[static_cast<std::size_t>(i)];
}

int TParameterList::Height() const
{
    int height = 0;
    for (const auto& item : FItems)
        height = std::max(height, item->Height());
    return height;
}

// ---------------------------------------------------------------------------
// Literals

TStringLiteral::TStringLiteral(std::string text) : FText(std::move(text)) {}
std::string TStringLiteral::ReadString() const { return FText; }
TExprKind TStringLiteral::ResultKind() const { return ekind::ekString; }

TFloatLiteral::TFloatLiteral(double value) : FValue(value) {}
std::string TFloatLiteral::ReadString() const { return ExprFloatText(FValue); }
double TFloatLiteral::ReadFloat() const { return FValue; }
TExprKind TFloatLiteral::ResultKind() const { return ekind::ekFloat; }

TIntegerLiteral::TIntegerLiteral(std::int32_t value) : FValue(value) {}
std::string TIntegerLiteral::ReadString() const { return std::to_string(FValue); }
double TIntegerLiteral::ReadFloat() const { return FValue; }
std::int32_t TIntegerLiteral::ReadInteger() const { return FValue; }
TExprKind TIntegerLiteral::ResultKind() const { return ekind::ekInteger; }

TBooleanLiteral::TBooleanLiteral(bool value) : FValue(value) {}
std::string TBooleanLiteral::ReadString() const { return BoolText(FValue); }
double TBooleanLiteral::ReadFloat() const { return FValue ? 1 : 0; }
std::int32_t TBooleanLiteral::ReadInteger() const { return FValue ? 1 : 0; }
bool TBooleanLiteral::ReadBoolean() const { return FValue; }
TExprKind TBooleanLiteral::ResultKind() const { return ekind::ekBoolean; }

// ---------------------------------------------------------------------------
// TUnaryOp

TUnaryOp::TUnaryOp(TExprOperator op, TExpressionPtr operand)
    : TExpression(UnaryHeight(op, operand.get())),
      FOperand(std::move(operand)),
      FOperator(op),
      FOperandKind(FOperand->ResultKind())
{
}

TExprKind TUnaryOp::ResultKind() const
{
    if (const auto kind = OperatorKind(FOperator, FOperandKind))
        return *kind;
    RaiseIncompatible(FOperator, FOperandKind);
}

double TUnaryOp::ReadFloat() const
{
    TReadStep step;
    switch (FOperator) {
    case TExprOperator::opPlus:
        return FOperand->ReadFloat();
    case TExprOperator::opMinus:
        return -FOperand->ReadFloat();
    default:
        return TExpression::ReadFloat();
    }
}

std::int32_t TUnaryOp::ReadInteger() const
{
    TReadStep step;
    switch (FOperator) {
    case TExprOperator::opPlus:
        return FOperand->ReadInteger();
    case TExprOperator::opMinus:
        return Wrap(0u - static_cast<std::uint32_t>(FOperand->ReadInteger()));
    default:
        if (FOperandKind == ekind::ekInteger)
            return Wrap(~static_cast<std::uint32_t>(FOperand->ReadInteger()));
        if (FOperandKind == ekind::ekBoolean)
            return FOperand->ReadBoolean() ? 0 : 1;
        RaiseInternal(6);
    }
}

bool TUnaryOp::ReadBoolean() const
{
    TReadStep step;
    if (FOperator == TExprOperator::opNot)
        return !FOperand->ReadBoolean();
    return TExpression::ReadBoolean();
}

// ---------------------------------------------------------------------------
// TBinaryOp

TBinaryOp::TBinaryOp(TExprOperator op, TExpressionPtr left, TExpressionPtr right)
    : TExpression(BinaryHeight(IsBinaryOperator(op), "%s is not a simple binary operator", op,
                               left.get(), right.get())),
      FLeft(std::move(left)),
      FRight(std::move(right)),
      FOperator(op),
      FOperandKind(CommonKind(FLeft->ResultKind(), FRight->ResultKind()))
{
}

TExprKind TBinaryOp::ResultKind() const
{
    if (const auto kind = OperatorKind(FOperator, FOperandKind))
        return *kind;
    RaiseIncompatible(FOperator, FOperandKind);
}

std::string TBinaryOp::ReadString() const
{
    TReadStep step;
    if (ResultKind() != ekind::ekString)
        return TExpression::ReadString();
    if (FOperator != TExprOperator::opPlus)
        RaiseInternal(10);
    return FLeft->ReadString() + FRight->ReadString();
}

double TBinaryOp::ReadFloat() const
{
    TReadStep step;
    switch (ResultKind()) {
    case ekind::ekInteger:
        return ReadInteger();
    case ekind::ekBoolean:
        return ReadBoolean() ? 1 : 0;
    case ekind::ekString:
        return 0;
    case ekind::ekFloat:
        break;
    }
    const double left = FLeft->ReadFloat();
    const double right = FRight->ReadFloat();
    switch (FOperator) {
    case TExprOperator::opExp:
        return Power(left, right);
    case TExprOperator::opMult:
        return Checked(left * right);
    case TExprOperator::opDivide:
        return right == 0 ? 0 : Checked(left / right);
    case TExprOperator::opPlus:
        return Checked(left + right);
    case TExprOperator::opMinus:
        return Checked(left - right);
    default:
        RaiseInternal(11);
    }
}

std::int32_t TBinaryOp::ReadInteger() const
{
    TReadStep step;
    switch (ResultKind()) {
    case ekind::ekBoolean:
        return ReadBoolean() ? 1 : 0;
    case ekind::ekFloat:
    case ekind::ekString:
        return 0;
    case ekind::ekInteger:
        break;
    }
    const std::int32_t left = FLeft->ReadInteger();
    return IntegerOp(FOperator, left, FRight->ReadInteger());
}

bool TBinaryOp::ReadBoolean() const
{
    TReadStep step;
    if (ResultKind() != ekind::ekBoolean)
        return TExpression::ReadBoolean();
    switch (FOperator) {
    case TExprOperator::opAnd:
        return FLeft->ReadBoolean() && FRight->ReadBoolean();
    case TExprOperator::opOr:
        return FLeft->ReadBoolean() || FRight->ReadBoolean();
    case TExprOperator::opXor: {
        const bool left = FLeft->ReadBoolean();
        return left != FRight->ReadBoolean();
    }
    default:
        RaiseInternal(13);
    }
}

// ---------------------------------------------------------------------------
// TRelationalOp

TRelationalOp::TRelationalOp(TExprOperator op, TExpressionPtr left, TExpressionPtr right)
    : TExpression(BinaryHeight(IsRelationalOperator(op), "%s is not relational operator", op,
                               left.get(), right.get())),
      FLeft(std::move(left)),
      FRight(std::move(right)),
      FOperator(op)
{
}

namespace {

template <typename T>
bool Compare(TExprOperator op, const T& left, const T& right)
{
    switch (op) {
    case TExprOperator::opEq:
        return left == right;
    case TExprOperator::opNEQ:
        return left != right;
    case TExprOperator::opLT:
        return left < right;
    case TExprOperator::opGT:
        return left > right;
    case TExprOperator::opLTE:
        return left <= right;
    default:
        return left >= right;
    }
}

}  // namespace

bool TRelationalOp::ReadBoolean() const
{
    TReadStep step;
    // The operands' kinds are taken now: an IF operand may change its kind
    // from one evaluation to the next.
    switch (CommonKind(FLeft->ResultKind(), FRight->ResultKind())) {
    case ekind::ekFloat: {
        const double left = FLeft->ReadFloat();
        return Compare(FOperator, left, FRight->ReadFloat());
    }
    case ekind::ekInteger: {
        const std::int32_t left = FLeft->ReadInteger();
        return Compare(FOperator, left, FRight->ReadInteger());
    }
    case ekind::ekString: {
        // std::string compares bytes as unsigned characters, and a proper
        // prefix sorts first.
        const std::string left = FLeft->ReadString();
        return Compare(FOperator, left, FRight->ReadString());
    }
    case ekind::ekBoolean:
        break;
    }
    if (FOperator != TExprOperator::opEq && FOperator != TExprOperator::opNEQ)
        Raise("cannot apply %s to boolean operands", ExprOperatorName(FOperator));
    const bool left = FLeft->ReadBoolean();
    return Compare(FOperator, left, FRight->ReadBoolean());
}

std::string TRelationalOp::ReadString() const { return BoolText(ReadBoolean()); }
double TRelationalOp::ReadFloat() const { return ReadBoolean() ? 1 : 0; }
std::int32_t TRelationalOp::ReadInteger() const { return ReadBoolean() ? 1 : 0; }
TExprKind TRelationalOp::ResultKind() const { return ekind::ekBoolean; }

// ---------------------------------------------------------------------------
// TFunction

namespace {

int FunctionHeight(const TParameterList* params)
{
    return ParentHeight(params ? params->Height() : 0);
}

}  // namespace

TFunction::TFunction(std::unique_ptr<TParameterList> params)
    : TExpression(FunctionHeight(params.get())), FParams(std::move(params))
{
}

const TExpression& TFunction::Param(int i) const
{
    if (!FParams)
        throw EExpression("Parameter index " + std::to_string(i) + " out of range");
    return FParams->Item(i);
}

int TFunction::ParamCount() const
{
    return FParams ? FParams->Count() : 0;
}

// ---------------------------------------------------------------------------
// TTypeCast

TTypeCast::TTypeCast(std::unique_ptr<TParameterList> params, TExprKind targetKind)
    : TFunction(std::move(params)), FTargetKind(targetKind)
{
}

const TExpression& TTypeCast::Argument() const
{
    if (ParamCount() == 0) {
        static const char* const kNames[] = {"STRING", "FLOAT", "INTEGER", "BOOLEAN"};
        Raise("Invalid parameter to %s", kNames[static_cast<int>(FTargetKind) & 3]);
    }
    return Param(0);
}

std::string TTypeCast::ReadString() const
{
    TReadStep step;
    return Argument().ReadString();
}
double TTypeCast::ReadFloat() const
{
    TReadStep step;
    return Argument().ReadFloat();
}
std::int32_t TTypeCast::ReadInteger() const
{
    TReadStep step;
    return Argument().ReadInteger();
}
bool TTypeCast::ReadBoolean() const
{
    TReadStep step;
    return Argument().ReadBoolean();
}
TExprKind TTypeCast::ResultKind() const { return FTargetKind; }

// ---------------------------------------------------------------------------
// TMathExpression

namespace {

enum EMath { mTrunc, mRound, mAbs, mArcTan, mCos, mExp, mFrac, mInt, mLn, mPi, mSin, mSqr, mSqrt, mPower };

const char* const kMathNames[] = {"TRUNC", "ROUND", "ABS", "ARCTAN", "COS",  "EXP",  "FRAC",
                                  "INT",   "LN",    "PI",  "SIN",    "SQR",  "SQRT", "POWER"};
static_assert(std::size(kMathNames) == TMathExpression::kFunctionCount);

const char* const kStringNames[] = {"UPPER", "LOWER", "COPY", "POS", "LENGTH"};
static_assert(std::size(kStringNames) == TStringExpression::kFunctionCount);

}  // namespace

const char* TMathExpression::FunctionName(int function)
{
    return function >= 0 && function < kFunctionCount ? kMathNames[function] : "?";
}

TMathExpression::TMathExpression(std::unique_ptr<TParameterList> params, int function)
    : TFunction(std::move(params)), FFunction(function)
{
    if (function < 0 || function >= kFunctionCount)
        throw EExpression("Unknown numeric function " + std::to_string(function));
}

void TMathExpression::CheckParameters() const
{
    if (FFunction == mPi)
        return;
    const int wanted = FFunction == mPower ? 2 : 1;
    bool valid = ParamCount() == wanted;
    for (int i = 0; valid && i < wanted; ++i)
        valid = Param(i).ResultKind() != ekind::ekString;
    if (!valid)
        Raise("Invalid parameter to %s", kMathNames[FFunction]);
}

std::int32_t TMathExpression::IntegerResult() const
{
    const double argument = Param(0).ReadFloat();
    if (FFunction == mTrunc)
        return Low32(std::trunc(argument), "TRUNC");
    return Low32(RoundHalfEven(argument), "ROUND");
}

double TMathExpression::ReadFloat() const
{
    TReadStep step;
    CheckParameters();
    if (FFunction == mPi)
        return 3.141592653589793;
    if (FFunction == mTrunc || FFunction == mRound)
        return IntegerResult();
    const double x = Param(0).ReadFloat();
    switch (FFunction) {
    case mAbs:
        return std::fabs(x);
    case mArcTan:
        return Checked(std::atan(x));
    case mCos:
        return Checked(std::cos(x));
    case mExp:
        return Checked(std::exp(x));
    case mFrac:
        return Checked(x - std::trunc(x));
    case mInt:
        return std::trunc(x);
    case mLn:
        return Checked(std::log(x));
    case mSin:
        return Checked(std::sin(x));
    case mSqr:
        return Checked(x * x);
    case mSqrt:
        return Checked(std::sqrt(x));
    default:
        return Power(x, Param(1).ReadFloat());
    }
}

std::int32_t TMathExpression::ReadInteger() const
{
    TReadStep step;
    if (FFunction == mTrunc || FFunction == mRound) {
        CheckParameters();
        return IntegerResult();
    }
    if (FFunction == mAbs) {
        CheckParameters();
        const std::int32_t x = Param(0).ReadInteger();
        return x < 0 ? Wrap(0u - static_cast<std::uint32_t>(x)) : x;
    }
    return TExpression::ReadInteger();
}

TExprKind TMathExpression::ResultKind() const
{
    return FFunction == mTrunc || FFunction == mRound ? ekind::ekInteger : ekind::ekFloat;
}

// ---------------------------------------------------------------------------
// TStringExpression

namespace {

enum EString { sUpper, sLower, sCopy, sPos, sLength };

bool IsOrdinal(ekind kind)
{
    return kind == ekind::ekInteger || kind == ekind::ekBoolean;
}

std::int32_t ClampToInt32(std::size_t n)
{
    return static_cast<std::int32_t>(std::min<std::size_t>(n, std::numeric_limits<std::int32_t>::max()));
}

// The character position (from 1) of the first occurrence of text inside
// within that begins and ends between two characters of within, or 0.
std::int32_t CharPosition(std::string_view text, std::string_view within)
{
    if (text.empty())
        return 0;
    const std::size_t chars = Utf8Length(text);
    std::size_t position = 1;
    for (std::size_t at = 0; at + text.size() <= within.size(); at += Utf8CharSize(within, at), ++position) {
        if (within.compare(at, text.size(), text) == 0 && Utf8Offset(within.substr(at), chars) == text.size())
            return ClampToInt32(position);
    }
    return 0;
}

}  // namespace

const char* TStringExpression::FunctionName(int function)
{
    return function >= 0 && function < kFunctionCount ? kStringNames[function] : "?";
}

TStringExpression::TStringExpression(std::unique_ptr<TParameterList> params, int function)
    : TFunction(std::move(params)), FFunction(function)
{
    if (function < 0 || function >= kFunctionCount)
        throw EExpression("Unknown string function " + std::to_string(function));
}

void TStringExpression::CheckParameters() const
{
    bool valid = false;
    switch (FFunction) {
    case sCopy:
        valid = ParamCount() == 3 && IsOrdinal(Param(1).ResultKind()) &&
                IsOrdinal(Param(2).ResultKind());
        break;
    case sPos:
        valid = ParamCount() == 2;
        break;
    default:
        valid = ParamCount() == 1;
        break;
    }
    if (!valid)
        Raise("Invalid parameter to %s", kStringNames[FFunction]);
}

std::string TStringExpression::ReadString() const
{
    TReadStep step;
    if (ResultKind() != ekind::ekString)
        return TExpression::ReadString();
    CheckParameters();
    std::string text = Param(0).ReadString();
    switch (FFunction) {
    case sUpper:
        for (char& c : text)
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
        return text;
    case sLower:
        for (char& c : text)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        return text;
    default: {
        // Positions and counts are characters, from 1; a start before the
        // text counts from its first character, a start beyond it or a count
        // of zero or less gives nothing.
        const std::int32_t start = std::max<std::int32_t>(Param(1).ReadInteger(), 1);
        const std::int32_t count = Param(2).ReadInteger();
        if (count <= 0)
            return {};
        const std::size_t first = Utf8Offset(text, static_cast<std::size_t>(start) - 1);
        const std::size_t taken =
            Utf8Offset(std::string_view(text).substr(first), static_cast<std::size_t>(count));
        return text.substr(first, taken);
    }
    }
}

std::int32_t TStringExpression::ReadInteger() const
{
    TReadStep step;
    if (ResultKind() != ekind::ekInteger)
        return TExpression::ReadInteger();
    CheckParameters();
    const std::string text = Param(0).ReadString();
    if (FFunction == sLength)
        return ClampToInt32(Utf8Length(text));
    return CharPosition(text, Param(1).ReadString());
}

TExprKind TStringExpression::ResultKind() const
{
    return FFunction == sPos || FFunction == sLength ? ekind::ekInteger : ekind::ekString;
}

// ---------------------------------------------------------------------------
// TConditional

TConditional::TConditional(std::unique_ptr<TParameterList> params) : TFunction(std::move(params)) {}

const TExpression& TConditional::Branch() const
{
    if (ParamCount() != 3 || Param(0).ResultKind() != ekind::ekBoolean)
        throw EExpression("Invalid parameters to If");
    return Param(0).ReadBoolean() ? Param(1) : Param(2);
}

std::string TConditional::ReadString() const
{
    TReadStep step;
    return Branch().ReadString();
}
double TConditional::ReadFloat() const
{
    TReadStep step;
    return Branch().ReadFloat();
}
std::int32_t TConditional::ReadInteger() const
{
    TReadStep step;
    return Branch().ReadInteger();
}
bool TConditional::ReadBoolean() const
{
    TReadStep step;
    return Branch().ReadBoolean();
}
TExprKind TConditional::ResultKind() const
{
    TReadStep step;
    return Branch().ResultKind();
}
