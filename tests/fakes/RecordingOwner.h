#pragma once

#include "engine/BackupOwner.h"
#include "engine/StatusJournal.h"
#include "log/Log.h"

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace fakes {

// A BackupOwner that keeps what a run shows: a real log file at the given
// path, a status journal, the control switches, the status line and the
// message boxes (answered at once). Thread-safe.
class RecordingOwner final : public engine::BackupOwner {
public:
    explicit RecordingOwner(const std::string& logPath, bool withLock = true);

    logging::Log& log() override { return m_log; }
    engine::StatusJournal& statusJournal() override { return m_journal; }
    engine::BackupState& backupState() override { return m_state; }
    void enableControl(int controlId, bool enabled) override;
    void setStatusLine(const std::string& text) override;
    void showMessage(const std::string& text, const std::string& caption) override;
    config::MailSettings mailSettings() const override;

    void setMailSettings(const config::MailSettings& settings);
    // The messages of the log file, without their time stamps, in file order.
    std::vector<std::string> logMessages() const;
    std::vector<std::pair<int, bool>> controlChanges() const;
    std::vector<std::string> messages() const; // "caption: text"
    std::string statusLine() const;

private:
    logging::Log m_log;
    engine::StatusJournal m_journal;
    std::mutex m_backupLock;
    engine::BackupState m_state;

    mutable std::mutex m_mutex; // guards the members below
    std::vector<std::pair<int, bool>> m_controls;
    std::vector<std::string> m_messages;
    std::string m_statusLine;
    config::MailSettings m_mail;
};

// The messages of a log file without their "%m/%d/%y %H:%M:%S  " stamps.
std::vector<std::string> ReadLogMessages(const std::string& logPath);

} // namespace fakes
