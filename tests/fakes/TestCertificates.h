#pragma once

#include <string>
#include <vector>

namespace fakes {

// Throw-away certificates for tests that speak TLS, made with the openssl
// command line in a private temp folder that the destructor removes: a test
// CA, a server certificate that it signs, a self-signed server certificate,
// and a second CA that signs nothing. Nothing secret outlives the object.
//
// create() runs openssl (EC keys, well under a second) and blocks until it is
// done; on failure it returns false and error() holds openssl's output. The
// server certificates name `serverNames`: DNS names, or IP addresses for
// entries that parse as one. Not thread-safe.
class TestCertificates {
public:
    TestCertificates() = default;
    ~TestCertificates();

    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;

    bool create(const std::vector<std::string>& serverNames = {"localhost", "127.0.0.1"});

    const std::string& folder() const { return m_folder; }
    // The CA that signed serverCertificateFile().
    const std::string& caFile() const { return m_caFile; }
    // A CA that signed nothing here: a client trusting only it trusts no server.
    const std::string& otherCaFile() const { return m_otherCaFile; }
    const std::string& serverCertificateFile() const { return m_serverCertificate; }
    const std::string& serverKeyFile() const { return m_serverKey; }
    // Signed by its own key, for the same names.
    const std::string& selfSignedCertificateFile() const { return m_selfSignedCertificate; }
    const std::string& selfSignedKeyFile() const { return m_selfSignedKey; }
    const std::string& error() const { return m_error; }

private:
    std::string m_folder;
    std::string m_caFile;
    std::string m_otherCaFile;
    std::string m_serverCertificate;
    std::string m_serverKey;
    std::string m_selfSignedCertificate;
    std::string m_selfSignedKey;
    std::string m_error;
};

} // namespace fakes
