#include "engine/BackupSession.h"

#include "engine/BackupScheduler.h"
#include "engine/FailureAlerts.h"
#include "engine/SettingsStore.h"
#include "engine/StoredRunHistory.h"

namespace engine {

// Tells every view, under a mutex, so that removing a view never races with
// a call into it. Views return at once, so the mutex is never held long.
class BackupSession::ViewProxy final : public BackupView {
public:
    void add(BackupView* view)
    {
        std::lock_guard lock(m_mutex);
        m_views.push_back(view);
    }
    void remove(BackupView* view)
    {
        std::lock_guard lock(m_mutex);
        std::erase(m_views, view);
    }

    void manualRunStarted() override { tell(&BackupView::manualRunStarted); }
    void manualRunEnded() override { tell(&BackupView::manualRunEnded); }
    void autoServiceStarted() override { tell(&BackupView::autoServiceStarted); }
    void autoServiceStopped() override { tell(&BackupView::autoServiceStopped); }
    void runsQueued(const std::vector<QueuedRun>& runs) override { tell(&BackupView::runsQueued, runs); }
    void runsDropped(const std::vector<QueuedRun>& runs) override { tell(&BackupView::runsDropped, runs); }
    void runStarted(const StartedRun& run) override { tell(&BackupView::runStarted, run); }
    void runFinished(const RunResult& result) override { tell(&BackupView::runFinished, result); }
    void runStalled(const RunResult& result) override { tell(&BackupView::runStalled, result); }
    void setStatusLine(const std::string& text) override { tell(&BackupView::setStatusLine, text); }
    void showNotice(const std::string& text, const std::string& caption) override
    {
        tell(&BackupView::showNotice, text, caption);
    }

private:
    template <typename... Args, typename... Values>
    void tell(void (BackupView::*call)(Args...), const Values&... values)
    {
        std::lock_guard lock(m_mutex);
        for (BackupView* view : m_views)
            (view->*call)(values...);
    }

    std::mutex m_mutex; // guards m_views and every call through it
    std::vector<BackupView*> m_views;
};

BackupSession::BackupSession(Paths paths, BackupServices services, text::MessageBoxFn onLogOpenFailure)
    : m_paths(std::move(paths))
    , m_settings(services.settings ? services.settings : std::make_shared<SettingsStore>(m_paths.settingsPath))
    , m_applicationName(services.applicationName.empty() ? std::string(kDisplayName) : services.applicationName)
    , m_log(m_paths.logPath, std::move(onLogOpenFailure))
    , m_restoreTestRecord(
          std::make_unique<RestoreTestStateFile>(RestoreTestStateFile::PathBesideLog(m_paths.logPath)))
    , m_view(std::make_unique<ViewProxy>())
{
    m_state.backupLock = &m_backupLock;
    if (services.mailer && services.clock) {
        m_failureAlerts = std::make_unique<FailureAlerts>(*services.mailer, *services.clock, m_log,
                                                          [this] { return mailSettings(); });
        addView(m_failureAlerts.get());
    }
    services.applicationName = m_applicationName;
    services.settings = m_settings;
    if (!services.history && !m_paths.historyPath.empty()) {
        m_history = std::make_unique<StoredRunHistory>(m_paths.historyPath, m_settings, m_log);
        services.history = m_history.get();
        m_history->writeMetrics();
    }
    m_scheduler = std::make_unique<BackupScheduler>(*this, std::move(services));
}

BackupSession::~BackupSession()
{
    m_scheduler.reset();
    if (m_failureAlerts)
        removeView(m_failureAlerts.get());
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

void BackupSession::addView(BackupView* view)
{
    m_view->add(view);
}

void BackupSession::removeView(BackupView* view)
{
    m_view->remove(view);
}

BackupView& BackupSession::view()
{
    return *m_view;
}

} // namespace engine
