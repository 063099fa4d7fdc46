#include "db/ConnectionString.h"

#include "db/Connection.h"
#include "text/Text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace db {

namespace {

bool IsBlank(char c)
{
    return text::kWhiteSpace.find(c) != std::string_view::npos;
}

// The connection string's pieces are kept as strings.
std::string Trim(std::string_view s)
{
    return std::string(text::Trim(s));
}

} // namespace

void ConnectionProperties::Add(std::string keyword, std::string value)
{
    m_entries.emplace_back(std::move(keyword), std::move(value));
}

std::optional<std::string> ConnectionProperties::Find(std::initializer_list<const char*> keywords) const
{
    for (const char* keyword : keywords) {
        for (auto it = m_entries.rbegin(); it != m_entries.rend(); ++it) {
            if (text::EqualsIgnoringCase(it->first, keyword))
                return it->second;
        }
    }
    return std::nullopt;
}

std::string QuoteConnectionValue(const std::string& value)
{
    bool needsQuotes = value.find_first_of(";\"'") != std::string::npos
        || (!value.empty() && (IsBlank(value.front()) || IsBlank(value.back())));
    if (!needsQuotes)
        return value;
    std::string out = "\"";
    for (char c : value) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
    return out;
}

std::string BuildConnectionString(const std::string& server, const std::string& database,
                                  const std::string& user, const std::string& password)
{
    return "Provider=SQLOLEDB.1;Data Source=" + QuoteConnectionValue(server)
        + ";Initial Catalog=" + QuoteConnectionValue(database) + ";User ID=" + QuoteConnectionValue(user)
        + ";Password=" + QuoteConnectionValue(password) + ";Persist Security Info=True;";
}

bool ParseConnectionString(const std::string& text, ConnectionProperties& out, std::string& error)
{
    size_t pos = 0;
    const size_t n = text.size();
    while (pos < n) {
        size_t eq = text.find('=', pos);
        size_t semi = text.find(';', pos);
        if (semi != std::string::npos && (eq == std::string::npos || semi < eq)) {
            if (!Trim(text.substr(pos, semi - pos)).empty()) {
                error = "Keyword without a value: '" + Trim(text.substr(pos, semi - pos)) + "'";
                return false;
            }
            pos = semi + 1;
            continue;
        }
        if (eq == std::string::npos) {
            if (!Trim(text.substr(pos)).empty()) {
                error = "Keyword without a value: '" + Trim(text.substr(pos)) + "'";
                return false;
            }
            break;
        }
        std::string keyword = Trim(text.substr(pos, eq - pos));
        if (keyword.empty()) {
            error = "Value without a keyword at position " + std::to_string(eq + 1);
            return false;
        }
        pos = eq + 1;
        while (pos < n && IsBlank(text[pos]))
            ++pos;
        std::string value;
        if (pos < n && (text[pos] == '"' || text[pos] == '\'')) {
            const char quote = text[pos++];
            bool closed = false;
            while (pos < n) {
                if (text[pos] == quote) {
                    if (pos + 1 < n && text[pos + 1] == quote) {
                        value += quote;
                        pos += 2;
                        continue;
                    }
                    ++pos;
                    closed = true;
                    break;
                }
                value += text[pos++];
            }
            if (!closed) {
                error = "Unterminated quoted value for '" + keyword + "'";
                return false;
            }
            while (pos < n && IsBlank(text[pos]))
                ++pos;
            if (pos < n && text[pos] != ';') {
                error = "Unexpected text after the quoted value for '" + keyword + "'";
                return false;
            }
            if (pos < n)
                ++pos;
        } else {
            size_t end = text.find(';', pos);
            if (end == std::string::npos)
                end = n;
            value = Trim(text.substr(pos, end - pos));
            pos = end < n ? end + 1 : n;
        }
        out.Add(std::move(keyword), std::move(value));
    }
    return true;
}

bool TranslateDataSource(const std::string& dataSource, ServerAddress& out, std::string& error)
{
    std::string address = Trim(dataSource);
    if (text::StartsWithIgnoringCase(address, "tcp:"))
        address = Trim(address.substr(4));

    std::string port;
    if (size_t comma = address.rfind(','); comma != std::string::npos) {
        port = Trim(address.substr(comma + 1));
        address = Trim(address.substr(0, comma));
        bool digits = !port.empty() && port.size() <= 5
            && std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c); });
        if (!digits || std::stoi(port) < 1 || std::stoi(port) > 65535) {
            error = "The port in the server address '" + dataSource + "' is not a number from 1 to 65535";
            return false;
        }
        port = std::to_string(std::stoi(port));
    }

    std::string host = address, instance;
    if (size_t slash = address.find('\\'); slash != std::string::npos) {
        host = address.substr(0, slash);
        instance = address.substr(slash);
    }
    if (host.empty() || host == "." || text::EqualsIgnoringCase(host, "(local)"))
        host = "127.0.0.1";
    out.host = host + instance;
    out.port = port;
    return true;
}

std::optional<std::string> BraceOdbcValue(const std::string& value)
{
    bool plain = value.find_first_of(";{}") == std::string::npos
        && (value.empty() || (!IsBlank(value.front()) && !IsBlank(value.back())));
    if (plain)
        return value;
    if (value.find("};") != std::string::npos)
        return std::nullopt;
    return "{" + value + "}";
}

std::string FindDataSource(const ConnectionProperties& properties)
{
    return properties.Find({"Data Source", "Server", "Address", "Addr", "Network Address"}).value_or("");
}

bool BuildOdbcConnectionString(const ConnectionProperties& properties, const OdbcSettings& settings,
                               std::string& out, std::string& error)
{
    ServerAddress address;
    if (!TranslateDataSource(FindDataSource(properties), address, error))
        return false;
    // A section of the settings file names the host and its port itself.
    if (!settings.serverName.empty())
        address.port.clear();
    const std::pair<const char*, std::string> fields[] = {
        {"SERVER", address.host},
        {"PORT", address.port},
        {"DATABASE", properties.Find({"Initial Catalog", "Database"}).value_or("")},
        {"UID", properties.Find({"User ID", "UID", "User"}).value_or("")},
        {"PWD", properties.Find({"Password", "PWD"}).value_or("")},
    };
    static const char* const fieldNames[] = {"server address", "port", "database name", "login name", "password"};

    out = "DRIVER={" + settings.driver + "};";
    for (size_t i = 0; i < std::size(fields); ++i) {
        const auto& [keyword, value] = fields[i];
        if (!settings.serverName.empty() && std::string_view(keyword) == "SERVER") {
            out += "SERVERNAME=" + settings.serverName + ";";
            continue;
        }
        if (value.empty() && (std::string_view(keyword) == "PORT" || std::string_view(keyword) == "DATABASE"))
            continue;
        auto carried = BraceOdbcValue(value);
        if (!carried) {
            error = std::string("The ") + fieldNames[i]
                + " contains \"};\", which cannot be passed to the ODBC driver intact; the connection was not attempted.";
            return false;
        }
        out += std::string(keyword) + "=" + *carried + ";";
    }
    out += "TDS_Version=" + settings.tdsVersion + ";ClientCharset=UTF-8;";
    if (!settings.encryption.empty())
        out += "Encryption=" + settings.encryption + ";";
    return true;
}

} // namespace db
