#pragma once

#include <string>

namespace engine {

// How names and texts go into the commands the program sends. Pure
// functions; any thread.

// True for a name the operator already wrote as a bracketed identifier:
// "[...]" whose inner "]" are all doubled.
bool IsBracketedIdentifier(const std::string& name);

// `name` as a bracketed identifier, "]" doubled; a name already written in
// brackets is kept as typed.
std::string QuoteIdentifier(const std::string& name);

// The database's own name: the inside of a bracketed identifier with "]]"
// undoubled, any other name as it is.
std::string UnquotedName(const std::string& name);

// `text` as an N'...' literal, "'" doubled.
std::string UnicodeLiteral(const std::string& text);

} // namespace engine
