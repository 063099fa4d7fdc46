#include "EngineTestSupport.h"

#include "config/DatabaseList.h"
#include "engine/BackupScheduler.h"
#include "engine/BackupSession.h"
#include "engine/FailureAlerts.h"
#include "engine/Mailer.h"
#include "fakes/SmtpTestServer.h"

#include <gmock/gmock.h>

#include <filesystem>
#include <stdlib.h>
#include <thread>

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace std::chrono_literals;

namespace {

constexpr const char* kRecipient = "dba@example.org";

engine::RunResult Failed(const std::string& name, const std::string& status = "Database Connection failed.")
{
    engine::RunResult result;
    result.databaseName = name;
    result.row = {"1", name, status, "", "31/1/2024  23:59:59", ""};
    result.logLines = {"Backup Started for Database " + name, "Error: " + status};
    return result;
}

engine::RunResult Succeeded(const std::string& name)
{
    engine::RunResult result;
    result.databaseName = name;
    result.row = {"2", name, "Zip Completed", "1234", "31/1/2024  23:59:59", "Email Sent"};
    result.outcome = engine::RunOutcome::Completed;
    result.backupDone = true;
    result.logLines = {"Backup Started for Database " + name};
    return result;
}

engine::RunResult Stopped(const std::string& name)
{
    engine::RunResult result = Failed(name, "Backup stopped because the program is ending.");
    result.outcome = engine::RunOutcome::Stopped;
    return result;
}

// The alerts over a FakeMailer, a ManualClock and a real log. Destroying the
// alerts (done by drain()) sends whatever is queued, so every check of what
// was sent follows it.
class FailureAlertsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_folder = std::make_unique<fakes::TempFolder>("corvella-alerts");
        m_root = m_folder->root();
        m_log = std::make_unique<logging::Log>(m_root + "/BackupLog.log");
        m_settings.recipient = kRecipient;
        m_settings.serverAddress = "127.0.0.1";
        m_settings.mailOnFailure = true;
        m_clock.setLocalTime(2024, 2, 1, 0, 5, 9);
        m_alerts = std::make_unique<engine::FailureAlerts>(m_mailer, m_clock, *m_log, [this] {
            std::lock_guard lock(m_settingsMutex);
            return m_settings;
        });
    }

    void TearDown() override
    {
        m_alerts.reset();
        m_log.reset();
        m_folder.reset();
    }

    void setMailOnFailure(bool on)
    {
        std::lock_guard lock(m_settingsMutex);
        m_settings.mailOnFailure = on;
    }

    void drain() { m_alerts.reset(); }

    std::vector<std::string> subjects() const
    {
        std::vector<std::string> out;
        for (const auto& alert : m_mailer.alerts())
            out.push_back(alert.subject);
        return out;
    }

    std::vector<std::string> logMessages() const { return fakes::ReadLogMessages(m_root + "/BackupLog.log"); }

    std::unique_ptr<fakes::TempFolder> m_folder;
    std::string m_root;
    std::unique_ptr<logging::Log> m_log;
    fakes::FakeMailer m_mailer;
    fakes::ManualClock m_clock;
    std::mutex m_settingsMutex;
    config::MailSettings m_settings;
    std::unique_ptr<engine::FailureAlerts> m_alerts;
};

} // namespace

TEST_F(FailureAlertsTest, OneAlertPerDatabaseAndHourThenOneWhenItSucceedsAgain)
{
    struct Step {
        std::chrono::minutes later;
        engine::RunResult result;
    };
    const std::vector<Step> steps = {
        {0min, Failed("Sales")},      // first failure: alert
        {30min, Failed("Sales")},     // within the hour: none
        {0min, Failed("Payroll")},    // another database counts on its own: alert
        {0min, Stopped("Sales")},     // stopped: nothing, and the failure goes on
        {29min, Failed("Sales")},     // 59 minutes after the alert: none
        {1min, Failed("Sales")},      // an hour after it: alert
        {0min, Succeeded("Sales")},   // recovered: one mail
        {0min, Succeeded("Sales")},   // still fine: none
        {0min, Succeeded("Archive")}, // never failed: none
        {0min, Failed("Sales")},      // fails again right away: a new failure, alert
    };
    for (const Step& step : steps) {
        m_clock.advance(step.later);
        m_alerts->runFinished(step.result);
    }
    drain();

    EXPECT_THAT(subjects(), ElementsAre("Corvella: backup of Sales failed", "Corvella: backup of Payroll failed",
                                        "Corvella: backup of Sales failed",
                                        "Corvella: backup of Sales succeeded again",
                                        "Corvella: backup of Sales failed"));
    for (const auto& alert : m_mailer.alerts())
        EXPECT_EQ(alert.settings.recipient, kRecipient);
    EXPECT_THAT(logMessages(), ElementsAre("Failure alert for database Sales sent to dba@example.org",
                                           "Failure alert for database Payroll sent to dba@example.org",
                                           "Failure alert for database Sales sent to dba@example.org",
                                           "Failure alert for database Sales sent to dba@example.org",
                                           "Failure alert for database Sales sent to dba@example.org"));
}

TEST_F(FailureAlertsTest, TheBodyLabelsTheRowTheTimeAndTheRunsLogLines)
{
    m_alerts->runFinished(Failed("Sales", "Backup verification failed: media error"));
    m_alerts->runFinished(Succeeded("Sales"));
    drain();

    const auto alerts = m_mailer.alerts();
    ASSERT_EQ(alerts.size(), 2u);
    EXPECT_EQ(alerts[0].body,
              "The backup of database Sales failed.\n"
              "\n"
              "Status: Backup verification failed: media error\n"
              "File size: \n"
              "Backup time: 31/1/2024  23:59:59\n"
              "Email status: \n"
              "Time: 2024-02-01 00:05:09\n"
              "\n"
              "Log of the run:\n"
              "Backup Started for Database Sales\n"
              "Error: Backup verification failed: media error\n"
              "\n"
              "Further failures of this database within the next hour are not mailed.\n");
    EXPECT_EQ(alerts[1].body,
              "The backup of database Sales succeeded again.\n"
              "\n"
              "Status: Zip Completed\n"
              "File size: 1234\n"
              "Backup time: 31/1/2024  23:59:59\n"
              "Email status: Email Sent\n"
              "Time: 2024-02-01 00:05:09\n"
              "\n"
              "Log of the run:\n"
              "Backup Started for Database Sales\n");
}

TEST_F(FailureAlertsTest, AnAlertThatCannotBeSentIsLoggedAndTheLimitsStillHold)
{
    m_mailer.setAlertFailure("Connection refused. Check the mail server address and port.");
    m_alerts->runFinished(Failed("Sales"));
    m_clock.advance(10min);
    m_alerts->runFinished(Failed("Sales"));
    m_alerts->runFinished(Succeeded("Sales"));
    drain();

    EXPECT_THAT(subjects(), ElementsAre("Corvella: backup of Sales failed", "Corvella: backup of Sales succeeded again"));
    EXPECT_THAT(logMessages(),
                ElementsAre("Failure alert for database Sales not sent: Connection refused. Check the mail server "
                            "address and port.",
                            "Failure alert for database Sales not sent: Connection refused. Check the mail server "
                            "address and port."));
}

TEST_F(FailureAlertsTest, WithTheOptionOffNothingIsSentAndTurningItOnAlertsAtTheNextFailure)
{
    setMailOnFailure(false);
    m_alerts->runFinished(Failed("Sales"));
    m_alerts->runFinished(Succeeded("Sales"));
    m_alerts->runFinished(Failed("Payroll"));
    // Payroll failed unannounced: its recovery is not mailed either.
    setMailOnFailure(true);
    m_alerts->runFinished(Succeeded("Payroll"));
    m_alerts->runFinished(Failed("Sales"));
    drain();

    EXPECT_THAT(subjects(), ElementsAre("Corvella: backup of Sales failed"));
}

TEST_F(FailureAlertsTest, TheRunIsNeverHeldUpByTheMailAndTheDestructorGivesUpOnTheRest)
{
    // A mailer that blocks until stopped: runFinished must still return, and
    // the destructor must end the send under way once the drain time is over.
    class BlockingMailer final : public engine::Mailer {
    public:
        mail::Delivery send(const std::string&, const config::MailSettings&, logging::Log&,
                            const MessageBoxFn&) override
        {
            return {true, "Email Sent"};
        }
        bool sendAlert(const config::MailSettings&, const std::string&, const std::string&, std::string& error,
                       std::stop_token stop) override
        {
            std::mutex mutex;
            std::condition_variable_any wake;
            std::unique_lock lock(mutex);
            wake.wait(lock, stop, [] { return false; });
            error = "the program is ending.";
            return false;
        }
    } blocking;
    auto alerts = std::make_unique<engine::FailureAlerts>(
        blocking, m_clock, *m_log, [this] { return m_settings; }, 200ms);
    alerts->runFinished(Failed("Sales"));
    alerts->runFinished(Failed("Payroll"));
    alerts.reset();

    EXPECT_THAT(logMessages(), ::testing::UnorderedElementsAre(
                                   "Failure alert for database Sales not sent: the program is ending.",
                                   "Failure alert for database Payroll not sent: the program is ending."));
}

// Through the session's own scheduler and the real SMTP transport: a run that
// cannot connect mails the alert, which arrives as the operator would read it.
TEST_F(EngineTest, AFailedRunMailsAnAlertThroughTheConfiguredServer)
{
    fakes::SmtpTestServer smtp({fakes::SmtpTestServer::Mode::Plain, "corvella@example.org", "mail-secret", false});
    ASSERT_TRUE(smtp.start()) << smtp.error();
    engine::SmtpMailer mailer;
    engine::BackupServices withSmtp = services();
    withSmtp.mailer = &mailer;
    const std::string logPath = m_root + "/AlertLog.log";
    auto owner = std::make_unique<fakes::RecordingOwner>(logPath, withSmtp);
    config::MailSettings mail;
    mail.security = "SIMPLE";
    mail.recipient = kRecipient;
    mail.serverAddress = "127.0.0.1";
    mail.port = static_cast<std::uint32_t>(smtp.port());
    mail.account = "corvella@example.org";
    mail.password = "mail-secret";
    mail.subject = "Nightly backup";
    mail.mailingServerName = "Corvella";
    mail.mailOnFailure = true;
    owner->setMailSettings(mail);
    m_connector.refuseConnections("Login failed for user 'sa'.");

    config::DatabaseList list;
    const int row = list.insertRow(0);
    const std::vector<std::pair<int, std::string>> cells = {
        {config::ColSerial, "1"}, {config::ColDatabaseUrl, "127.0.0.1"}, {config::ColDatabaseName, "Sales"},
        {config::ColUserName, "sa"}, {config::ColInterval, "30 Minutes"}, {config::ColBackupPath, m_root + "/backups"},
        {config::ColZip, "False"}, {config::ColEmail, "False"}, {config::ColKeepOld, "False"},
    };
    for (const auto& [column, text] : cells)
        list.setCell(row, column, text);
    ASSERT_EQ(owner->session().scheduler().ManualBackup(list), 1);
    ASSERT_TRUE(owner->session().scheduler().waitUntilIdle(10s));
    const engine::StatusJournal::Row shown = owner->statusJournal().rows().at(0);
    owner.reset(); // sends what is queued

    const auto messages = smtp.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].subject, "Corvella: backup of Sales failed");
    EXPECT_EQ(messages[0].envelopeTo, std::vector<std::string>{kRecipient});
    EXPECT_TRUE(messages[0].attachments.empty());
    const std::string& body = messages[0].body;
    // The texts the run itself showed and logged, line by line.
    std::vector<std::string> expectedLines = {
        "Status: " + shown[engine::StatusBackupStatus] + "\r\n",
        "Backup time: " + shown[engine::StatusBackupTime] + "\r\n",
        "Log of the run:\r\nBackup Started for Database Sales\r\n",
    };
    for (const std::string& logged : fakes::ReadLogMessages(logPath)) {
        if (logged.starts_with("Error: "))
            expectedLines.push_back(logged + "\r\n");
    }
    ASSERT_EQ(expectedLines.size(), 4u) << "the run logged no error line";
    EXPECT_NE(shown[engine::StatusBackupStatus], "");
    for (const std::string& line : expectedLines)
        EXPECT_NE(body.find(line), std::string::npos) << line << " not in:\n" << body;
    EXPECT_THAT(fakes::ReadLogMessages(logPath),
                ::testing::Contains("Failure alert for database Sales sent to dba@example.org"));
}
