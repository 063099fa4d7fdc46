#pragma once

#include "engine/BackupSession.h"
#include "engine/BackupView.h"
#include "engine/StatusJournal.h"
#include "log/Log.h"

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace fakes {

// A backup session with a view that keeps what runs show: a real log file at
// the given path, the status journal, what the session told (as short texts:
// "manualRunStarted", "runsQueued A,B", "runStarted 0 A", "runFinished A" ...),
// the status line and the notices. The session's own scheduler works over `services` (leave
// them empty when the test makes its scheduler itself). Thread-safe.
class RecordingOwner final : public engine::BackupView {
public:
    explicit RecordingOwner(const std::string& logPath, engine::BackupServices services = {});
    ~RecordingOwner() override;

    engine::BackupSession& session() { return *m_session; }
    logging::Log& log() { return m_session->log(); }
    engine::StatusJournal& statusJournal() { return m_session->statusJournal(); }
    engine::BackupState& backupState() { return m_session->backupState(); }
    void setMailSettings(const config::MailSettings& settings) { m_session->setMailSettings(settings); }

    void manualRunStarted() override;
    void manualRunEnded() override;
    void autoServiceStarted() override;
    void autoServiceStopped() override;
    void runsQueued(const std::vector<engine::QueuedRun>& runs) override;
    void runsDropped(const std::vector<engine::QueuedRun>& runs) override;
    void runStarted(const engine::StartedRun& run) override;
    void runFinished(const engine::RunResult& result) override;
    void setStatusLine(const std::string& text) override;
    void showNotice(const std::string& text, const std::string& caption) override;

    // The messages of the log file, without their time stamps, in file order.
    std::vector<std::string> logMessages() const;
    std::vector<std::string> events() const;
    std::vector<std::string> messages() const; // "caption: text"
    std::string statusLine() const;

private:
    std::unique_ptr<engine::BackupSession> m_session;

    mutable std::mutex m_mutex; // guards the members below
    void record(std::string event);

    std::vector<std::string> m_events;
    std::vector<std::string> m_messages;
    std::string m_statusLine;
};

// The messages of a log file without their "%m/%d/%y %H:%M:%S  " stamps.
std::vector<std::string> ReadLogMessages(const std::string& logPath);

} // namespace fakes
