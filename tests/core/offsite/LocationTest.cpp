#include "offsite/Location.h"
#include "offsite/Upload.h"

#include <gtest/gtest.h>

namespace {

using offsite::StoreLocation;

StoreLocation Parse(const std::string& url, const std::string& endpoint = "http://127.0.0.1:9000",
                    const std::string& region = "")
{
    StoreLocation location;
    const auto error = offsite::ParseLocation(url, endpoint, region, location);
    EXPECT_FALSE(error) << url << " " << endpoint << ": " << error.value_or("");
    return location;
}

TEST(OffsiteLocation, SettingsNameBucketPrefixAndEndpoint)
{
    const StoreLocation custom = Parse("s3://backups/nightly/sql/", "http://127.0.0.1:9000/", " eu-central-1 ");
    EXPECT_EQ(custom.bucket, "backups");
    EXPECT_EQ(custom.prefix, "nightly/sql");
    EXPECT_EQ(custom.endpoint, "http://127.0.0.1:9000");
    EXPECT_EQ(custom.region, "eu-central-1");
    EXPECT_TRUE(custom.pathStyle);

    const StoreLocation bare = Parse("S3://backups", "https://[::1]:9443");
    EXPECT_EQ(bare.prefix, "");
    EXPECT_EQ(bare.region, "us-east-1");
    EXPECT_EQ(bare.endpoint, "https://[::1]:9443");

    // Without an endpoint, the provider's regional one; a bucket that can be a
    // host label goes there, one with dots stays in the path (the wildcard
    // certificate covers one label only).
    const StoreLocation aws = Parse("s3://corp-backups/x", "", "eu-west-1");
    EXPECT_EQ(aws.endpoint, "https://corp-backups.s3.eu-west-1.amazonaws.com");
    EXPECT_FALSE(aws.pathStyle);
    const StoreLocation dotted = Parse("s3://corp.backups/x", "", "");
    EXPECT_EQ(dotted.endpoint, "https://s3.us-east-1.amazonaws.com");
    EXPECT_TRUE(dotted.pathStyle);
}

TEST(OffsiteLocation, UnusableSettingsAreRefusedWithTheReason)
{
    const struct {
        const char* url;
        const char* endpoint;
        const char* region;
        const char* reason;
    } cases[] = {
        {"backups/x", "", "", "OFFSITE_URL must have the form s3://bucket/prefix, not 'backups/x'"},
        {"s3:///x", "", "", "OFFSITE_URL names no usable bucket: 's3:///x'"},
        {"s3://my bucket/x", "", "", "OFFSITE_URL names no usable bucket: 's3://my bucket/x'"},
        {"s3://b/x", "ftp://host", "", "OFFSITE_ENDPOINT must begin with http:// or https://, not 'ftp://host'"},
        {"s3://b/x", "http://host:99999", "", "OFFSITE_ENDPOINT has no valid port: 'http://host:99999'"},
        {"s3://b/x", "http://host/path", "", "OFFSITE_ENDPOINT must be http(s)://host[:port] without a path: 'http://host/path'"},
        {"s3://b/x", "http://user@host", "", "OFFSITE_ENDPOINT must be http(s)://host[:port] without a path: 'http://user@host'"},
        {"s3://b/x", "http://", "", "OFFSITE_ENDPOINT has no valid host: 'http://'"},
        {"s3://b/x", "", "eu west", "OFFSITE_REGION is no region name: 'eu west'"},
    };
    for (const auto& c : cases) {
        StoreLocation location;
        location.bucket = "unchanged";
        const auto error = offsite::ParseLocation(c.url, c.endpoint, c.region, location);
        ASSERT_TRUE(error) << c.url << " " << c.endpoint;
        EXPECT_EQ(*error, c.reason);
        EXPECT_EQ(location.bucket, "unchanged");
    }
}

TEST(OffsiteLocation, UrlsAreWrittenInTheCanonicalEncoding)
{
    const StoreLocation location = Parse("s3://backups/night ly");
    // The server's key, blanks and letters beyond ASCII: encoded byte by byte;
    // "/" stays in the path and is encoded in a query value; the query is sorted.
    const std::string folder = offsite::CopyFolder(location, "127.0.0.1,1433", "Gehälter 2024");
    EXPECT_EQ(folder, "night ly/127.0.0.1,1433/Gehälter 2024/");
    EXPECT_EQ(offsite::ObjectUrl(location, folder + "Gehälter 202420240714090503.zip"),
              "http://127.0.0.1:9000/backups/night%20ly/127.0.0.1%2C1433/Geh%C3%A4lter%202024/"
              "Geh%C3%A4lter%20202420240714090503.zip");
    EXPECT_EQ(offsite::ObjectUrl(location, "", {{"prefix", folder}, {"list-type", "2"}, {"continuation-token", "a+b/c="}}),
              "http://127.0.0.1:9000/backups?continuation-token=a%2Bb%2Fc%3D&list-type=2"
              "&prefix=night%20ly%2F127.0.0.1%2C1433%2FGeh%C3%A4lter%202024%2F");
    EXPECT_EQ(offsite::ObjectUrl(location, "k", {{"uploads", ""}}), "http://127.0.0.1:9000/backups/k?uploads=");
    EXPECT_EQ(offsite::UriEncode("A-Z_a.z~0 9!*'()", false), "A-Z_a.z~0%209%21%2A%27%28%29");

    const StoreLocation hosted = Parse("s3://corp-backups", "", "");
    EXPECT_EQ(offsite::ObjectUrl(hosted, "a/b"), "https://corp-backups.s3.us-east-1.amazonaws.com/a/b");
}

TEST(OffsiteLocation, OnlyPlainNamesBecomeFolders)
{
    const StoreLocation location = Parse("s3://backups");
    EXPECT_EQ(offsite::CopyFolder(location, "SQLHOST\\INST", "Sales"), "SQLHOST\\INST/Sales/");
    for (const auto& [server, database] : std::vector<std::pair<std::string, std::string>>{
             {"", "Sales"}, {"host", ""}, {"..", "Sales"}, {"host", "."}, {"a/b", "Sales"}, {"host", "x\ny"}}) {
        std::string error;
        EXPECT_EQ(offsite::CopyFolder(location, server, database, &error), "") << server << "|" << database;
        EXPECT_NE(error.find("cannot name a folder of the offsite copies"), std::string::npos) << error;
    }
}

TEST(OffsiteLocation, CopyNamesAreTheDatabaseAStampAndAnExtension)
{
    EXPECT_TRUE(offsite::IsCopyName("Sales.Bak", "Sales"));
    EXPECT_TRUE(offsite::IsCopyName("Sales.zip", "Sales"));
    EXPECT_TRUE(offsite::IsCopyName("Sales20240714090503.zip", "Sales"));
    EXPECT_TRUE(offsite::IsCopyName("Sales 20240714090503.Bak", "Sales "));
    EXPECT_FALSE(offsite::IsCopyName("Sales.bak", "Sales"));
    EXPECT_FALSE(offsite::IsCopyName("Sales2024071409050.zip", "Sales"));
    EXPECT_FALSE(offsite::IsCopyName("Sales202407140905031.zip", "Sales"));
    EXPECT_FALSE(offsite::IsCopyName("SalesArchive.zip", "Sales"));
    EXPECT_FALSE(offsite::IsCopyName("Sales.zip.part", "Sales"));
    EXPECT_FALSE(offsite::IsCopyName("notes.txt", "Sales"));
    EXPECT_FALSE(offsite::IsCopyName(".zip", ""));
}

TEST(OffsiteUpload, PartsGrowSoThatAnyBackupFitsInTenThousand)
{
    const offsite::UploadOptions options;
    constexpr std::uint64_t MiB = 1024 * 1024;
    EXPECT_EQ(offsite::PartSizeFor(2048 * MiB, options), 16 * MiB);
    EXPECT_EQ(offsite::PartSizeFor(10000 * 16 * MiB, options), 16 * MiB);
    EXPECT_EQ(offsite::PartSizeFor(10000 * 16 * MiB + 1, options), 17 * MiB);
    for (const std::uint64_t size : {std::uint64_t{200000 * MiB + 7}, std::uint64_t{5ull * 1024 * 1024 * MiB}}) {
        const std::uint64_t part = offsite::PartSizeFor(size, options);
        EXPECT_LE((size + part - 1) / part, 10000u) << size;
        EXPECT_EQ(part % MiB, 0u);
    }
}

} // namespace
