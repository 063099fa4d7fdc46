// Encrypted logins as DB_ENCRYPTION asks for them, through the real unixODBC
// + FreeTDS stack against the wire-protocol test server with throw-away
// certificates.

#include "db/DbConnection.h"
#include "db/DriverSettings.h"
#include "db/ResultTable.h"
#include "fakes/TdsTestServer.h"
#include "fakes/TestCertificates.h"

#include <gmock/gmock.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Mode = db::EncryptionOptions::Mode;

namespace {

constexpr const char* kUser = "backup";
constexpr const char* kPassword = "Backup#2024";

std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class Encryption : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_certificates = new fakes::TestCertificates;
        s_wrongName = new fakes::TestCertificates;
        if (!s_certificates->create() || !s_wrongName->create({"db.example"})) {
            s_error = s_certificates->error() + s_wrongName->error();
            return;
        }
        // An administrator's FreeTDS settings: a global setting whose effect
        // shows (FreeTDS writes a log wherever "dump file" says), and two
        // that a login requiring encryption must override.
        s_adminSettings = s_certificates->folder() + "/admin-freetds.conf";
        s_dumpFile = s_certificates->folder() + "/freetds.log";
        std::ofstream(s_adminSettings) << "; an administrator's settings\n[global]\n\tdump file = " << s_dumpFile
                                       << "\n\tencryption = off\n\tcheck certificate hostname = no\n"
                                          "[other]\n\thost = 192.0.2.1\n";
        setenv("FREETDSCONF", s_adminSettings.c_str(), 1);
        if (!db::PrepareDriverSettings(&s_error))
            return;
    }
    static void TearDownTestSuite()
    {
        delete s_certificates;
        delete s_wrongName;
        s_certificates = s_wrongName = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE(s_error.empty()) << s_error;
        m_folder = s_certificates->folder() + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::create_directories(m_folder);
    }
    void TearDown() override { fs::remove_all(m_folder); }

    static std::unique_ptr<fakes::TdsTestServer> startServer(const std::string& certificate, const std::string& key,
                                                             bool force = false)
    {
        fakes::TdsTestServer::Options options;
        options.logins = {{kUser, kPassword}};
        options.databases = {"Sales"};
        options.backupSize = 8192;
        options.tlsCertificateFile = certificate;
        options.tlsKeyFile = key;
        options.forceEncryption = force;
        auto server = std::make_unique<fakes::TdsTestServer>(options);
        EXPECT_TRUE(server->start()) << server->error();
        return server;
    }

    static db::DbConnectionOptions options(Mode mode, const std::string& caFile = {}, bool trust = false)
    {
        db::DbConnectionOptions options;
        options.encryption.mode = mode;
        options.encryption.caFile = caFile;
        options.encryption.trustServerCertificate = trust;
        return options;
    }

    static fakes::TestCertificates* s_certificates;
    static fakes::TestCertificates* s_wrongName;
    static std::string s_adminSettings;
    static std::string s_dumpFile;
    static std::string s_error;
    std::string m_folder;
};

fakes::TestCertificates* Encryption::s_certificates = nullptr;
fakes::TestCertificates* Encryption::s_wrongName = nullptr;
std::string Encryption::s_adminSettings;
std::string Encryption::s_dumpFile;
std::string Encryption::s_error;

// What the server sees for each setting, and a backup over the connection.
TEST_F(Encryption, EachSettingLogsInWithTheEncryptionItAsksFor)
{
    const auto& made = *s_certificates;
    auto trusted = startServer(made.serverCertificateFile(), made.serverKeyFile());
    auto selfSigned = startServer(made.selfSignedCertificateFile(), made.selfSignedKeyFile());
    auto forcing = startServer(made.selfSignedCertificateFile(), made.selfSignedKeyFile(), true);
    auto plain = startServer("", "");

    struct Case {
        const char* name;
        fakes::TdsTestServer* server;
        db::DbConnectionOptions options;
        const char* encryption; // as the server saw the login
        std::string host = "127.0.0.1";
    };
    const Case cases[] = {
        {"require, certificate from the CA file", trusted.get(), options(Mode::Require, made.caFile()), "full"},
        {"require, by a DNS name of the certificate", trusted.get(), options(Mode::Require, made.caFile()), "full",
         "localhost"},
        {"require, any certificate trusted", selfSigned.get(), options(Mode::Require, "", true), "full"},
        {"require, server that insists", forcing.get(), options(Mode::Require, "", true), "full"},
        // Request is today's behaviour: whatever certificate, login packet only.
        {"request, self-signed", selfSigned.get(), options(Mode::Request), "login"},
        {"no settings, self-signed", selfSigned.get(), db::DbConnectionOptions{}, "login"},
        {"no settings, server that insists", forcing.get(), db::DbConnectionOptions{}, "full"},
        {"no settings, no certificate", plain.get(), db::DbConnectionOptions{}, "none"},
        {"off", selfSigned.get(), options(Mode::Off), "none"},
        // A CA file means nothing without Require.
        {"request with a CA file that does not fit", selfSigned.get(), options(Mode::Request, made.otherCaFile()),
         "login"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        db::DbConnection connection(c.options);
        std::string error;
        const std::string dataSource = c.host + "," + std::to_string(c.server->port());
        connection.Open(db::BuildConnectionString(dataSource, "Sales", kUser, kPassword), error);
        ASSERT_TRUE(connection.IsOpen()) << error;
        const auto logins = c.server->logins();
        ASSERT_FALSE(logins.empty());
        EXPECT_EQ(logins.back().encryption, c.encryption);
        EXPECT_EQ(logins.back().password, kPassword);

        const std::string file = m_folder + "/Sales.bak";
        db::ResultTable table;
        EXPECT_EQ(connection.ExecuteCommand("BACKUP DATABASE [Sales] TO DISK = N'" + file + "'", table, error), db::S_OK)
            << error;
        EXPECT_EQ(fs::file_size(file), 8192u);
        fs::remove(file);
    }
}

// Every refusal happens before the login packet: the server journals no
// login, so no password left the program.
TEST_F(Encryption, RequireRefusesBeforeTheLoginAndSaysWhy)
{
    const auto& made = *s_certificates;
    auto trusted = startServer(made.serverCertificateFile(), made.serverKeyFile());
    auto selfSigned = startServer(made.selfSignedCertificateFile(), made.selfSignedKeyFile());
    auto wrongName = startServer(s_wrongName->serverCertificateFile(), s_wrongName->serverKeyFile());
    auto plain = startServer("", "");
    const auto at = [](const std::unique_ptr<fakes::TdsTestServer>& server) {
        return "127.0.0.1," + std::to_string(server->port());
    };
    const std::string untrustedTail = "; set DB_CA_FILE to the certificate authority that issued it, or "
                                      "DB_TRUST_SERVER_CERTIFICATE=TRUE. (GnuTLS: ";

    struct Case {
        const char* name;
        fakes::TdsTestServer* server;
        db::DbConnectionOptions options;
        std::string text;   // the whole text, or its start when GnuTLS's reason follows
        std::string reason = {};
    };
    const Case cases[] = {
        {"no certificate, checked", plain.get(), options(Mode::Require, made.caFile()),
         "The server " + at(plain) + " does not offer encryption; DB_ENCRYPTION=REQUIRE refuses to log in without it."},
        {"no certificate, any trusted", plain.get(), options(Mode::Require, "", true),
         "The server " + at(plain) + " does not offer encryption; DB_ENCRYPTION=REQUIRE refuses to log in without it."},
        {"self-signed against the CA file", selfSigned.get(), options(Mode::Require, made.caFile()),
         "The certificate of the server " + at(selfSigned) + " could not be verified against " + made.caFile()
             + untrustedTail,
         "issuer is unknown"},
        {"signed by a CA the file does not hold", trusted.get(), options(Mode::Require, made.otherCaFile()),
         "The certificate of the server " + at(trusted) + " could not be verified against " + made.otherCaFile()
             + untrustedTail,
         "issuer is unknown"},
        {"self-signed against the system's", selfSigned.get(), options(Mode::Require),
         "The certificate of the server " + at(selfSigned)
             + " could not be verified against the system's trusted certificates" + untrustedTail,
         "issuer is unknown"},
        {"test CA against the system's", trusted.get(), options(Mode::Require),
         "The certificate of the server " + at(trusted)
             + " could not be verified against the system's trusted certificates" + untrustedTail,
         "issuer is unknown"},
        {"issued for another name", wrongName.get(), options(Mode::Require, s_wrongName->caFile()),
         "The certificate of the server " + at(wrongName)
             + " is not issued for the name 127.0.0.1 (it names db.example); connect by a name the certificate "
               "carries, or set DB_TRUST_SERVER_CERTIFICATE=TRUE."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t before = c.server->logins().size();
        db::DbConnection connection(c.options);
        std::string error;
        connection.Open(c.server->connectionString(), error);
        EXPECT_FALSE(connection.IsOpen());
        if (c.reason.empty()) {
            EXPECT_EQ(error, c.text);
        } else {
            EXPECT_THAT(error, StartsWith(c.text));
            EXPECT_THAT(error, HasSubstr(c.reason));
        }
        EXPECT_EQ(c.server->logins().size(), before);
    }
    // Trusting any certificate skips the name check too.
    db::DbConnection trusting(options(Mode::Require, "", true));
    std::string error;
    trusting.Open(wrongName->connectionString(), error);
    EXPECT_TRUE(trusting.IsOpen()) << error;
}

TEST_F(Encryption, TrustSettingsThatCannotWorkAreRefusedWithoutConnecting)
{
    auto server = startServer(s_certificates->serverCertificateFile(), s_certificates->serverKeyFile());
    const std::string missing = m_folder + "/missing.pem";
    const std::string notPem = m_folder + "/notes.txt";
    std::ofstream(notPem) << "not a certificate\n";
    const std::string semicolon = m_folder + "/a;b.pem";
    fs::copy_file(s_certificates->caFile(), semicolon);
    const std::string server127 = "127.0.0.1," + std::to_string(server->port());

    struct Case {
        std::string caFile;
        std::string text;
    };
    const Case cases[] = {
        {missing, "DB_CA_FILE " + missing + " cannot be used: No such file or directory. No connection to the server "
                      + server127 + " was attempted."},
        {m_folder, "DB_CA_FILE " + m_folder + " cannot be used: it is not a file. No connection to the server "
                       + server127 + " was attempted."},
        {notPem, "DB_CA_FILE " + notPem + " cannot be used: it holds no certificate in PEM form. No connection to "
                     "the server " + server127 + " was attempted."},
        {semicolon, "DB_ENCRYPTION=REQUIRE cannot connect: DB_CA_FILE '" + semicolon
                        + "' cannot be written into a FreeTDS settings file, which cannot hold ';', '#', tabs, line "
                          "breaks, repeated or surrounding blanks, or lines over 254 bytes."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.caFile);
        db::DbConnection connection(options(Mode::Require, c.caFile));
        std::string error;
        EXPECT_TRUE(db::Failed(connection.Open(server->connectionString(), error)));
        EXPECT_EQ(error, c.text);
    }
    EXPECT_TRUE(server->logins().empty());
}

// The section FreeTDS reads for a checked login: the system's certificates
// when no CA file is named, the host name checked, and the administrators'
// global settings carried over ahead of the section's own.
TEST_F(Encryption, TheDriverSettingsCheckAgainstTheSystemStoreAndKeepGlobalSettings)
{
    auto server = startServer(s_certificates->serverCertificateFile(), s_certificates->serverKeyFile());
    db::DbConnection requiring(options(Mode::Require));
    std::string error;
    requiring.Open(server->connectionString(), error);
    EXPECT_FALSE(requiring.IsOpen());
    EXPECT_THAT(error, HasSubstr("against the system's trusted certificates"));
    // The administrator's global "dump file" took effect.
    EXPECT_THAT(ReadText(s_dumpFile), HasSubstr("FreeTDS"));

    const char* settingsPath = std::getenv("FREETDSCONF");
    ASSERT_NE(settingsPath, nullptr);
    EXPECT_THAT(settingsPath, StartsWith("/proc/" + std::to_string(getpid()) + "/fd/"));
    const std::string settings = ReadText(settingsPath);
    const std::string own = "\thost = 127.0.0.1\n\tport = " + std::to_string(server->port())
        + "\n\ttds version = 7.4\n\tca file = system\n\tencryption = require\n\tcheck certificate hostname = yes\n";
    const std::size_t ownAt = settings.find(own);
    ASSERT_NE(ownAt, std::string::npos) << settings;
    const std::size_t sectionAt = settings.rfind("\n[", ownAt);
    ASSERT_NE(sectionAt, std::string::npos);
    const std::string section = settings.substr(sectionAt, ownAt - sectionAt);
    EXPECT_THAT(section, HasSubstr("\tdump file = " + s_dumpFile + "\n"));
    // Sections other than [global] are not carried.
    EXPECT_THAT(settings, ::testing::Not(HasSubstr("192.0.2.1")));
    // The same server again reuses its section.
    requiring.Open(server->connectionString(), error);
    EXPECT_EQ(ReadText(settingsPath), settings);
}

} // namespace
