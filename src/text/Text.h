#pragma once

#include <string>
#include <string_view>

// Small rules for plain text that every layer shares, written once. Pure
// functions; letter case means ASCII letters only (keys, options and
// keywords are ASCII; names in other scripts compare as written).
namespace text {

// The blanks Trim removes unless told otherwise: space, tab, CR, LF, FF, VT.
inline constexpr std::string_view kWhiteSpace = " \t\r\n\f\v";

// `text` without the characters of `blanks` at either end: a view into
// `text` (at its end when all of it is blank).
std::string_view Trim(std::string_view text, std::string_view blanks = kWhiteSpace);
// True when `text` holds nothing but white space.
bool IsBlank(std::string_view text);

std::string ToUpper(std::string_view text);
bool EqualsIgnoringCase(std::string_view a, std::string_view b);
bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix);

// `text` as one line of a log or a terminal: CR, LF and tab become "\r",
// "\n" and "\t", other control characters "\xHH"; everything else (UTF-8
// included) stays as it is.
std::string PrintableName(std::string_view text);

} // namespace text
