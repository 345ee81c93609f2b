// The formula parser: a lexer reading one token at a time straight from the
// text, and one function per grammar rule. Every node is held by a
// unique_ptr until it is handed to its parent, so an error anywhere destroys
// whatever was built so far.

#include "prExpr.h"

#include "Utf8Text.h"

#include <charconv>
#include <optional>
#include <utility>

namespace {

using ekind = TExprKind;
using eop = TExprOperator;

constexpr std::size_t kMaxNumberLength = 28;
constexpr std::size_t kMaxHexDigits = 255;
constexpr std::size_t kMaxStringLength = 256;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsNameChar(char c) { return IsLetter(c) || IsDigit(c) || c == '_'; }
char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

int HexValue(char c)
{
    if (IsDigit(c))
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

struct TOperatorToken {
    eop Op;
    std::size_t Length;
};

enum class TLevel { Comparison, Sum, Term, Power, None };

TLevel LevelOf(eop op)
{
    switch (op) {
    case eop::opEq:
    case eop::opNEQ:
    case eop::opLT:
    case eop::opGT:
    case eop::opLTE:
    case eop::opGTE:
        return TLevel::Comparison;
    case eop::opPlus:
    case eop::opMinus:
    case eop::opOr:
    case eop::opXor:
        return TLevel::Sum;
    case eop::opMult:
    case eop::opDivide:
    case eop::opDiv:
    case eop::opMod:
    case eop::opAnd:
    case eop::opShl:
    case eop::opShr:
        return TLevel::Term;
    case eop::opExp:
        return TLevel::Power;
    default:
        return TLevel::None;
    }
}

// Built-in names, matched exactly against the upper-cased name.
std::optional<ekind> CastKind(const std::string& name)
{
    if (name == "STRING")
        return ekind::ekString;
    if (name == "FLOAT")
        return ekind::ekFloat;
    if (name == "INTEGER")
        return ekind::ekInteger;
    if (name == "BOOLEAN")
        return ekind::ekBoolean;
    return std::nullopt;
}

int MathIndex(const std::string& name)
{
    for (int i = 0; i < TMathExpression::kFunctionCount; ++i)
        if (name == TMathExpression::FunctionName(i))
            return i;
    return -1;
}

int StringIndex(const std::string& name)
{
    for (int i = 0; i < TStringExpression::kFunctionCount; ++i)
        if (name == TStringExpression::FunctionName(i))
            return i;
    return -1;
}

class TParser {
public:
    TParser(std::string_view text, const TIdentifierHook& hook)
        : FText(text.substr(0, text.find('\0'))), FHook(hook)
    {
    }

    TExpressionPtr Formula();

private:
    TExpressionPtr Expression();
    TExpressionPtr Comparison();
    TExpressionPtr Sum();
    TExpressionPtr Term();
    TExpressionPtr Power();
    TExpressionPtr Factor();
    TExpressionPtr Parenthesised();
    std::unique_ptr<TParameterList> Arguments();
    TExpressionPtr Resolve(const std::string& name, std::unique_ptr<TParameterList> args);

    TExpressionPtr Number();
    TExpressionPtr Hex();
    TExpressionPtr String();
    std::string Name();
    std::optional<TOperatorToken> Operator() const;
    std::optional<TOperatorToken> OperatorWord() const;

    TExpressionPtr BuildLevel(TLevel level, TExpressionPtr (TParser::*operand)());
    void SkipBlanks();
    bool AtEnd() const { return FPos >= FText.size(); }
    char Current() const { return AtEnd() ? '\0' : FText[FPos]; }
    char At(std::size_t pos) const { return pos < FText.size() ? FText[pos] : '\0'; }
    bool AtStop() const { return AtEnd() || Current() == ')' || Current() == ','; }

    std::string_view FText;
    const TIdentifierHook& FHook;
    std::size_t FPos = 0;
    int FDepth = 0;

    // Counts factors inside factors; the recursion of the parser follows it.
    class TNesting {
    public:
        explicit TNesting(int& depth) : FDepth(depth)
        {
            if (FDepth >= kMaxExprNesting)
                throw EExpression("Formula nested too deeply (more than 200 levels)");
            ++FDepth;
        }
        ~TNesting() { --FDepth; }
        TNesting(const TNesting&) = delete;
        TNesting& operator=(const TNesting&) = delete;

    private:
        int& FDepth;
    };
};

// <blank> = any character with code 1 to 32
void TParser::SkipBlanks()
{
    while (!AtEnd() && static_cast<unsigned char>(FText[FPos]) <= 32)
        ++FPos;
}

// <formula> = <expression> <end of text>
TExpressionPtr TParser::Formula()
{
    auto root = Expression();
    SkipBlanks();
    if (!AtEnd())
        throw EExpression(std::string(FText.substr(FPos, Utf8CharSize(FText, FPos))) + " not appropriate");
    return root;
}

// <expression> = <comparison>
TExpressionPtr TParser::Expression()
{
    return Comparison();
}

// Reads operands with `operand` joined by the operators of `level`, left to
// right. Stops, leaving the token, at the end of the text, ")", "," and any
// token that is not an operator of this level.
TExpressionPtr TParser::BuildLevel(TLevel level, TExpressionPtr (TParser::*operand)())
{
    auto left = (this->*operand)();
    for (;;) {
        SkipBlanks();
        if (AtStop())
            return left;
        const auto token = Operator();
        if (!token || LevelOf(token->Op) != level)
            return left;
        FPos += token->Length;
        auto right = (this->*operand)();
        if (level == TLevel::Comparison)
            left = std::make_unique<TRelationalOp>(token->Op, std::move(left), std::move(right));
        else
            left = std::make_unique<TBinaryOp>(token->Op, std::move(left), std::move(right));
    }
}

// <comparison> = <sum> {("=" | "<>" | "<" | ">" | "<=" | ">=") <sum>}
TExpressionPtr TParser::Comparison()
{
    return BuildLevel(TLevel::Comparison, &TParser::Sum);
}

// <sum> = <term> {("+" | "-" | "OR" | "XOR") <term>}
TExpressionPtr TParser::Sum()
{
    return BuildLevel(TLevel::Sum, &TParser::Term);
}

// <term> = <power> {("*" | "/" | "DIV" | "MOD" | "AND" | "SHL" | "SHR") <power>}
TExpressionPtr TParser::Term()
{
    return BuildLevel(TLevel::Term, &TParser::Power);
}

// <power> = <factor> {"^" <factor>}
TExpressionPtr TParser::Power()
{
    return BuildLevel(TLevel::Power, &TParser::Factor);
}

// <factor> = ("NOT" | "+" | "-") <factor> | <hex> | <string> | <number>
//          | "(" <expression> ")" | <name> [<arguments>]
TExpressionPtr TParser::Factor()
{
    TNesting nesting(FDepth);
    SkipBlanks();
    if (AtStop())
        throw EExpression("Unexpected end of factor");

    if (const auto token = Operator()) {
        if (token->Op != eop::opNot && token->Op != eop::opPlus && token->Op != eop::opMinus)
            throw EExpression(std::string(ExprOperatorName(token->Op)) + " not allowed here");
        FPos += token->Length;
        return std::make_unique<TUnaryOp>(token->Op, Factor());
    }

    const char c = Current();
    if (c == '$')
        return Hex();
    if (c == '\'')
        return String();
    if (IsDigit(c))
        return Number();
    if (c == '(')
        return Parenthesised();
    if (IsLetter(c) || c == '_') {
        std::string name = Name();
        if (name == "TRUE")
            return std::make_unique<TBooleanLiteral>(true);
        if (name == "FALSE")
            return std::make_unique<TBooleanLiteral>(false);
        SkipBlanks();
        std::unique_ptr<TParameterList> args;
        if (Current() == '(')
            args = Arguments();
        return Resolve(name, std::move(args));
    }
    throw EExpression("Syntax error");
}

// <parenthesised> = "(" <expression> ")"
TExpressionPtr TParser::Parenthesised()
{
    ++FPos;
    auto inner = Expression();
    if (!inner)
        throw EExpression("invalid sub-expression");
    SkipBlanks();
    if (Current() != ')')
        throw EExpression(" ) expected");
    ++FPos;
    return inner;
}

// <arguments> = "(" <expression> {"," <expression>} ")"
std::unique_ptr<TParameterList> TParser::Arguments()
{
    auto list = std::make_unique<TParameterList>();
    do {
        ++FPos;  // the "(" or the ","
        list->Add(Expression());
        SkipBlanks();
    } while (Current() == ',');
    if (Current() != ')')
        throw EExpression("Incorrectly formed parameters");
    ++FPos;
    return list;
}

// <name> resolves to IF | <cast> | <numeric function> | <string function>
//                  | whatever the hook makes of it
TExpressionPtr TParser::Resolve(const std::string& name, std::unique_ptr<TParameterList> args)
{
    if (name == "IF")
        return std::make_unique<TConditional>(std::move(args));
    if (const auto kind = CastKind(name))
        return std::make_unique<TTypeCast>(std::move(args), *kind);
    if (const int index = MathIndex(name); index >= 0)
        return std::make_unique<TMathExpression>(std::move(args), index);
    if (const int index = StringIndex(name); index >= 0)
        return std::make_unique<TStringExpression>(std::move(args), index);
    if (FHook) {
        // The hook only inspects the arguments; they die with `args` here.
        if (auto node = FHook(name, args.get()))
            return node;
    }
    throw EExpression("Unknown Identifier " + name);
}

// <number> = <digit> {<digit> | "."} [("E" | "e") ["-"] <digit> {<digit>}]
// with at most one "." and only before the exponent, 28 characters at most.
TExpressionPtr TParser::Number()
{
    const std::size_t start = FPos;
    bool point = false;
    bool exponent = false;
    for (;;) {
        const char c = Current();
        if (IsDigit(c)) {
            ++FPos;
        } else if (c == '.') {
            if (point || exponent)
                throw EExpression("Bad numeric format");
            point = true;
            ++FPos;
        } else if (c == 'E' || c == 'e') {
            if (exponent)
                throw EExpression("Bad numeric format");
            exponent = true;
            ++FPos;
            if (Current() == '-')
                ++FPos;
            if (!IsDigit(Current()))
                throw EExpression("Bad numeric format");
        } else {
            break;
        }
        if (FPos - start > kMaxNumberLength)
            throw EExpression("Bad numeric format");
    }
    const std::string_view text = FText.substr(start, FPos - start);
    const char* first = text.data();
    const char* last = text.data() + text.size();

    if (!point && !exponent) {
        std::int32_t value = 0;
        const auto result = std::from_chars(first, last, value);
        if (result.ec != std::errc() || result.ptr != last)
            throw EExpression("'" + std::string(text) + "' is not a valid integer value");
        return std::make_unique<TIntegerLiteral>(value);
    }

    // from_chars reads "." as the decimal separator whatever the locale.
    double value = 0;
    const auto result = std::from_chars(first, last, value, std::chars_format::general);
    if (result.ec == std::errc::result_out_of_range && text.find("e-") == std::string_view::npos &&
        text.find("E-") == std::string_view::npos) {
        throw EExpression("'" + std::string(text) + "' is not a valid floating point value");
    }
    if (result.ec == std::errc::result_out_of_range)
        value = 0;  // too small for a double: it underflows to zero
    else if (result.ec != std::errc() || result.ptr != last)
        throw EExpression("'" + std::string(text) + "' is not a valid floating point value");
    return std::make_unique<TFloatLiteral>(value);
}

// <hex> = "$" <hex digit> {<hex digit>}, at most 255 digits and 32 bits
TExpressionPtr TParser::Hex()
{
    ++FPos;
    std::size_t digits = 0;
    std::uint64_t value = 0;
    bool fits = true;
    while (HexValue(Current()) >= 0) {
        value = value * 16 + static_cast<std::uint64_t>(HexValue(Current()));
        if (value > 0xFFFFFFFFu) {
            fits = false;
            value = 0;
        }
        ++digits;
        ++FPos;
        if (digits > kMaxHexDigits)
            throw EExpression("Hex string too long");
    }
    if (digits == 0 || !fits)
        throw EExpression("Invalid char in hex number");
    return std::make_unique<TIntegerLiteral>(static_cast<std::int32_t>(static_cast<std::uint32_t>(value)));
}

// <string> = "'" {<character other than "'"> | "''"} "'", 256 characters at most
TExpressionPtr TParser::String()
{
    ++FPos;
    std::string text;
    for (std::size_t chars = 1;; ++chars) {
        if (AtEnd())
            throw EExpression("Unterminated string");
        if (Current() == '\'') {
            ++FPos;
            if (Current() != '\'')
                break;  // the closing quote; of a doubled one, the second is the character
        }
        const std::size_t size = Utf8CharSize(FText, FPos);
        text += FText.substr(FPos, size);
        FPos += size;
        if (chars > kMaxStringLength)
            throw EExpression("String too long");
    }
    return std::make_unique<TStringLiteral>(std::move(text));
}

// <name> = (<letter> | "_") {<letter> | <digit> | "_"}, upper-cased
std::string TParser::Name()
{
    std::string name;
    while (IsNameChar(Current())) {
        name += Upper(Current());
        ++FPos;
    }
    return name;
}

// <operator> = "*" | "/" | "+" | "-" | "^" | "=" | "<" | "<=" | "<>" | ">" | ">="
//            | <operator word>
std::optional<TOperatorToken> TParser::Operator() const
{
    switch (Current()) {
    case '*':
        return TOperatorToken{eop::opMult, 1};
    case '/':
        return TOperatorToken{eop::opDivide, 1};
    case '+':
        return TOperatorToken{eop::opPlus, 1};
    case '-':
        return TOperatorToken{eop::opMinus, 1};
    case '^':
        return TOperatorToken{eop::opExp, 1};
    case '=':
        return TOperatorToken{eop::opEq, 1};
    case '<':
        if (At(FPos + 1) == '=')
            return TOperatorToken{eop::opLTE, 2};
        if (At(FPos + 1) == '>')
            return TOperatorToken{eop::opNEQ, 2};
        return TOperatorToken{eop::opLT, 1};
    case '>':
        if (At(FPos + 1) == '=')
            return TOperatorToken{eop::opGTE, 2};
        return TOperatorToken{eop::opGT, 1};
    default:
        return OperatorWord();
    }
}

// <operator word> = two or three name characters, starting with A, D, M, N,
// O, S or X, that begin one of NOT, DIV, MOD, AND, SHL, SHR, OR, XOR (in
// that order of trial). A run of one character, or of four or more, is a name.
std::optional<TOperatorToken> TParser::OperatorWord() const
{
    switch (Upper(Current())) {
    case 'A':
    case 'D':
    case 'M':
    case 'N':
    case 'O':
    case 'S':
    case 'X':
        break;
    default:
        return std::nullopt;
    }
    std::string scan;
    for (std::size_t pos = FPos; scan.size() < 4 && IsNameChar(At(pos)); ++pos)
        scan += Upper(At(pos));
    if (scan.size() != 2 && scan.size() != 3)
        return std::nullopt;

    static const std::pair<std::string_view, eop> kWords[] = {
        {"NOT", eop::opNot}, {"DIV", eop::opDiv}, {"MOD", eop::opMod}, {"AND", eop::opAnd},
        {"SHL", eop::opShl}, {"SHR", eop::opShr}, {"OR", eop::opOr},   {"XOR", eop::opXor},
    };
    for (const auto& [word, op] : kWords)
        if (word.substr(0, scan.size()) == scan)
            return TOperatorToken{op, scan.size()};
    return std::nullopt;
}

}  // namespace

TExpressionPtr ParseExpression(std::string_view text, const TIdentifierHook& hook)
{
    TParser parser(text, hook);
    return parser.Formula();
}
