#pragma once

#include "engine/Archiver.h"
#include "engine/FileOps.h"
#include "engine/Mailer.h"

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
                  const ProgressFn& progress) override;
    std::vector<Call> calls() const;

private:
    mutable std::mutex m_mutex; // guards m_fails and m_calls
    bool m_fails = false;
    std::vector<Call> m_calls;
};

// A Mailer that records each attachment and settings copy and answers with
// a set text ("Email Sent" unless told otherwise). Thread-safe.
class FakeMailer final : public engine::Mailer {
public:
    struct Call {
        std::string attachment;
        config::MailSettings settings;
    };

    void setAnswer(std::string answer);
    std::string send(const std::string& attachmentPath, const config::MailSettings& settings, logging::Log& log,
                     const MessageBoxFn& messageBox) override;
    std::vector<Call> calls() const;

private:
    mutable std::mutex m_mutex; // guards m_answer and m_calls
    std::string m_answer = "Email Sent";
    std::vector<Call> m_calls;
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
