#include "MailTestSupport.h"
#include "fakes/TempFolder.h"

#include "log/Log.h"
#include "mail/BackupMail.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>

using mailtest::logMessages;
using fakes::TempFolder;

namespace {

// A sender that records the operations called and fails where told to.
struct SenderScript {
    std::string failingStep;                 // the operation that returns a failure status
    std::optional<std::string> sendText;     // what SendMail gives back
    std::vector<std::string> calls;
    int created = 0;
};

class ScriptedSender final : public mail::Sender {
public:
    explicit ScriptedSender(SenderScript& script)
        : m_script(script)
    {
    }

    mail::Status SetSubject(const std::string&) override { return step("SetSubject"); }
    mail::Status SetMailingServerName(const std::string&) override { return step("SetMailingServerName"); }
    mail::Status SetBody(const std::string&) override { return step("SetBody"); }
    mail::Status SetServer(const std::string&, std::uint32_t) override { return step("SetServer"); }
    mail::Status UseTls() override { return step("UseTls"); }
    mail::Status UseSsl() override { return step("UseSsl"); }
    mail::Status UseSimple() override { return step("UseSimple"); }
    mail::Status SetUserName(const std::string&) override { return step("SetUserName"); }
    mail::Status SetPassword(const std::string&) override { return step("SetPassword"); }
    mail::Status AddRecipient(const std::string&, const std::string&) override { return step("AddRecipient"); }
    mail::Status SetSenderAddress(const std::string&) override { return step("SetSenderAddress"); }
    mail::Status SetSenderAccount(const std::string&) override { return step("SetSenderAccount"); }
    mail::Status AddAttachment(const std::string&) override { return step("AddAttachment"); }
    mail::Status SetStopToken(std::stop_token) override { return step("SetStopToken"); }
    mail::Status SendMail(std::optional<std::string>& failureText) override
    {
        const mail::Status status = step("SendMail");
        if (!mail::IsFailure(status))
            failureText = m_script.sendText;
        return status;
    }
    std::string lastError() const override { return m_script.failingStep + " went wrong"; }

private:
    mail::Status step(const std::string& name)
    {
        m_script.calls.push_back(name);
        return name == m_script.failingStep ? mail::kFailed : mail::kOk;
    }

    SenderScript& m_script;
};

mail::MailTransport scriptedTransport(SenderScript& script, bool internet = true, bool canCreate = true)
{
    return mail::MailTransport{
        [internet](const std::string&) { return internet; },
        [&script, canCreate]() -> std::unique_ptr<mail::Sender> {
            if (!canCreate)
                return nullptr;
            ++script.created;
            return std::make_unique<ScriptedSender>(script);
        },
    };
}

bool called(const SenderScript& script, const std::string& name)
{
    return std::find(script.calls.begin(), script.calls.end(), name) != script.calls.end();
}

} // namespace

TEST(SendBackupMail, OutcomesLogLinesAndMessageBoxes)
{
    struct Case {
        const char* name;
        bool internet;
        bool canCreate;
        std::string failingStep;
        std::optional<std::string> sendText;
        std::string expectedText;             // empty: must name the failing step instead
        std::vector<std::string> expectedLog;
        bool expectBox;
    };
    const std::vector<Case> cases = {
        {"no connection", false, true, "", {}, "Internet not available.", {"Internet not available."}, false},
        {"no component", true, false, "", {}, "Email Component Object initialization failed.",
         {"Email Component Object initialization failed."}, false},
        {"sent", true, true, "", {}, "Email Sent", {"Sending Email started."}, false},
        {"sent, text given back", true, true, "", std::string("Email not sent: Login denied"),
         "Email not sent: Login denied", {"Sending Email started."}, false},
        {"configuration step fails", true, true, "SetServer", {}, "", {}, false},
        {"attachment refused", true, true, "AddAttachment", {}, "", {}, true},
        {"send fails", true, true, "SendMail", {}, "", {"Sending Email started."}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        const std::string logFile = folder.path("BackupLog.log");
        SenderScript script;
        script.failingStep = c.failingStep;
        script.sendText = c.sendText;
        std::vector<std::string> boxes;
        mail::Delivery delivery;
        {
            logging::Log log(logFile);
            delivery = mail::SendBackupMail("/backups/Sales/temp/Sales.zip", config::MailSettings{}, log,
                                            [&](const std::string& text) { boxes.push_back(text); },
                                            scriptedTransport(script, c.internet, c.canCreate));
        }
        const std::string& result = delivery.text;
        // Only a message the server took counts as sent, whatever text came back.
        EXPECT_EQ(delivery.sent, std::string(c.name) == "sent");
        if (c.expectedText.empty()) {
            EXPECT_NE(result.find(c.failingStep + " went wrong"), std::string::npos) << result;
        } else {
            EXPECT_EQ(result, c.expectedText);
        }
        EXPECT_EQ(logMessages(logFile), c.expectedLog);
        if (c.expectBox) {
            ASSERT_EQ(boxes.size(), 1u);
            EXPECT_EQ(boxes[0], result);
        } else {
            EXPECT_TRUE(boxes.empty());
        }
        if (!c.internet) {
            EXPECT_EQ(script.created, 0);
        }
        if (c.failingStep == "SetServer") {
            EXPECT_FALSE(called(script, "AddAttachment"));
            EXPECT_FALSE(called(script, "SendMail"));
        }
        if (c.failingStep == "AddAttachment") {
            EXPECT_FALSE(called(script, "SendMail"));
        }
    }
}

TEST(SendBackupMail, OnlyTheExactSecurityTextsChooseAMode)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"TLS", "UseTls"}, {"SSL", "UseSsl"}, {"SIMPLE", "UseSimple"},
        {"tls", ""}, {"Ssl", ""}, {"", ""}, {"STARTTLS", ""},
    };
    for (const auto& [security, expectedCall] : cases) {
        SCOPED_TRACE(security);
        TempFolder folder;
        SenderScript script;
        config::MailSettings settings;
        settings.security = security;
        std::string result;
        {
            logging::Log log(folder.path("BackupLog.log"));
            result = mail::SendBackupMail("/tmp/x.Bak", settings, log, {}, scriptedTransport(script)).text;
        }
        std::vector<std::string> modes;
        for (const std::string& call : script.calls) {
            if (call == "UseTls" || call == "UseSsl" || call == "UseSimple")
                modes.push_back(call);
        }
        EXPECT_EQ(modes, expectedCall.empty() ? std::vector<std::string>{} : std::vector<std::string>{expectedCall});
        EXPECT_EQ(result, "Email Sent");
    }
}

TEST(SendTestMail, ReturnsTheTextTheDialogShows)
{
    struct Case {
        const char* name;
        bool internet;
        bool canCreate;
        std::string failingStep;
        std::optional<std::string> sendText;
        std::string expected; // empty: must name the failing step
    };
    const std::vector<Case> cases = {
        {"no connection", false, true, "", {}, "Internet not available."},
        {"no component", true, false, "", {}, "Email Component Object initialization failed."},
        {"sent", true, true, "", {}, "Email has been sent. Please check your email to verify your settings."},
        {"transport text", true, true, "", std::string("Email not sent: Connection refused"),
         "Email not sent: Connection refused"},
        {"configuration step fails", true, true, "AddRecipient", {}, ""},
        {"send fails", true, true, "SendMail", {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SenderScript script;
        script.failingStep = c.failingStep;
        script.sendText = c.sendText;
        const std::string result =
            mail::SendTestMail(config::MailSettings{}, scriptedTransport(script, c.internet, c.canCreate));
        if (c.expected.empty()) {
            EXPECT_NE(result.find(c.failingStep + " went wrong"), std::string::npos) << result;
        } else {
            EXPECT_EQ(result, c.expected);
        }
        EXPECT_FALSE(called(script, "AddAttachment"));
    }
}

TEST(SendPlainMail, SaysWhetherTheMessageWentOutAndWhyNot)
{
    struct Case {
        const char* name;
        bool internet;
        bool canCreate;
        std::string failingStep;
        std::optional<std::string> sendText;
        bool sent;
        std::string expectedError; // for a failing step: the step's own text
    };
    const std::vector<Case> cases = {
        {"no connection", false, true, "", {}, false, "Internet not available."},
        {"no component", true, false, "", {}, false, "Email Component Object initialization failed."},
        {"sent", true, true, "", {}, true, ""},
        {"transport text", true, true, "", std::string("Email not sent: Login denied"), false, "Login denied"},
        {"configuration step fails", true, true, "SetSenderAccount", {}, false, "SetSenderAccount went wrong"},
        {"stop refused", true, true, "SetStopToken", {}, false, "SetStopToken went wrong"},
        {"send fails", true, true, "SendMail", {}, false, "SendMail went wrong"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SenderScript script;
        script.failingStep = c.failingStep;
        script.sendText = c.sendText;
        std::string error;
        EXPECT_EQ(mail::SendPlainMail(config::MailSettings{}, "subject", "body", error, {},
                                      scriptedTransport(script, c.internet, c.canCreate)),
                  c.sent);
        EXPECT_EQ(error, c.expectedError);
        EXPECT_FALSE(called(script, "AddAttachment"));
        if (!c.failingStep.empty() && c.failingStep != "SendMail") {
            EXPECT_FALSE(called(script, "SendMail"));
        }
    }
}

TEST(MailServerResolves, LoopbackAndNumericAddressesCountUnknownNamesDoNot)
{
    const std::vector<std::pair<std::string, bool>> cases = {
        {"127.0.0.1", true}, {"localhost", true}, {"::1", true}, {"[::1]", true},
        {" 127.0.0.1 ", true}, {"", true}, {"no-such-host.invalid", false},
    };
    for (const auto& [address, expected] : cases)
        EXPECT_EQ(mail::MailServerResolves(address), expected) << "'" << address << "'";
}
