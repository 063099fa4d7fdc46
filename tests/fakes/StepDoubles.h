#pragma once

#include "engine/Archiver.h"
#include "engine/FileOps.h"
#include "engine/Mailer.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace fakes {

// An Archiver that copies the source into the "archive" byte for byte and
// reports 50 % and 100 %, or, when told to fail, writes a partial archive
// and returns false. Records its calls. Thread-safe.
class FakeArchiver final : public engine::Archiver {
public:
    struct Call {
        std::string source;
        std::string archive;
    };

    void setFails(bool fails);
    bool compress(const std::string& source, const std::string& archive, logging::Log& log,
                  const ProgressFn& progress, std::stop_token stop = {}) override;
    std::vector<Call> calls() const;

private:
    mutable std::mutex m_mutex; // guards m_fails and m_calls
    bool m_fails = false;
    std::vector<Call> m_calls;
};

// A Mailer that records each attachment and settings copy and answers with
// a set delivery (sent, "Email Sent", unless told otherwise), and records each alert,
// which succeeds unless given a failure text. Thread-safe.
class FakeMailer final : public engine::Mailer {
public:
    struct Call {
        std::string attachment;
        config::MailSettings settings;
    };
    struct Alert {
        config::MailSettings settings;
        std::string subject;
        std::string body;
    };

    void setAnswer(mail::Delivery answer);
    // A non-empty text makes every later alert fail with it.
    void setAlertFailure(std::string error);
    mail::Delivery send(const std::string& attachmentPath, const config::MailSettings& settings, logging::Log& log,
                        const MessageBoxFn& messageBox) override;
    bool sendAlert(const config::MailSettings& settings, const std::string& subject, const std::string& body,
                   std::string& error, std::stop_token stop) override;
    std::vector<Call> calls() const;
    // Every alert asked for, failed ones included, oldest first.
    std::vector<Alert> alerts() const;
    // Blocks until at least `count` alerts were asked for; false after
    // `timeout` of real time.
    bool waitForAlerts(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    mutable std::mutex m_mutex; // guards the members below
    mutable std::condition_variable m_alertAdded;
    mail::Delivery m_answer{true, "Email Sent"};
    std::string m_alertFailure;
    std::vector<Call> m_calls;
    std::vector<Alert> m_alerts;
};

// Real file operations, except that the first `n` removals (or all, with
// n < 0) and, when asked, every rename fail with "Device or resource busy".
class FailingFileOps final : public engine::FileOps {
public:
    void failRemovals(int n);
    void failRenames(bool fail);
    bool removeFile(const std::string& path, std::string& error) override;
    bool renameFile(const std::string& from, const std::string& to, std::string& error) override;
    int removeAttempts() const;

private:
    mutable std::mutex m_mutex; // guards the members below
    int m_failRemovals = 0;
    bool m_failRenames = false;
    int m_removeAttempts = 0;
};

} // namespace fakes
