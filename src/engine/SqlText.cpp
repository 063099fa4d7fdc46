#include "engine/SqlText.h"

namespace engine {

namespace {

std::string ReplaceAll(const std::string& text, char what, const std::string& with)
{
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        if (c == what)
            out += with;
        else
            out += c;
    }
    return out;
}

} // namespace

bool IsBracketedIdentifier(const std::string& name)
{
    if (name.size() < 2 || name.front() != '[' || name.back() != ']')
        return false;
    for (std::size_t i = 1; i + 1 < name.size(); ++i) {
        if (name[i] != ']')
            continue;
        if (i + 2 >= name.size() || name[i + 1] != ']')
            return false;
        ++i;
    }
    return true;
}

std::string QuoteIdentifier(const std::string& name)
{
    if (IsBracketedIdentifier(name))
        return name;
    return "[" + ReplaceAll(name, ']', "]]") + "]";
}

std::string UnquotedName(const std::string& name)
{
    if (!IsBracketedIdentifier(name))
        return name;
    std::string out;
    for (std::size_t i = 1; i + 1 < name.size(); ++i) {
        out += name[i];
        if (name[i] == ']')
            ++i;
    }
    return out;
}

std::string UnicodeLiteral(const std::string& text)
{
    return "N'" + ReplaceAll(text, '\'', "''") + "'";
}

} // namespace engine
