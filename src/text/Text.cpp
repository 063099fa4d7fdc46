#include "text/Text.h"

#include <cstdio>

namespace text {

namespace {

char UpperAscii(char ch)
{
    return ch >= 'a' && ch <= 'z' ? static_cast<char>(ch - 'a' + 'A') : ch;
}

} // namespace

std::string_view Trim(std::string_view text, std::string_view blanks)
{
    const auto first = text.find_first_not_of(blanks);
    // All blank: the empty view at the end of `text`, still inside it, so
    // that callers may take its offset.
    if (first == std::string_view::npos)
        return text.substr(text.size());
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool IsBlank(std::string_view text)
{
    return Trim(text).empty();
}

std::string ToUpper(std::string_view text)
{
    std::string out(text);
    for (char& ch : out)
        ch = UpperAscii(ch);
    return out;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (UpperAscii(a[i]) != UpperAscii(b[i]))
            return false;
    }
    return true;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

std::string PrintableName(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (unsigned char ch : text) {
        if (ch == '\n') {
            out += "\\n";
        } else if (ch == '\r') {
            out += "\\r";
        } else if (ch == '\t') {
            out += "\\t";
        } else if (ch < 0x20 || ch == 0x7F) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\x%02X", ch);
            out += buffer;
        } else {
            out += static_cast<char>(ch);
        }
    }
    return out;
}

} // namespace text
