#include "fakes/StepDoubles.h"

#include <filesystem>
#include <fstream>

namespace fakes {

void FakeArchiver::setFails(bool fails)
{
    std::lock_guard lock(m_mutex);
    m_fails = fails;
}

bool FakeArchiver::compress(const std::string& source, const std::string& archive, logging::Log&,
                            const ProgressFn& progress, std::stop_token)
{
    bool fails;
    {
        std::lock_guard lock(m_mutex);
        m_calls.push_back({source, archive});
        fails = m_fails;
    }
    if (progress)
        progress(50);
    if (fails) {
        std::ofstream(archive, std::ios::binary | std::ios::trunc) << "PK partial";
        return false;
    }
    std::error_code ec;
    std::filesystem::copy_file(source, archive, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec)
        return false;
    if (progress)
        progress(100);
    return true;
}

std::vector<FakeArchiver::Call> FakeArchiver::calls() const
{
    std::lock_guard lock(m_mutex);
    return m_calls;
}

void FakeMailer::setAnswer(mail::Delivery answer)
{
    std::lock_guard lock(m_mutex);
    m_answer = std::move(answer);
}

mail::Delivery FakeMailer::send(const std::string& attachmentPath, const config::MailSettings& settings,
                                logging::Log&, const MessageBoxFn&)
{
    std::lock_guard lock(m_mutex);
    m_calls.push_back({attachmentPath, settings});
    return m_answer;
}

std::vector<FakeMailer::Call> FakeMailer::calls() const
{
    std::lock_guard lock(m_mutex);
    return m_calls;
}

void FakeMailer::setAlertFailure(std::string error)
{
    std::lock_guard lock(m_mutex);
    m_alertFailure = std::move(error);
}

bool FakeMailer::sendAlert(const config::MailSettings& settings, const std::string& subject, const std::string& body,
                           std::string& error, std::stop_token)
{
    std::lock_guard lock(m_mutex);
    m_alerts.push_back({settings, subject, body});
    m_alertAdded.notify_all();
    error = m_alertFailure;
    return m_alertFailure.empty();
}

std::vector<FakeMailer::Alert> FakeMailer::alerts() const
{
    std::lock_guard lock(m_mutex);
    return m_alerts;
}

bool FakeMailer::waitForAlerts(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_mutex);
    return m_alertAdded.wait_for(lock, timeout, [&] { return m_alerts.size() >= count; });
}

void FailingFileOps::failRemovals(int n)
{
    std::lock_guard lock(m_mutex);
    m_failRemovals = n;
}

void FailingFileOps::failRenames(bool fail)
{
    std::lock_guard lock(m_mutex);
    m_failRenames = fail;
}

bool FailingFileOps::removeFile(const std::string& path, std::string& error)
{
    {
        std::lock_guard lock(m_mutex);
        ++m_removeAttempts;
        if (m_failRemovals != 0) {
            if (m_failRemovals > 0)
                --m_failRemovals;
            error = "Device or resource busy";
            return false;
        }
    }
    return FileOps::removeFile(path, error);
}

bool FailingFileOps::renameFile(const std::string& from, const std::string& to, std::string& error)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_failRenames) {
            error = "Device or resource busy";
            return false;
        }
    }
    return FileOps::renameFile(from, to, error);
}

int FailingFileOps::removeAttempts() const
{
    std::lock_guard lock(m_mutex);
    return m_removeAttempts;
}

} // namespace fakes
