#pragma once

#include <string>
#include <string_view>

namespace config {

// Texts inside the program are UTF-8. Settings files and stored passwords
// written on Windows hold the bytes of code page 1252 instead; these turn
// such bytes into UTF-8 and leave UTF-8 as it is. Pure functions.

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool IsValidUtf8(std::string_view text);

// Every byte of `text` read as code page 1252, in UTF-8. The five bytes the
// code page leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) become the C1
// controls of the same value, as Windows maps them.
std::string Cp1252ToUtf8(std::string_view text);

// `text` unchanged when it is valid UTF-8, otherwise read as code page 1252.
std::string Utf8OrCp1252(std::string_view text);

} // namespace config
