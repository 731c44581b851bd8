// A stand-in for the desktop's notification server: speaks
// org.freedesktop.Notifications on the session bus, records every call and,
// on command from a test, plays the user (dismiss, activate) or the server's
// own timer (expire). Each call is also written to standard error as one
// line, so that a test can wait for it.
//
// Control interface "com.brenmor.test.NotificationServer" at "/control" of the
// same bus name.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QMap>
#include <QVariantMap>
#include <QtDebug>

#include <cstdio>

namespace {

void report(const QString &line)
{
    std::fprintf(stderr, "%s\n", line.toUtf8().constData());
    std::fflush(stderr);
}

QString quoted(const QString &text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QStringLiteral("\\\\"))
        .replace(QLatin1Char('"'), QStringLiteral("\\\""));
    escaped.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

} // namespace

class NotificationServer : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QMap<uint, QVariantMap> shown; // the arguments of the Notify that shows each id
    QVariantMap lastNotify;
    uint notifyCalls = 0;
    uint closeCalls = 0;
    uint nextId = 1;

public Q_SLOTS:
    QStringList GetCapabilities()
    {
        report(QStringLiteral("GetCapabilities"));
        return { QStringLiteral("actions"), QStringLiteral("body"), QStringLiteral("body-markup") };
    }

    QString GetServerInformation(QString &vendor, QString &version, QString &specVersion)
    {
        vendor = QStringLiteral("Brenmor test");
        version = QStringLiteral("1.0");
        specVersion = QStringLiteral("1.2");
        return QStringLiteral("standin-notificationserver");
    }

    uint Notify(const QString &appName, uint replacesId, const QString &appIcon,
                const QString &summary, const QString &body, const QStringList &actions,
                const QVariantMap &hints, int expireTimeout)
    {
        ++notifyCalls;
        // An id that is not shown (any more) gets a new notification.
        const uint id = replacesId != 0 && shown.contains(replacesId) ? replacesId : nextId++;
        QVariantMap call;
        call.insert(QStringLiteral("id"), id);
        call.insert(QStringLiteral("app_name"), appName);
        call.insert(QStringLiteral("replaces_id"), replacesId);
        call.insert(QStringLiteral("app_icon"), appIcon);
        call.insert(QStringLiteral("summary"), summary);
        call.insert(QStringLiteral("body"), body);
        call.insert(QStringLiteral("actions"), actions);
        call.insert(QStringLiteral("hints"), hints);
        call.insert(QStringLiteral("expire_timeout"), expireTimeout);
        shown.insert(id, call);
        lastNotify = call;
        report(QStringLiteral("Notify id=%1 replaces=%2 summary=%3 body=%4")
                   .arg(id)
                   .arg(replacesId)
                   .arg(quoted(summary), quoted(body)));
        return id;
    }

    void CloseNotification(uint id)
    {
        ++closeCalls;
        report(QStringLiteral("CloseNotification id=%1").arg(id));
        if (shown.remove(id) > 0) {
            Q_EMIT NotificationClosed(id, 3);
        }
    }

Q_SIGNALS:
    void NotificationClosed(uint id, uint reason);
    void ActionInvoked(uint id, const QString &actionKey);
};

class Control : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.brenmor.test.NotificationServer")
public:
    explicit Control(NotificationServer *server)
        : m_server(server)
    { }

public Q_SLOTS:
    uint NotifyCalls() { return m_server->notifyCalls; }
    uint CloseCalls() { return m_server->closeCalls; }
    QList<uint> Shown() { return m_server->shown.keys(); }
    QVariantMap LastNotify() { return m_server->lastNotify; }
    QVariantMap Notification(uint id) { return m_server->shown.value(id); }

    // The user closes the notification.
    bool Dismiss(uint id) { return close(id, 2, QStringLiteral("dismissed")); }
    // The server's timer closes it.
    bool Expire(uint id) { return close(id, 1, QStringLiteral("expired")); }
    // The user clicks the notification: its default action, then it goes, as
    // a server does for a notification that is not resident.
    bool Activate(uint id)
    {
        if (!m_server->shown.contains(id)) {
            return false;
        }
        report(QStringLiteral("activated id=%1").arg(id));
        Q_EMIT m_server->ActionInvoked(id, QStringLiteral("default"));
        return close(id, 2, QStringLiteral("closed after activation"));
    }
    void Reset()
    {
        m_server->notifyCalls = 0;
        m_server->closeCalls = 0;
        m_server->lastNotify.clear();
    }

private:
    bool close(uint id, uint reason, const QString &how)
    {
        if (m_server->shown.remove(id) == 0) {
            return false;
        }
        report(QStringLiteral("%1 id=%2").arg(how).arg(id));
        Q_EMIT m_server->NotificationClosed(id, reason);
        return true;
    }

    NotificationServer *m_server;
};

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    qDBusRegisterMetaType<QList<uint>>();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        report(QStringLiteral("standin-notificationserver: no session bus"));
        return 1;
    }
    NotificationServer server;
    Control control(&server);
    if (!bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &server,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals)
        || !bus.registerObject(QStringLiteral("/control"), &control,
                               QDBusConnection::ExportAllSlots)) {
        report(QStringLiteral("standin-notificationserver: cannot register objects"));
        return 1;
    }
    if (!bus.registerService(QStringLiteral("org.freedesktop.Notifications"))) {
        report(QStringLiteral("standin-notificationserver: cannot own the name: ")
               + bus.lastError().message());
        return 1;
    }
    report(QStringLiteral("standin-notificationserver ready"));
    return application.exec();
}

#include "notificationserver.moc"
