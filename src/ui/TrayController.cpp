#include "ui/TrayController.h"

#include <QAction>
#include <QMenu>
#include <QWidget>

namespace ui {

TrayController::TrayController(QWidget* window, const QIcon& icon, std::function<bool()> trayAvailable,
                               QObject* parent)
    : QObject(parent)
    , m_window(window)
    , m_trayAvailable(trayAvailable ? std::move(trayAvailable) : [] { return QSystemTrayIcon::isSystemTrayAvailable(); })
    , m_icon(new QSystemTrayIcon(icon, this))
    , m_menu(new QMenu)
{
    setObjectName(QStringLiteral("Tray"));
    m_icon->setToolTip(QString::fromLatin1(kToolTip));
    m_menu->setObjectName(QStringLiteral("TrayMenu"));
    m_menu->setTitle(QStringLiteral("Tray Menu"));
    m_saveAction = m_menu->addAction(QStringLiteral("Save Settings"));
    m_saveAction->setObjectName(QStringLiteral("TraySaveSettings"));
    m_saveAction->setProperty("commandId", 32771);
    QAction* show = m_menu->addAction(QStringLiteral("Show Application"));
    show->setObjectName(QStringLiteral("TrayShowApplication"));
    show->setProperty("commandId", 32772);
    QAction* exit = m_menu->addAction(QStringLiteral("Exit Application"));
    exit->setObjectName(QStringLiteral("TrayExitApplication"));
    exit->setProperty("commandId", 32773);
    m_menu->addSeparator();
    m_stopServiceAction = m_menu->addAction(QStringLiteral("Stop Auto Backup Service"));
    m_stopServiceAction->setObjectName(QStringLiteral("TrayStopAutoBackup"));
    m_stopServiceAction->setEnabled(false);
    m_icon->setContextMenu(m_menu);

    connect(m_saveAction, &QAction::triggered, this, &TrayController::saveSettingsRequested);
    connect(show, &QAction::triggered, this, &TrayController::showApplication);
    connect(exit, &QAction::triggered, this, &TrayController::exitRequested);
    connect(m_stopServiceAction, &QAction::triggered, this, &TrayController::stopServiceRequested);
    // From the second opening on, "Save Settings" shows as the default item.
    connect(m_menu, &QMenu::aboutToHide, this, [this] { m_menu->setDefaultAction(m_saveAction); });
    connect(m_icon, &QSystemTrayIcon::activated, this, &TrayController::onActivated);
}

TrayController::~TrayController()
{
    m_icon->hide();
    delete m_menu;
}

void TrayController::setState(const QString& state)
{
    const QString tip = QString::fromLatin1(kToolTip);
    m_icon->setToolTip(state.isEmpty() ? tip : tip + QLatin1Char('\n') + state);
}

void TrayController::setServiceRunning(bool running)
{
    m_stopServiceAction->setEnabled(running);
}

bool TrayController::showFailure(const QString& title, const QString& text)
{
    if (!m_iconShown)
        return false;
    m_icon->showMessage(title, text, QSystemTrayIcon::Critical);
    return true;
}

bool TrayController::showIcon()
{
    if (m_iconShown || !m_trayAvailable())
        return false;
    m_icon->show();
    m_iconShown = true;
    return true;
}

bool TrayController::hideIcon()
{
    if (!m_iconShown)
        return false;
    m_icon->hide();
    m_iconShown = false;
    return true;
}

void TrayController::hideToTray()
{
    if (showIcon())
        m_window->hide();
}

void TrayController::showApplication()
{
    if (m_minimizeToTray && hideIcon()) {
        m_window->showNormal();
        m_window->raise();
        m_window->activateWindow();
    }
}

void TrayController::onActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger)
        showApplication();
}

} // namespace ui
