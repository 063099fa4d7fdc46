#include "fakes/RecordingOwner.h"

#include <fstream>

namespace fakes {

RecordingOwner::RecordingOwner(const std::string& logPath, bool withLock)
    : m_log(logPath)
{
    if (withLock)
        m_state.backupLock = &m_backupLock;
}

void RecordingOwner::enableControl(int controlId, bool enabled)
{
    std::lock_guard lock(m_mutex);
    m_controls.emplace_back(controlId, enabled);
}

void RecordingOwner::setStatusLine(const std::string& text)
{
    std::lock_guard lock(m_mutex);
    m_statusLine = text;
}

void RecordingOwner::showMessage(const std::string& text, const std::string& caption)
{
    std::lock_guard lock(m_mutex);
    m_messages.push_back(caption + ": " + text);
}

config::MailSettings RecordingOwner::mailSettings() const
{
    std::lock_guard lock(m_mutex);
    return m_mail;
}

void RecordingOwner::setMailSettings(const config::MailSettings& settings)
{
    std::lock_guard lock(m_mutex);
    m_mail = settings;
}

std::vector<std::string> RecordingOwner::logMessages() const
{
    return ReadLogMessages(m_log.fileName());
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
