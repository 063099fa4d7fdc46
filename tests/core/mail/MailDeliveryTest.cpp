#include "MailTestSupport.h"
#include "fakes/TempFolder.h"

#include "fakes/DescriptorLimit.h"
#include "fakes/SmtpTestServer.h"
#include "log/Log.h"
#include "mail/BackupMail.h"
#include "mail/MailComponent.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <stop_token>
#include <thread>

using fakes::SmtpTestServer;
using mailtest::logMessages;
using mailtest::ScopedEnv;
using mailtest::sha256Hex;
using fakes::TempFolder;

namespace {

constexpr const char* kUser = "backup@example.com";
constexpr const char* kPassword = "pa:ss w\xC3\xB6rd!";

// Bytes that trip up careless encoders: every byte value, SMTP's end-of-data
// sequence, lines starting with a dot.
std::string awkwardBytes(std::size_t size)
{
    std::string bytes;
    bytes.reserve(size + 300);
    while (bytes.size() < size) {
        for (int value = 0; value < 256; ++value)
            bytes += static_cast<char>(value);
        bytes += "\r\n.\r\n..\n.";
    }
    bytes.resize(size);
    return bytes;
}

config::MailSettings settingsFor(int port, const std::string& security)
{
    config::MailSettings settings;
    settings.security = security;
    settings.recipient = "dba@example.org";
    settings.serverAddress = "127.0.0.1";
    settings.account = kUser;
    settings.password = kPassword;
    settings.port = static_cast<std::uint32_t>(port);
    settings.subject = "Nightly backup \xE2\x80\x93 S\xC3\xA3o Paulo office, all databases, please keep this message";
    settings.messageText = "Hello,\nthe backup is attached.\r\n.\nGr\xC3\xBC\xC3\x9F" "e";
    settings.mailingServerName = "Backup \"Manager\" \xC3\x89quipe";
    return settings;
}

std::string withCrlf(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        if (text[i] == '\n')
            out += "\r\n";
        else
            out += text[i];
    }
    return out;
}

struct ModeCase {
    SmtpTestServer::Mode mode;
    const char* security;
};

void PrintTo(const ModeCase& c, std::ostream* out)
{
    *out << c.security;
}

class MailDeliveryTest : public ::testing::TestWithParam<ModeCase> {};

} // namespace

TEST_P(MailDeliveryTest, TheReceivedMessageCarriesEverySetting)
{
    SmtpTestServer server({GetParam().mode, kUser, kPassword, false});
    ASSERT_TRUE(server.start()) << server.error();
    ScopedEnv trust("SSL_CERT_FILE", SmtpTestServer::caFile());
    TempFolder folder;
    const std::string attachment = folder.path("Sales_20240131235959.zip");
    const std::string bytes = awkwardBytes(10001);
    mailtest::writeFile(attachment, bytes);
    const config::MailSettings settings = settingsFor(server.port(), GetParam().security);

    std::vector<std::string> boxes;
    std::string result;
    {
        logging::Log log(folder.path("BackupLog.log"));
        result = mail::SendBackupMail(attachment, settings, log,
                                      [&](const std::string& text, const std::string&) { boxes.push_back(text); }).text;
    }

    EXPECT_EQ(result, "Email Sent");
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(logMessages(folder.path("BackupLog.log")), std::vector<std::string>{"Sending Email started."});
    const auto messages = server.messages();
    ASSERT_EQ(messages.size(), 1u);
    const fakes::ReceivedMail& mail = messages[0];
    EXPECT_EQ(mail.parseError, "");
    EXPECT_EQ(mail.defects, std::vector<std::string>{});
    EXPECT_EQ(mail.envelopeTo, std::vector<std::string>{"dba@example.org"});
    EXPECT_EQ(mail.envelopeFrom, kUser);
    EXPECT_EQ(mail.authenticatedAs, kUser);
    EXPECT_EQ(mail.to, "dba@example.org");
    EXPECT_EQ(mail.subject, settings.subject);
    EXPECT_EQ(mail.fromName, settings.mailingServerName);
    EXPECT_EQ(mail.fromAddress, kUser);
    EXPECT_EQ(mail.contentType, "multipart/mixed");
    EXPECT_EQ(mail.textType, "text/plain");
    EXPECT_EQ(mail.textCharset, "utf-8");
    EXPECT_EQ(mail.textTransferEncoding, "quoted-printable");
    EXPECT_EQ(mail.body, withCrlf(settings.messageText));
    ASSERT_EQ(mail.attachments.size(), 1u);
    const fakes::ReceivedAttachment& attached = mail.attachments[0];
    EXPECT_EQ(attached.fileName, "Sales_20240131235959.zip");
    EXPECT_EQ(attached.contentType, "application/octet-stream");
    EXPECT_EQ(attached.transferEncoding, "base64");
    EXPECT_EQ(attached.size, bytes.size());
    EXPECT_EQ(attached.sha256, sha256Hex(bytes));
    EXPECT_EQ(mail.headerCount("Date"), 1);
    EXPECT_EQ(mail.headerCount("Message-ID"), 1);
}

INSTANTIATE_TEST_SUITE_P(Modes, MailDeliveryTest,
                         ::testing::Values(ModeCase{SmtpTestServer::Mode::Plain, "SIMPLE"},
                                           ModeCase{SmtpTestServer::Mode::StartTls, "TLS"},
                                           ModeCase{SmtpTestServer::Mode::ImplicitTls, "SSL"}),
                         [](const auto& info) { return std::string(info.param.security); });

TEST(MailDelivery, FailuresAreToldInWordsAndNothingIsDelivered)
{
    struct Case {
        const char* name;
        SmtpTestServer::Options server;
        std::function<void(config::MailSettings&)> change;
        bool trustOtherCa;
        bool stopServerFirst;
        std::vector<std::string> expectedParts;
        bool noDescriptorLeft = false; // as under ulimit -n, when every descriptor is in use
    };
    const auto none = [](config::MailSettings&) {};
    const std::vector<Case> cases = {
        {"server down", {SmtpTestServer::Mode::Plain, "", "", false}, none, false, true, {"connect"}},
        {"wrong password", {SmtpTestServer::Mode::Plain, kUser, "other", false},
         [](config::MailSettings& s) { s.security = "SIMPLE"; }, false, false, {"535"}},
        {"login required but no account", {SmtpTestServer::Mode::Plain, kUser, kPassword, false},
         [](config::MailSettings& s) { s.security = "SIMPLE"; s.account = ""; }, false, false, {"530"}},
        {"STARTTLS with an untrusted certificate", {SmtpTestServer::Mode::StartTls, "", "", false},
         [](config::MailSettings& s) { s.security = "TLS"; }, true, false, {"certificate"}},
        {"TLS with an untrusted certificate", {SmtpTestServer::Mode::ImplicitTls, "", "", false},
         [](config::MailSettings& s) { s.security = "SSL"; }, true, false, {"certificate"}},
        {"STARTTLS required, server without it", {SmtpTestServer::Mode::Plain, "", "", false},
         [](config::MailSettings& s) { s.security = "TLS"; }, false, false, {"TLS"}},
        {"recipient refused as unusable", {SmtpTestServer::Mode::Plain, "", "", false},
         [](config::MailSettings& s) { s.recipient = "dba@example.org\r\nRCPT TO:<other@example.org>"; },
         false, false, {"recipient address"}},
        {"no server set", {SmtpTestServer::Mode::Plain, "", "", false},
         [](config::MailSettings& s) { s.serverAddress = ""; }, false, false, {"No mail server"}},
        {"port outside the valid range", {SmtpTestServer::Mode::Plain, "", "", false},
         [](config::MailSettings& s) { s.port = 70000; }, false, false, {"port 70000"}},
        {"no descriptor left for the connection", {SmtpTestServer::Mode::Plain, "", "", false}, none, false, false,
         {"Email not sent: Cannot open a connection to the mail server: Too many open files"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SmtpTestServer server(c.server);
        ASSERT_TRUE(server.start()) << server.error();
        ScopedEnv trust("SSL_CERT_FILE", c.trustOtherCa ? SmtpTestServer::otherCaFile() : SmtpTestServer::caFile());
        config::MailSettings settings = settingsFor(server.port(), "SIMPLE");
        c.change(settings);
        if (c.stopServerFirst)
            server.stop();

        std::optional<fakes::NoFreeDescriptors> noneLeft;
        if (c.noDescriptorLeft) {
            ASSERT_TRUE(noneLeft.emplace().lowered());
        }
        const std::string text = mail::SendTestMail(settings);
        noneLeft.reset();

        EXPECT_EQ(text.rfind("Email not sent: ", 0), 0u) << text;
        for (const std::string& part : c.expectedParts)
            EXPECT_NE(text.find(part), std::string::npos) << text;
        EXPECT_EQ(text.find(kPassword), std::string::npos) << text;
        if (server.isRunning()) {
            EXPECT_TRUE(server.messages().empty());
        }
    }
}

TEST(MailDelivery, TestMailGoesOutWithoutAttachmentAndLoginOnlyWithAnAccount)
{
    SmtpTestServer server({SmtpTestServer::Mode::Plain, "", "", false});
    ASSERT_TRUE(server.start()) << server.error();

    // A server that offers no login still takes the message from an account.
    config::MailSettings settings = settingsFor(server.port(), "SIMPLE");
    EXPECT_EQ(mail::SendTestMail(settings), mail::kTestMailSentText);
    // No account: the envelope sender is empty and no login is tried.
    settings.account.clear();
    settings.recipient = "first@example.org; second@example.org";
    EXPECT_EQ(mail::SendTestMail(settings), mail::kTestMailSentText);

    const auto messages = server.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_TRUE(messages[0].attachments.empty());
    EXPECT_EQ(messages[0].body, withCrlf(settings.messageText));
    EXPECT_EQ(messages[0].authenticatedAs, "");
    EXPECT_EQ(messages[1].envelopeFrom, "<>");
    EXPECT_EQ(messages[1].envelopeTo, (std::vector<std::string>{"first@example.org", "second@example.org"}));
}

TEST(MailDelivery, HeaderTextsCannotAddHeaders)
{
    SmtpTestServer server({SmtpTestServer::Mode::Plain, "", "", false});
    ASSERT_TRUE(server.start()) << server.error();
    config::MailSettings settings = settingsFor(server.port(), "SIMPLE");
    settings.subject = "Backup\r\nBcc: victim@example.org";
    settings.mailingServerName = "Ops\nReply-To: attacker@example.org";

    EXPECT_EQ(mail::SendTestMail(settings), mail::kTestMailSentText);

    const auto messages = server.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].headerCount("Bcc"), 0);
    EXPECT_EQ(messages[0].headerCount("Reply-To"), 0);
    EXPECT_EQ(messages[0].envelopeTo, std::vector<std::string>{"dba@example.org"});
    EXPECT_EQ(messages[0].subject, settings.subject);
    EXPECT_EQ(messages[0].fromName, settings.mailingServerName);
}

TEST(MailDelivery, AMissingAttachmentStopsTheSendWithAMessageBox)
{
    SmtpTestServer server({SmtpTestServer::Mode::Plain, "", "", false});
    ASSERT_TRUE(server.start()) << server.error();
    TempFolder folder;
    const std::string missing = folder.path("Sales.zip");
    std::vector<std::string> boxes;
    std::string result;
    {
        logging::Log log(folder.path("BackupLog.log"));
        result = mail::SendBackupMail(missing, settingsFor(server.port(), "SIMPLE"), log,
                                      [&](const std::string& text, const std::string&) { boxes.push_back(text); }).text;
    }
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], result);
    EXPECT_NE(result.find(missing), std::string::npos) << result;
    EXPECT_NE(result.find("No such file"), std::string::npos) << result;
    EXPECT_TRUE(logMessages(folder.path("BackupLog.log")).empty());
    EXPECT_TRUE(server.messages().empty());
}

TEST(MailDelivery, AttachmentsOfEverySizeArriveWhole)
{
    SmtpTestServer server({SmtpTestServer::Mode::Plain, "", "", false});
    ASSERT_TRUE(server.start()) << server.error();
    TempFolder folder;
    // Around the encoder's line (57 bytes) and block (57 * 4096 bytes) sizes.
    const std::vector<std::size_t> sizes = {0, 1, 2, 56, 57, 58, 233471, 233472, 233473, 700001};
    for (std::size_t size : sizes) {
        SCOPED_TRACE(size);
        const std::string path = folder.path("db_" + std::to_string(size) + ".Bak");
        const std::string bytes = awkwardBytes(size);
        mailtest::writeFile(path, bytes);
        logging::Log log(folder.path("BackupLog.log"));
        EXPECT_EQ(mail::SendBackupMail(path, settingsFor(server.port(), "SIMPLE"), log, {}).text, "Email Sent");
    }
    const auto messages = server.messages();
    ASSERT_EQ(messages.size(), sizes.size());
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        SCOPED_TRACE(sizes[i]);
        EXPECT_EQ(messages[i].defects, std::vector<std::string>{});
        ASSERT_EQ(messages[i].attachments.size(), 1u);
        const fakes::ReceivedAttachment& attached = messages[i].attachments[0];
        EXPECT_EQ(attached.fileName, "db_" + std::to_string(sizes[i]) + ".Bak");
        EXPECT_EQ(attached.size, sizes[i]);
        EXPECT_EQ(attached.sha256, sha256Hex(awkwardBytes(sizes[i])));
    }
    // Byte for byte too, for the size whose last line is short.
    EXPECT_TRUE(messages.back().attachments[0].bytes() == awkwardBytes(sizes.back()));
}

TEST(MailDelivery, PlainMailArrivesWithoutAttachmentOrGivesTheReason)
{
    SmtpTestServer server({SmtpTestServer::Mode::StartTls, kUser, kPassword, false});
    ASSERT_TRUE(server.start()) << server.error();
    ScopedEnv trust("SSL_CERT_FILE", SmtpTestServer::caFile());
    const config::MailSettings settings = settingsFor(server.port(), "TLS");
    const std::string subject = "Corvella: backup of Verk\xC3\xA4ufe failed";
    const std::string body = "Status: Connection failed\nLog of the run:\nline one\n";

    std::string error = "untouched";
    EXPECT_TRUE(mail::SendPlainMail(settings, subject, body, error));
    EXPECT_EQ(error, "untouched");

    // A stop asked for before the send: nothing goes out.
    std::stop_source stop;
    stop.request_stop();
    EXPECT_FALSE(mail::SendPlainMail(settings, "not sent", body, error, stop.get_token()));
    EXPECT_EQ(error, "the program is ending.");

    config::MailSettings wrongPassword = settings;
    wrongPassword.password = "wrong";
    EXPECT_FALSE(mail::SendPlainMail(wrongPassword, "not sent", body, error));
    EXPECT_EQ(error.rfind("Email not sent", 0), std::string::npos) << error;
    EXPECT_NE(error.find("535"), std::string::npos) << error;

    const auto messages = server.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].subject, subject);
    EXPECT_EQ(messages[0].body, withCrlf(body));
    EXPECT_EQ(messages[0].envelopeTo, std::vector<std::string>{"dba@example.org"});
    EXPECT_EQ(messages[0].fromName, settings.mailingServerName);
    EXPECT_TRUE(messages[0].attachments.empty());
}

// A server that accepts the connection and never answers: the stop ends the
// wait, not the ten-minute stall limit.
TEST(MailDelivery, AStopEndsASendThatWaitsForTheServer)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const config::MailSettings settings = settingsFor(ntohs(address.sin_port), "SIMPLE");

    std::stop_source stop;
    std::string error;
    bool sent = true;
    std::thread sender([&] { sent = mail::SendPlainMail(settings, "silent", "body", error, stop.get_token()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop.request_stop();
    sender.join();
    ::close(listener);

    EXPECT_FALSE(sent);
    EXPECT_EQ(error, "the program is ending.");
}
