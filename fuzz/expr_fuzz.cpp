// Parses and evaluates arbitrary text. Every EExpression is an accepted
// outcome; a crash, a sanitizer report, a leak, a hang or any other
// exception is a finding.

#include "prExpr.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

// Stands in for the data page's resolver: a few names of each kind, one that
// looks at its arguments, and a refusal like a register that cannot be read.
TExpressionPtr FuzzHook(const std::string& name, const TParameterList* args)
{
    if (name == "VOLTS" || name == "X0300")
        return std::make_unique<TFloatLiteral>(230.5);
    if (name == "TINY")
        return std::make_unique<TFloatLiteral>(4.9e-324);
    if (name == "HUGE")
        return std::make_unique<TFloatLiteral>(1.7e308);
    if (name == "COUNT" || name == "U0010")
        return std::make_unique<TIntegerLiteral>(7);
    if (name == "MINUS")
        return std::make_unique<TIntegerLiteral>(INT32_MIN);
    if (name == "UNIT")
        return std::make_unique<TStringLiteral>("kWh");
    if (name == "ENABLED")
        return std::make_unique<TBooleanLiteral>(true);
    if (name == "PAVG") {
        // Inspects its arguments the way a resolver may; they die after the call.
        std::int32_t sum = 0;
        for (int i = 0; args && i < args->Count(); ++i)
            sum = static_cast<std::int32_t>(static_cast<std::uint32_t>(sum) +
                                            static_cast<std::uint32_t>(args->Item(i).Height()));
        return std::make_unique<TIntegerLiteral>(sum);
    }
    if (name == "FAIL")
        throw EExpression("resolver failed for " + name);
    return nullptr;
}

void ReadAll(const TExpression& tree)
{
    // The data field's way first (kind, then the matching read), then every
    // other read, each of which may raise on its own.
    try {
        switch (tree.ResultKind()) {
        case TExprKind::ekString:
        case TExprKind::ekBoolean:
            (void)tree.ReadString();
            break;
        default:
            (void)tree.ReadFloat();
            break;
        }
    } catch (const EExpression&) {
    }
    try { (void)tree.ReadString(); } catch (const EExpression&) {}
    try { (void)tree.ReadFloat(); } catch (const EExpression&) {}
    try { (void)tree.ReadInteger(); } catch (const EExpression&) {}
    try { (void)tree.ReadBoolean(); } catch (const EExpression&) {}
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const TExpressionPtr tree = ParseExpression(text, FuzzHook);
        ReadAll(*tree);
    } catch (const EExpression&) {
    }
    return 0;
}
