#include "UiTestSupport.h"

#include "ui/ConfigGridModel.h"
#include "ui/StatusGridModel.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QFile>

namespace uitest {

void QueuedPrompter::inform(QWidget*, const QString& caption, const QString& text)
{
    std::lock_guard lock(m_mutex);
    m_shown.push_back({caption, text, false});
}

void QueuedPrompter::notify(QWidget*, const QString& caption, const QString& text)
{
    std::lock_guard lock(m_mutex);
    m_shown.push_back({caption, text, false, true});
}

bool QueuedPrompter::ask(QWidget*, const QString& caption, const QString& text)
{
    std::lock_guard lock(m_mutex);
    m_shown.push_back({caption, text, true});
    if (m_answers.empty())
        return false;
    const bool answer = m_answers.front();
    m_answers.pop_front();
    return answer;
}

ui::Prompter::SaveAnswer QueuedPrompter::askToSave(QWidget*, const QString& caption, const QString& text)
{
    std::lock_guard lock(m_mutex);
    m_shown.push_back({caption, text, true});
    if (m_saveAnswers.empty())
        return SaveAnswer::Cancel;
    const SaveAnswer answer = m_saveAnswers.front();
    m_saveAnswers.pop_front();
    return answer;
}

void QueuedPrompter::queueSaveAnswer(SaveAnswer answer)
{
    std::lock_guard lock(m_mutex);
    m_saveAnswers.push_back(answer);
}

void QueuedPrompter::queueAnswer(bool yes)
{
    std::lock_guard lock(m_mutex);
    m_answers.push_back(yes);
}

std::vector<QueuedPrompter::Shown> QueuedPrompter::shown() const
{
    std::lock_guard lock(m_mutex);
    return m_shown;
}

QStringList QueuedPrompter::texts() const
{
    QStringList texts;
    for (const Shown& box : shown())
        texts << box.text;
    return texts;
}

void QueuedPrompter::clear()
{
    std::lock_guard lock(m_mutex);
    m_shown.clear();
    m_answers.clear();
    m_saveAnswers.clear();
}

WindowFixture::WindowFixture()
{
    QDir(m_dir.path()).mkpath(QStringLiteral("backups"));
}

WindowFixture::~WindowFixture()
{
    close();
}

ui::DBBackupDlg& WindowFixture::open(ui::WindowServices services, engine::BackupServices backup)
{
    close();
    m_session = std::make_unique<engine::BackupSession>(
        engine::BackupSession::Paths{settingsPath(), logPath(), historyPath()}, std::move(backup),
        [this](const std::string& text, const std::string& caption) {
            prompter.inform(nullptr, QString::fromStdString(caption), QString::fromStdString(text));
        });
    services.prompter = &prompter;
    if (services.historyPath.empty())
        services.historyPath = historyPath();
    if (!services.checkConnection) {
        services.checkConnection = [this](const std::string& connectionString, std::string& failureText) {
            checkedConnections.push_back(connectionString);
            if (!connectionOk)
                failureText = "Login failed for user 'sa'.";
            return connectionOk;
        };
    }
    if (!services.trayAvailable)
        services.trayAvailable = [] { return false; };
    m_window = std::make_unique<ui::DBBackupDlg>(*m_session, std::move(services));
    m_testers.push_back(std::make_unique<QAbstractItemModelTester>(
        m_window->configModel(), QAbstractItemModelTester::FailureReportingMode::QtTest));
    m_testers.push_back(std::make_unique<QAbstractItemModelTester>(
        m_window->statusModel(), QAbstractItemModelTester::FailureReportingMode::QtTest));
    m_window->show();
    return *m_window;
}

void WindowFixture::close()
{
    m_testers.clear();
    m_window.reset();
    m_session.reset();
}

QStringList WindowFixture::logLines() const
{
    QFile file(QString::fromStdString(logPath()));
    QStringList lines;
    if (!file.open(QIODevice::ReadOnly))
        return lines;
    for (const QByteArray& line : file.readAll().split('\n')) {
        // "%m/%d/%y %H:%M:%S  " is 19 characters.
        if (line.size() > 19)
            lines << QString::fromUtf8(line.mid(19)).trimmed();
    }
    return lines;
}

} // namespace uitest
