// Uploads, retention and clean-up against the S3 test server: s3rver behind
// a Signature Version 4 check, run as another account on 127.0.0.1.

#include "offsite/Retention.h"
#include "offsite/S3Client.h"
#include "offsite/Upload.h"

#include "fakes/S3TestServer.h"
#include "fakes/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>

namespace {

using fakes::S3TestServer;

constexpr std::uint64_t MiB = 1024 * 1024;
const std::string kFolder = "nightly/sql/127.0.0.1,1433/Geh\xC3\xA4lter 2024/";

// Random bytes: nothing a compressor or a cache could shortcut.
std::string WriteRandomFile(const fakes::TempFolder& temp, const std::string& name, std::uint64_t size)
{
    const std::string path = temp.path(name);
    std::ofstream out(path, std::ios::binary);
    std::mt19937_64 random(size);
    std::vector<std::uint64_t> block(64 * 1024);
    for (std::uint64_t written = 0; written < size;) {
        for (auto& word : block)
            word = random();
        const std::uint64_t n = std::min<std::uint64_t>(block.size() * 8, size - written);
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
        written += n;
    }
    return path;
}

S3TestServer::Options WithFaults(std::string faults)
{
    S3TestServer::Options options;
    options.faults = std::move(faults);
    return options;
}

offsite::UploadOptions SmallParts()
{
    offsite::UploadOptions options;
    options.multipartThreshold = 8 * MiB;
    options.partSize = 5 * MiB;
    return options;
}

class S3Store : public ::testing::Test {
protected:
    void startServer(S3TestServer::Options options = {})
    {
        m_server = std::make_unique<S3TestServer>(std::move(options));
        ASSERT_TRUE(m_server->start()) << m_server->error();
    }

    std::unique_ptr<offsite::S3Client> client(std::string secret = {}, std::string accessKey = {})
    {
        offsite::StoreLocation location;
        const auto error = offsite::ParseLocation("s3://backups/nightly/sql/", m_server->endpoint(), "", location);
        EXPECT_FALSE(error) << *error;
        const auto& [key, knownSecret] = m_server->options().credentials.front();
        offsite::Credentials credentials{accessKey.empty() ? key : accessKey, secret.empty() ? knownSecret : secret, {}};
        offsite::ClientOptions options;
        options.firstRetryDelay = std::chrono::milliseconds(20);
        return std::make_unique<offsite::S3Client>(location, credentials, options);
    }

    std::vector<std::string> storedKeys() const
    {
        std::vector<std::string> keys;
        for (const auto& object : m_server->objects())
            keys.push_back(object.key);
        return keys;
    }

    void expectStoredAs(const std::string& key, const std::string& path) const
    {
        const auto objects = m_server->objects();
        const auto found = std::find_if(objects.begin(), objects.end(), [&](const auto& o) { return o.key == key; });
        ASSERT_NE(found, objects.end()) << key;
        EXPECT_EQ(fakes::FileSha256(found->path), fakes::FileSha256(path));
    }

    void expectEverySignatureChecked() const
    {
        for (const auto& request : m_server->requests())
            EXPECT_EQ(request.signature, "ok") << request.method << " " << request.url;
    }

    fakes::TempFolder m_temp{"corvella-offsite"};
    std::unique_ptr<S3TestServer> m_server;
};

TEST_F(S3Store, SmallFileGoesInOnePutUnderItsKeyAndIsCheckedBack)
{
    startServer();
    const std::string file = WriteRandomFile(m_temp, "small.zip", 300 * 1024 + 7);
    const std::string key = kFolder + "Geh\xC3\xA4lter 202420240714090503.zip";
    std::vector<std::uint64_t> reported;
    const auto outcome = offsite::UploadFile(
        *client(), file, key, {}, [&](std::uint64_t sent, std::uint64_t) { reported.push_back(sent); }, {});

    ASSERT_TRUE(outcome.ok) << outcome.error;
    EXPECT_EQ(outcome.parts, 0);
    EXPECT_EQ(outcome.bytes, 300u * 1024 + 7);
    expectStoredAs(key, file);
    const auto requests = m_server->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "PUT");
    EXPECT_EQ(requests[0].url, "/backups/nightly/sql/127.0.0.1%2C1433/Geh%C3%A4lter%202024/"
                               "Geh%C3%A4lter%20202420240714090503.zip");
    EXPECT_EQ(requests[1].method, "HEAD");
    expectEverySignatureChecked();
    ASSERT_FALSE(reported.empty());
    EXPECT_EQ(reported.back(), outcome.bytes);
    EXPECT_TRUE(std::is_sorted(reported.begin(), reported.end()));
}

TEST_F(S3Store, LargeFileGoesInPartsAtMostTwoAtATime)
{
    startServer();
    const std::string file = WriteRandomFile(m_temp, "large.Bak", 23 * MiB + 11);
    const std::string key = kFolder + "Geh\xC3\xA4lter 2024.Bak";
    const auto outcome = offsite::UploadFile(*client(), file, key, SmallParts(), {}, {});

    ASSERT_TRUE(outcome.ok) << outcome.error;
    EXPECT_EQ(outcome.parts, 5);
    expectStoredAs(key, file);
    EXPECT_TRUE(m_server->unfinishedUploads().empty());
    int parts = 0;
    int mostAtOnce = 0;
    for (const auto& request : m_server->requests()) {
        if (request.partNumber.empty())
            continue;
        ++parts;
        EXPECT_EQ(request.status, 200);
        EXPECT_EQ(request.bytes, request.partNumber == "5" ? 3 * MiB + 11 : 5 * MiB);
        mostAtOnce = std::max(mostAtOnce, request.concurrentUploads);
    }
    EXPECT_EQ(parts, 5);
    EXPECT_GE(mostAtOnce, 1);
    EXPECT_LE(mostAtOnce, 2);
    expectEverySignatureChecked();
}

TEST_F(S3Store, RefusedCredentialsShowTheServicesRefusalAndNoSecret)
{
    startServer();
    const std::string file = WriteRandomFile(m_temp, "small.zip", 1000);
    const std::string key = kFolder + "x.zip";
    const std::string wrongSecret = "Not/The+Secret=Xyz";

    const auto wrong = offsite::UploadFile(*client(wrongSecret), file, key, {}, {}, {});
    EXPECT_FALSE(wrong.ok);
    EXPECT_EQ(wrong.error, "storing '" + key + "' was refused: HTTP 403 SignatureDoesNotMatch: The request signature "
                           "we calculated does not match the signature you provided. Check your key and signing method.");

    const auto unknown = offsite::UploadFile(*client({}, "AKIAUNKNOWN"), file, key, {}, {}, {});
    EXPECT_EQ(unknown.error, "storing '" + key + "' was refused: HTTP 403 InvalidAccessKeyId: The AWS Access Key Id "
                             "you provided does not exist in our records.");

    EXPECT_TRUE(m_server->objects().empty());
    EXPECT_EQ(m_server->requests().size(), 2u) << "a refusal is not retried";
    EXPECT_EQ(wrong.error.find(wrongSecret), std::string::npos);
}

TEST_F(S3Store, DroppedConnectionsAndBusyAnswersAreRetried)
{
    startServer(WithFaults(R"([{"type":"drop","match":{"partNumber":2},"afterBytes":1048576,"times":1},
                              {"type":"status","match":{"partNumber":4},"status":503,"code":"SlowDown","times":2}])"));
    const std::string file = WriteRandomFile(m_temp, "large.zip", 21 * MiB);
    const std::string key = kFolder + "large.zip";
    const auto outcome = offsite::UploadFile(*client(), file, key, SmallParts(), {}, {});

    ASSERT_TRUE(outcome.ok) << outcome.error;
    expectStoredAs(key, file);
    std::vector<std::string> partTwo;
    int partFour = 0;
    for (const auto& request : m_server->requests()) {
        if (request.partNumber == "2")
            partTwo.push_back(request.dropped ? "dropped" : std::to_string(request.status));
        if (request.partNumber == "4")
            ++partFour;
    }
    EXPECT_EQ(partTwo, (std::vector<std::string>{"dropped", "200"}));
    EXPECT_EQ(partFour, 3);
}

TEST_F(S3Store, APartThatKeepsFailingAbortsTheWholeUpload)
{
    startServer(WithFaults(R"([{"type":"drop","match":{"partNumber":3},"afterBytes":65536}])"));
    const std::string file = WriteRandomFile(m_temp, "large.zip", 21 * MiB);
    const std::string key = kFolder + "large.zip";
    const auto outcome = offsite::UploadFile(*client(), file, key, SmallParts(), {}, {});

    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error.rfind("storing part 3 of '" + key + "' failed: ", 0), 0u) << outcome.error;
    EXPECT_NE(outcome.error.find("(5 attempts)"), std::string::npos) << outcome.error;
    EXPECT_EQ(outcome.abortError, "");
    EXPECT_TRUE(m_server->objects().empty());
    EXPECT_TRUE(m_server->unfinishedUploads().empty());
}

TEST_F(S3Store, AStopMidUploadLeavesNeitherObjectNorParts)
{
    startServer(WithFaults(R"([{"type":"throttle","bytesPerSecond":8388608}])"));
    for (const bool multipart : {true, false}) {
        SCOPED_TRACE(multipart ? "multipart" : "single PUT");
        const std::string file = WriteRandomFile(m_temp, "large.zip", 21 * MiB);
        const std::string key = kFolder + (multipart ? "parts.zip" : "whole.zip");
        std::stop_source stop;
        offsite::UploadOptions options = SmallParts();
        if (!multipart)
            options.multipartThreshold = 64 * MiB;
        const auto outcome = offsite::UploadFile(
            *client(), file, key, options,
            [&](std::uint64_t sent, std::uint64_t) {
                if (sent > 6 * MiB)
                    stop.request_stop();
            },
            stop.get_token());
        EXPECT_FALSE(outcome.ok);
        EXPECT_TRUE(outcome.stopped) << outcome.error;
        EXPECT_TRUE(m_server->objects().empty());
        EXPECT_TRUE(m_server->unfinishedUploads().empty());
    }
}

TEST_F(S3Store, RetentionDeletesOnlyTheOldestOfThisDatabasesCopies)
{
    startServer();
    auto s3 = client();
    const std::string file = WriteRandomFile(m_temp, "copy.zip", 2048);
    const std::vector<std::string> foreign = {
        kFolder + "notes.txt",
        kFolder + "Geh\xC3\xA4lter 2024.zip.bak",
        kFolder + "Old/Geh\xC3\xA4lter 202420240101000000.zip",
        "nightly/sql/127.0.0.1,1433/Geh\xC3\xA4lter 2024 Test/Geh\xC3\xA4lter 2024 Test20240101000000.zip",
        "elsewhere/Geh\xC3\xA4lter 202420240101000000.zip",
    };
    for (const std::string& key : foreign)
        ASSERT_TRUE(offsite::UploadFile(*s3, file, key, {}, {}, {}).ok) << key;
    std::vector<std::string> ours;
    for (int day = 1; day <= 4; ++day) {
        ours.push_back(kFolder + "Geh\xC3\xA4lter 2024202407" + (day < 10 ? "0" : "") + std::to_string(day) + "090503.zip");
        ASSERT_TRUE(offsite::UploadFile(*s3, file, ours.back(), {}, {}, {}).ok);
    }
    const auto isCopy = [](std::string_view name) { return offsite::IsCopyName(name, "Geh\xC3\xA4lter 2024"); };

    const auto none = offsite::PruneCopies(*s3, kFolder, isCopy, 0, ours.back(), {});
    EXPECT_TRUE(none.deleted.empty());

    const auto pruned = offsite::PruneCopies(*s3, kFolder, isCopy, 2, ours.back(), {});
    EXPECT_EQ(pruned.error, "");
    EXPECT_EQ(pruned.deleted, (std::vector<std::string>{ours[0], ours[1]}));
    std::vector<std::string> expected = foreign;
    expected.insert(expected.end(), {ours[2], ours[3]});
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(storedKeys(), expected);

    // The copy just verified stays even when the others look newer.
    const auto keepOne = offsite::PruneCopies(*s3, kFolder, isCopy, 1, ours[2], {});
    EXPECT_EQ(keepOne.deleted, (std::vector<std::string>{ours[3]}));
    expectEverySignatureChecked();
}

TEST_F(S3Store, UnfinishedUploadsOfThisDatabaseAreAbortedOthersKept)
{
    startServer();
    auto s3 = client();
    const std::string ours = kFolder + "Geh\xC3\xA4lter 202420240714090503.zip";
    const std::string foreign = kFolder + "other.bin";
    ASSERT_TRUE(s3->createMultipartUpload(ours, {}).ok());
    ASSERT_TRUE(s3->createMultipartUpload(foreign, {}).ok());
    ASSERT_EQ(m_server->unfinishedUploads().size(), 2u);

    const auto outcome = offsite::AbortLeftoverUploads(
        *s3, kFolder, [](std::string_view name) { return offsite::IsCopyName(name, "Geh\xC3\xA4lter 2024"); }, {});
    EXPECT_EQ(outcome.error, "");
    EXPECT_EQ(outcome.aborted, std::vector<std::string>{ours});
    EXPECT_EQ(m_server->unfinishedUploads(), std::vector<std::string>{foreign});
    expectEverySignatureChecked();
}

TEST_F(S3Store, HttpsEndpointsMustShowATrustedCertificate)
{
    S3TestServer::Options tls;
    tls.tls = true;
    startServer(tls);
    const std::string file = WriteRandomFile(m_temp, "small.zip", 4096);
    const char* previous = std::getenv("SSL_CERT_FILE");
    const std::string saved = previous ? previous : "";

    ::setenv("SSL_CERT_FILE", m_server->caFile().c_str(), 1);
    const auto trusted = offsite::UploadFile(*client(), file, kFolder + "a.zip", {}, {}, {});
    EXPECT_TRUE(trusted.ok) << trusted.error;

    ::setenv("SSL_CERT_FILE", "/nonexistent-ca.pem", 1);
    const auto untrusted = offsite::UploadFile(*client(), file, kFolder + "b.zip", {}, {}, {});
    EXPECT_FALSE(untrusted.ok);
    EXPECT_EQ(untrusted.error.rfind("storing '" + kFolder + "b.zip' failed: ", 0), 0u) << untrusted.error;

    if (previous)
        ::setenv("SSL_CERT_FILE", saved.c_str(), 1);
    else
        ::unsetenv("SSL_CERT_FILE");
    EXPECT_EQ(storedKeys(), std::vector<std::string>{kFolder + "a.zip"});
}

} // namespace
