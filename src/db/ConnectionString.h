#pragma once

// The program's connection strings and their translation for the ODBC driver.
//
// The program stores and passes OLE DB-style strings
// ("Provider=SQLOLEDB.1;Data Source=...;Initial Catalog=...;User ID=...;
// Password=...;Persist Security Info=True;"). DbConnection parses such a
// string and hands the driver its own keywords. Pure functions: any thread,
// no blocking, no I/O.

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace db {

// The keyword/value pairs of a connection string, in order. Keywords are
// trimmed; look-ups ignore case and the last occurrence wins.
class ConnectionProperties {
public:
    void Add(std::string keyword, std::string value);
    // The value of the first keyword in `keywords` that is present.
    std::optional<std::string> Find(std::initializer_list<const char*> keywords) const;
    const std::vector<std::pair<std::string, std::string>>& entries() const { return m_entries; }

private:
    std::vector<std::pair<std::string, std::string>> m_entries;
};

// Quotes a value for an OLE DB-style string when it needs it: a value with
// ";", a quote, or leading or trailing blanks is wrapped in double quotes
// with inner double quotes doubled; any other value comes back unchanged.
std::string QuoteConnectionValue(const std::string& value);

// Parses "keyword=value;..." with values plain (trimmed) or quoted in double
// or single quotes (the quote doubled inside). False, with `error` saying
// where, for a string that does not follow that syntax.
bool ParseConnectionString(const std::string& text, ConnectionProperties& out, std::string& error);

// Where "Data Source" points, in the driver's terms.
struct ServerAddress {
    std::string host; // a host name or address, possibly with "\INSTANCE"
    std::string port; // empty: the driver's default (or the instance's port)
};

// Translates what operators type as a SQL Server address: "(local)" and "."
// (also before "\INSTANCE") and an empty address mean 127.0.0.1, a "tcp:"
// prefix is dropped, "host,port" is split. False, with `error`, for a port
// that is not a number from 1 to 65535.
bool TranslateDataSource(const std::string& dataSource, ServerAddress& out, std::string& error);

// Puts a value into an ODBC connection string for FreeTDS: plain when it
// holds no ";", "{", "}" and no leading or trailing blank, otherwise in
// braces. FreeTDS ends a braced value at the first "}" followed by ";" or
// the end, so a value containing "};" cannot be carried: nullopt.
std::optional<std::string> BraceOdbcValue(const std::string& value);

// The Data Source of the parsed properties (or its synonyms Server, Address,
// Addr, Network Address), as written; empty when there is none.
std::string FindDataSource(const ConnectionProperties& properties);

struct OdbcSettings {
    std::string driver = "FreeTDS";
    std::string tdsVersion = "7.4";
    // The driver's Encryption keyword ("off"); empty: not given, so the
    // driver's default (request).
    std::string encryption;
    // A section of the driver's settings file that defines the server,
    // passed as SERVERNAME= instead of SERVER and PORT.
    std::string serverName;
};

// The driver's connection string for the parsed properties: SERVER, PORT
// (or SERVERNAME), DATABASE, UID, PWD, TDS_Version, ClientCharset=UTF-8 and
// Encryption when set. False, with `error` naming the field, when a value
// cannot be carried intact.
bool BuildOdbcConnectionString(const ConnectionProperties& properties, const OdbcSettings& settings,
                               std::string& out, std::string& error);

} // namespace db
