#include "ui/DesktopNotification.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QVariantMap>

namespace ui {

bool NotifyDesktop(const QString& title, const QString& text, bool critical)
{
    const QString service = QStringLiteral("org.freedesktop.Notifications");
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface() || !bus.interface()->isServiceRegistered(service).value())
        return false;
    QDBusMessage call = QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/Notifications"),
                                                       service, QStringLiteral("Notify"));
    QVariantMap hints;
    // Urgency 2 (critical) stays on screen until the operator dismisses it.
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(critical ? 2 : 1));
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("org.corvella.Corvella"));
    call << QStringLiteral("Corvella") << 0u << QStringLiteral("org.corvella.Corvella") << title << text << QStringList()
         << hints << -1;
    return bus.send(call);
}

} // namespace ui
