#include "text/Unicode.h"

#include <array>
#include <cstdint>

namespace text {

namespace {

// 0x80..0x9F of code page 1252; the rest of the upper half equals Latin-1.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

bool IsSurrogate(char32_t c)
{
    return c >= 0xD800 && c <= 0xDFFF;
}

} // namespace

char32_t DecodeUtf8(std::string_view text, std::size_t at, std::size_t& length)
{
    length = 1;
    const auto b = static_cast<std::uint8_t>(text[at]);
    if (b < 0x80)
        return b;
    std::size_t needed = 0;
    char32_t c = 0;
    char32_t minimum = 0;
    if ((b & 0xE0) == 0xC0) {
        needed = 2, c = b & 0x1F, minimum = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        needed = 3, c = b & 0x0F, minimum = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        needed = 4, c = b & 0x07, minimum = 0x10000;
    } else {
        return kReplacementCharacter;
    }
    if (at + needed > text.size())
        return kReplacementCharacter;
    for (std::size_t k = 1; k < needed; ++k) {
        const auto next = static_cast<std::uint8_t>(text[at + k]);
        if ((next & 0xC0) != 0x80)
            return kReplacementCharacter;
        c = (c << 6) | (next & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || IsSurrogate(c))
        return kReplacementCharacter;
    length = needed;
    return c;
}

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool IsValidUtf8(std::string_view text)
{
    std::size_t length = 0;
    for (std::size_t i = 0; i < text.size(); i += length) {
        // U+FFFD written out is three bytes; a replacement for a bad byte is one.
        if (DecodeUtf8(text, i, length) == kReplacementCharacter && length == 1)
            return false;
    }
    return true;
}

std::u16string Utf8ToUtf16(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    std::size_t length = 0;
    for (std::size_t i = 0; i < text.size(); i += length) {
        const char32_t c = DecodeUtf8(text, i, length);
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t unit = text[i];
        if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            unit = 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (IsSurrogate(unit)) {
            unit = kReplacementCharacter;
        }
        AppendUtf8(out, unit);
    }
    return out;
}

std::string Cp1252ToUtf8(std::string_view text)
{
    std::string out;
    out.reserve(text.size() * 2);
    for (char ch : text) {
        const auto b = static_cast<std::uint8_t>(ch);
        AppendUtf8(out, b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : b);
    }
    return out;
}

std::string Utf8OrCp1252(std::string_view text)
{
    return IsValidUtf8(text) ? std::string(text) : Cp1252ToUtf8(text);
}

} // namespace text
