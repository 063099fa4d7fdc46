#include "engine/BackupSession.h"

#include "engine/BackupScheduler.h"
#include "engine/FailureAlerts.h"

namespace engine {

// Forwards to the attached view under a mutex, so that detaching never races
// with a call from a run.
class BackupSession::ViewProxy final : public BackupView {
public:
    void attach(BackupView* view)
    {
        std::lock_guard lock(m_mutex);
        m_view = view;
    }
    void enableControl(ControlId control, bool enabled) override
    {
        std::lock_guard lock(m_mutex);
        if (m_view)
            m_view->enableControl(control, enabled);
    }
    void setStatusLine(const std::string& text) override
    {
        std::lock_guard lock(m_mutex);
        if (m_view)
            m_view->setStatusLine(text);
    }
    void showNotice(const std::string& text, const std::string& caption) override
    {
        std::lock_guard lock(m_mutex);
        if (m_view)
            m_view->showNotice(text, caption);
    }

private:
    std::mutex m_mutex; // guards m_view and every call through it
    BackupView* m_view = nullptr;
};

BackupSession::BackupSession(Paths paths, BackupServices services, logging::Log::MessageBoxFn onLogOpenFailure)
    : m_paths(std::move(paths))
    , m_applicationName(services.applicationName.empty() ? std::string(kDisplayName) : services.applicationName)
    , m_log(m_paths.logPath, std::move(onLogOpenFailure))
    , m_view(std::make_unique<ViewProxy>())
{
    m_state.backupLock = &m_backupLock;
    if (services.mailer && services.clock) {
        m_failureAlerts = std::make_unique<FailureAlerts>(*services.mailer, *services.clock, m_log,
                                                          [this] { return mailSettings(); });
        addRunListener(m_failureAlerts.get());
    }
    services.applicationName = m_applicationName;
    m_scheduler = std::make_unique<BackupScheduler>(*this, std::move(services));
}

BackupSession::~BackupSession()
{
    m_scheduler.reset();
    m_view->attach(nullptr);
}

config::MailSettings BackupSession::mailSettings() const
{
    std::lock_guard lock(m_mailMutex);
    return m_mail;
}

void BackupSession::setMailSettings(const config::MailSettings& settings)
{
    std::lock_guard lock(m_mailMutex);
    m_mail = settings;
}

void BackupSession::addRunListener(RunListener* listener)
{
    std::lock_guard lock(m_listenerMutex);
    m_listeners.push_back(listener);
}

std::vector<RunListener*> BackupSession::listeners()
{
    std::lock_guard lock(m_listenerMutex);
    return m_listeners;
}

void BackupSession::notifyRunFinished(const RunResult& result)
{
    for (RunListener* listener : listeners())
        listener->runFinished(result);
}

void BackupSession::notifyRunStalled(const RunResult& result)
{
    for (RunListener* listener : listeners())
        listener->runStalled(result);
}

void BackupSession::attachView(BackupView* view)
{
    m_view->attach(view);
}

BackupView& BackupSession::view()
{
    return *m_view;
}

} // namespace engine
