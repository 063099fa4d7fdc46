#include "fakes/RecordingOwner.h"

#include <fstream>

namespace fakes {

RecordingOwner::RecordingOwner(const std::string& logPath, engine::BackupServices services)
{
    if (services.applicationName.empty())
        services.applicationName = "corvella";
    m_session = std::make_unique<engine::BackupSession>(engine::BackupSession::Paths{"", logPath, ""}, std::move(services));
    m_session->attachView(this);
}

RecordingOwner::~RecordingOwner()
{
    m_session->attachView(nullptr);
}

void RecordingOwner::enableControl(engine::ControlId control, bool enabled)
{
    std::lock_guard lock(m_mutex);
    m_controls.emplace_back(control, enabled);
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

std::vector<std::pair<int, bool>> RecordingOwner::controlChanges() const
{
    std::lock_guard lock(m_mutex);
    return m_controls;
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
