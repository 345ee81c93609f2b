#pragma once

// Formula texts are UTF-8, and the formula language counts them in
// characters (code points). A byte that does not begin a complete, valid
// sequence (a stray continuation byte, a sequence cut short, an overlong
// form, an encoded surrogate, a code point beyond U+10FFFF) counts as one
// character by itself and is kept as it is: every byte belongs to exactly one
// character, so positions are always defined and a valid character is never
// split.
//
// Plain C++, no Qt.

#include <cstddef>
#include <string_view>

// The bytes of the character that starts at byte `at` (1 to 4); 0 at or
// beyond the end of the text.
inline std::size_t Utf8CharSize(std::string_view text, std::size_t at)
{
    if (at >= text.size())
        return 0;
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80)
        return 1;
    // Continuation bytes needed, and the range of the first of them, which
    // rules out overlong forms, surrogates and values beyond U+10FFFF.
    std::size_t more = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        more = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        more = 2;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        more = 3;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 1;
    }
    if (text.size() - at <= more)
        return 1;
    for (std::size_t i = 1; i <= more; ++i) {
        const auto b = static_cast<unsigned char>(text[at + i]);
        if (b < low || b > high)
            return 1;
        low = 0x80;
        high = 0xBF;
    }
    return more + 1;
}

// The number of characters in the text.
inline std::size_t Utf8Length(std::string_view text)
{
    std::size_t count = 0;
    for (std::size_t at = 0; at < text.size(); at += Utf8CharSize(text, at))
        ++count;
    return count;
}

// The byte offset after the first `chars` characters; the size of the text
// when it has fewer.
inline std::size_t Utf8Offset(std::string_view text, std::size_t chars)
{
    std::size_t at = 0;
    for (; chars > 0 && at < text.size(); --chars)
        at += Utf8CharSize(text, at);
    return at;
}
