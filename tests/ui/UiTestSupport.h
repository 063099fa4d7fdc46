#pragma once

#include "ui/DBBackupDlg.h"
#include "ui/Prompter.h"

#include <QStringList>
#include <QTemporaryDir>

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class QAbstractItemModelTester;

namespace uitest {

// A prompter whose questions are answered from a queue filled in advance
// (an empty queue answers "No"), and which records every box it was asked
// to show.
class QueuedPrompter final : public ui::Prompter {
public:
    struct Shown {
        QString caption;
        QString text;
        bool question = false;
        bool notice = false; // shown without waiting
    };

    void inform(QWidget* parent, const QString& caption, const QString& text) override;
    void notify(QWidget* parent, const QString& caption, const QString& text) override;
    bool ask(QWidget* parent, const QString& caption, const QString& text) override;
    // Answered from its own queue; an empty one answers Cancel.
    SaveAnswer askToSave(QWidget* parent, const QString& caption, const QString& text) override;

    void queueAnswer(bool yes);
    void queueSaveAnswer(SaveAnswer answer);
    std::vector<Shown> shown() const;
    QStringList texts() const;
    void clear();

private:
    mutable std::mutex m_mutex; // guards the members below
    std::deque<bool> m_answers;
    std::deque<SaveAnswer> m_saveAnswers;
    std::vector<Shown> m_shown;
};

// A temporary program folder with its settings file and log, a backup folder,
// a backup session on them and a window over it, with doubles for the
// prompter and the connection check.
class WindowFixture {
public:
    WindowFixture();
    ~WindowFixture();

    // Builds the session and the window (again, after previous ones were
    // destroyed). `backup` serves the session's runs.
    ui::DBBackupDlg& open(ui::WindowServices services = {}, engine::BackupServices backup = {});
    void close();

    ui::DBBackupDlg& window() { return *m_window; }
    QString path(const QString& name) const { return m_dir.filePath(name); }
    std::string settingsPath() const { return path(QStringLiteral("BackupConfig.ini")).toStdString(); }
    std::string logPath() const { return path(QStringLiteral("BackupLog.log")).toStdString(); }
    std::string historyPath() const { return path(QStringLiteral("BackupHistory.db")).toStdString(); }
    std::string backupFolder() const { return path(QStringLiteral("backups")).toStdString(); }
    // The log's messages, without their time stamps.
    QStringList logLines() const;

    QueuedPrompter prompter;
    bool connectionOk = true;
    std::vector<std::string> checkedConnections;

private:
    QTemporaryDir m_dir;
    std::unique_ptr<engine::BackupSession> m_session;
    std::unique_ptr<ui::DBBackupDlg> m_window;
    std::vector<std::unique_ptr<QAbstractItemModelTester>> m_testers;
};

template <typename T>
T* Find(QWidget& root, const char* objectName)
{
    return root.findChild<T*>(QLatin1String(objectName));
}

} // namespace uitest
