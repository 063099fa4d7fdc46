#include "offsite/Location.h"

#include <algorithm>
#include <cctype>

namespace offsite {

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

bool HasControl(std::string_view text)
{
    return std::any_of(text.begin(), text.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; });
}

bool IsHostText(std::string_view host)
{
    if (host.empty())
        return false;
    if (host.front() == '[')
        return host.back() == ']' && host.size() > 2;
    return std::all_of(host.begin(), host.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '.' || c == '-' || c == '_';
    });
}

// A bucket that can be the first label of an https host: lower-case letters,
// digits and hyphens (dots would not match the wildcard certificate).
bool IsDnsLabelBucket(std::string_view bucket)
{
    if (bucket.size() < 3 || bucket.size() > 63 || bucket.front() == '-' || bucket.back() == '-')
        return false;
    return std::all_of(bucket.begin(), bucket.end(), [](unsigned char c) {
        return std::islower(c) || std::isdigit(c) || c == '-';
    });
}

bool IsFolderName(std::string_view name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos
        && !HasControl(name);
}

} // namespace

std::optional<std::string> ParseLocation(std::string_view url, std::string_view endpoint, std::string_view region,
                                         StoreLocation& location)
{
    StoreLocation parsed;
    url = Trim(url);
    if (!StartsWithNoCase(url, "s3://"))
        return "OFFSITE_URL must have the form s3://bucket/prefix, not '" + std::string(url) + "'";
    std::string_view rest = url.substr(5);
    const std::size_t slash = rest.find('/');
    const std::string_view bucket = rest.substr(0, slash);
    if (bucket.empty() || HasControl(bucket) || bucket.find_first_of(" \\?#") != std::string_view::npos)
        return "OFFSITE_URL names no usable bucket: '" + std::string(url) + "'";
    parsed.bucket = bucket;
    std::string_view prefix = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    while (!prefix.empty() && prefix.front() == '/')
        prefix.remove_prefix(1);
    while (!prefix.empty() && prefix.back() == '/')
        prefix.remove_suffix(1);
    if (HasControl(prefix))
        return "OFFSITE_URL holds a control character";
    parsed.prefix = prefix;

    region = Trim(region);
    parsed.region = region.empty() ? kDefaultRegion : std::string(region);
    if (!std::all_of(parsed.region.begin(), parsed.region.end(), [](unsigned char c) {
            return std::isalnum(c) || c == '-' || c == '_';
        }))
        return "OFFSITE_REGION is no region name: '" + parsed.region + "'";

    endpoint = Trim(endpoint);
    if (endpoint.empty()) {
        parsed.endpoint = "https://s3." + parsed.region + ".amazonaws.com";
        parsed.pathStyle = !IsDnsLabelBucket(parsed.bucket);
        if (!parsed.pathStyle)
            parsed.endpoint = "https://" + parsed.bucket + ".s3." + parsed.region + ".amazonaws.com";
    } else {
        std::string_view scheme;
        if (StartsWithNoCase(endpoint, "https://"))
            scheme = "https://";
        else if (StartsWithNoCase(endpoint, "http://"))
            scheme = "http://";
        else
            return "OFFSITE_ENDPOINT must begin with http:// or https://, not '" + std::string(endpoint) + "'";
        std::string_view authority = endpoint.substr(scheme.size());
        while (!authority.empty() && authority.back() == '/')
            authority.remove_suffix(1);
        endpoint = endpoint.substr(0, scheme.size() + authority.size());
        if (authority.find('/') != std::string_view::npos || authority.find('@') != std::string_view::npos)
            return "OFFSITE_ENDPOINT must be http(s)://host[:port] without a path: '" + std::string(endpoint) + "'";
        std::string_view host = authority;
        const std::size_t bracket = authority.rfind(']');
        const std::size_t colon = authority.rfind(':');
        if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
            const std::string_view port = authority.substr(colon + 1);
            host = authority.substr(0, colon);
            if (port.empty() || port.size() > 5
                || !std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c); })
                || std::stoi(std::string(port)) > 65535)
                return "OFFSITE_ENDPOINT has no valid port: '" + std::string(endpoint) + "'";
        }
        if (!IsHostText(host))
            return "OFFSITE_ENDPOINT has no valid host: '" + std::string(endpoint) + "'";
        std::string lowerScheme(scheme);
        parsed.endpoint = lowerScheme + std::string(authority);
        parsed.pathStyle = true;
    }
    location = std::move(parsed);
    return std::nullopt;
}

std::string UriEncode(std::string_view text, bool keepSlash)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() + text.size() / 2);
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || (keepSlash && c == '/')) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string ObjectUrl(const StoreLocation& location, std::string_view key,
                      std::vector<std::pair<std::string, std::string>> query)
{
    std::string url = location.endpoint + "/";
    if (location.pathStyle)
        url += UriEncode(location.bucket, false) + (key.empty() ? "" : "/");
    url += UriEncode(key, true);
    for (auto& [name, value] : query) {
        name = UriEncode(name, false);
        value = UriEncode(value, false);
    }
    std::sort(query.begin(), query.end());
    for (std::size_t i = 0; i < query.size(); ++i)
        url += (i == 0 ? "?" : "&") + query[i].first + "=" + query[i].second;
    return url;
}

std::string CopyFolder(const StoreLocation& location, std::string_view server, std::string_view database,
                       std::string* error)
{
    const auto refuse = [&](std::string_view what, std::string_view name) {
        if (error)
            *error = "the " + std::string(what) + " '" + std::string(name)
                + "' cannot name a folder of the offsite copies";
        return std::string();
    };
    if (!IsFolderName(server))
        return refuse("server address", server);
    if (!IsFolderName(database))
        return refuse("database name", database);
    std::string folder = location.prefix.empty() ? std::string() : location.prefix + "/";
    folder += std::string(server) + "/" + std::string(database) + "/";
    return folder;
}

bool IsCopyName(std::string_view fileName, std::string_view databaseName)
{
    if (databaseName.empty() || fileName.substr(0, databaseName.size()) != databaseName)
        return false;
    std::string_view rest = fileName.substr(databaseName.size());
    if (rest.size() >= 14 + 4
        && std::all_of(rest.begin(), rest.begin() + 14, [](unsigned char c) { return std::isdigit(c); }))
        rest.remove_prefix(14);
    return rest == ".Bak" || rest == ".zip";
}

} // namespace offsite
