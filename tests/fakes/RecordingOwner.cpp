#include "fakes/RecordingOwner.h"

#include <fstream>

namespace fakes {

RecordingOwner::RecordingOwner(const std::string& logPath, engine::BackupServices services)
{
    if (services.applicationName.empty())
        services.applicationName = "corvella";
    m_session = std::make_unique<engine::BackupSession>(engine::BackupSession::Paths{"", logPath, ""}, std::move(services));
    m_session->addView(this);
}

RecordingOwner::~RecordingOwner()
{
    m_session->removeView(this);
}

void RecordingOwner::record(std::string event)
{
    std::lock_guard lock(m_mutex);
    m_events.push_back(std::move(event));
}

namespace {

std::string Names(const std::vector<engine::QueuedRun>& runs)
{
    std::string names;
    for (const engine::QueuedRun& run : runs)
        names += (names.empty() ? "" : ",") + run.databaseName;
    return names;
}

} // namespace

void RecordingOwner::manualRunStarted()
{
    record("manualRunStarted");
}

void RecordingOwner::manualRunEnded()
{
    record("manualRunEnded");
}

void RecordingOwner::autoServiceStarted()
{
    record("autoServiceStarted");
}

void RecordingOwner::autoServiceStopped()
{
    record("autoServiceStopped");
}

void RecordingOwner::runsQueued(const std::vector<engine::QueuedRun>& runs)
{
    record("runsQueued " + Names(runs));
}

void RecordingOwner::runsDropped(const std::vector<engine::QueuedRun>& runs)
{
    record("runsDropped " + Names(runs));
}

void RecordingOwner::runStarted(const engine::StartedRun& run)
{
    record("runStarted " + std::to_string(run.journalRow) + " " + run.run.databaseName);
}

void RecordingOwner::runFinished(const engine::RunResult& result)
{
    record("runFinished " + result.databaseName);
}

void RecordingOwner::setStatusLine(const std::string& text)
{
    std::lock_guard lock(m_mutex);
    m_statusLine = text;
}

void RecordingOwner::showNotice(const std::string& text, const std::string& caption)
{
    std::lock_guard lock(m_mutex);
    m_messages.push_back(caption + ": " + text);
}

std::vector<std::string> RecordingOwner::logMessages() const
{
    return ReadLogMessages(m_session->logPath());
}

std::vector<std::string> RecordingOwner::events() const
{
    std::lock_guard lock(m_mutex);
    return m_events;
}

std::vector<std::string> RecordingOwner::messages() const
{
    std::lock_guard lock(m_mutex);
    return m_messages;
}

std::string RecordingOwner::statusLine() const
{
    std::lock_guard lock(m_mutex);
    return m_statusLine;
}

std::vector<std::string> ReadLogMessages(const std::string& logPath)
{
    constexpr std::size_t kStampLength = 19; // "12/31/26 23:59:59  "
    std::vector<std::string> messages;
    std::ifstream in(logPath, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        messages.push_back(line.size() >= kStampLength ? line.substr(kStampLength) : line);
    }
    return messages;
}

} // namespace fakes
