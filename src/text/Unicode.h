#pragma once

#include <string>
#include <string_view>

// Texts inside the program are UTF-8. The database driver's wide calls take
// UTF-16; settings files and stored passwords written on Windows hold the
// bytes of code page 1252. Pure functions.
namespace text {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// The code point that starts at `text[at]`, with its length in `length`;
// kReplacementCharacter, length 1, for a byte that does not start a
// well-formed sequence (overlong forms, surrogates and values above
// U+10FFFF are not well-formed).
char32_t DecodeUtf8(std::string_view text, std::size_t at, std::size_t& length);
void AppendUtf8(std::string& out, char32_t codePoint);

// True when `text` is well-formed UTF-8.
bool IsValidUtf8(std::string_view text);

// UTF-8 as UTF-16; each byte that does not start a well-formed sequence
// becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
// UTF-16 as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

// Every byte of `text` read as code page 1252, in UTF-8. The five bytes the
// code page leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) become the C1
// controls of the same value, as Windows maps them.
std::string Cp1252ToUtf8(std::string_view text);
// `text` unchanged when it is valid UTF-8, otherwise read as code page 1252.
std::string Utf8OrCp1252(std::string_view text);

} // namespace text
