#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace offsite {

// Where offsite copies go: a bucket and a key prefix on an S3-compatible
// service, and how to reach it.
struct StoreLocation {
    std::string bucket;
    std::string prefix;   // without a leading or trailing "/"; may be empty
    std::string endpoint; // "http(s)://host[:port]", no trailing "/"
    std::string region;
    // Path style puts the bucket into the path (every S3-compatible server
    // understands it); otherwise the bucket is the first label of the host,
    // as AWS's own endpoints prefer.
    bool pathStyle = true;
};

inline constexpr const char* kDefaultRegion = "us-east-1";

// Parses OFFSITE_URL ("s3://bucket/prefix"), OFFSITE_ENDPOINT (empty: AWS's
// regional endpoint) and OFFSITE_REGION (empty: us-east-1). Returns the
// reason when they cannot name a place; `location` is then unchanged.
std::optional<std::string> ParseLocation(std::string_view url, std::string_view endpoint,
                                         std::string_view region, StoreLocation& location);

// AWS's URI encoding: every byte outside A-Z a-z 0-9 "-" "." "_" "~" as %XX
// (upper-case hex); "/" kept when `keepSlash`. A path and a query written in
// this form are signed by libcurl exactly as the service checks them.
std::string UriEncode(std::string_view text, bool keepSlash);

// The full URL of `key` (empty: the bucket itself) with the query parameters
// encoded and sorted by name, as the canonical form wants them.
std::string ObjectUrl(const StoreLocation& location, std::string_view key,
                      std::vector<std::pair<std::string, std::string>> query = {});

// "<prefix>/<server>/<database>/": the folder of one database's copies. Empty
// with the reason in `error` when the server or the database cannot be a
// folder name there (empty, ".", "..", or holding "/" or a control character).
std::string CopyFolder(const StoreLocation& location, std::string_view server, std::string_view database,
                       std::string* error = nullptr);

// True when `fileName` is a name this program gives a copy of the database
// stored as `databaseName`: that name, optionally a 14-digit time stamp, and
// ".Bak" or ".zip".
bool IsCopyName(std::string_view fileName, std::string_view databaseName);

} // namespace offsite
