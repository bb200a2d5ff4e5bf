#include "main/Restart.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>

int RequestSystemRestart() {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) return 0;
    QDBusInterface manager("org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager", bus);
    if (!manager.isValid()) return 0;
    // Not interactive: a missing right is a refusal, never a password prompt.
    const QDBusReply<void> reply = manager.call("Reboot", false);
    return reply.isValid() ? 1 : 0;
}
