// A stand-in for the desktop's notification server: speaks
// org.freedesktop.Notifications on the session bus, records every call and,
// on command from a test, plays the user (dismiss, activate), the server's
// own timer (expire) or a server that is slow to answer (hold replies). Each
// call is also written to standard error as one line, so that a test can wait
// for it. Control interface "com.brenmor.test.NotificationServer" at
// "/control" of the same bus name.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QSet>

#include <cstdio>

namespace {

void report(const QString &line)
{
    std::fprintf(stderr, "%s\n", line.toUtf8().constData());
    std::fflush(stderr);
}

} // namespace

class NotificationServer : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QSet<uint> shown;
    QVariantList lastNotify; // the arguments of the last Notify call
    uint notifyCalls = 0;
    uint closeCalls = 0;
    uint nextId = 1;
    bool holdReplies = false;
    QList<QDBusMessage> heldReplies;

public Q_SLOTS:
    QStringList GetCapabilities()
    {
        report(QStringLiteral("GetCapabilities"));
        return { QStringLiteral("actions"), QStringLiteral("body"), QStringLiteral("body-markup") };
    }

    uint Notify(const QString &, uint replacesId, const QString &, const QString &summary,
                const QString &body, const QStringList &, const QVariantMap &, int)
    {
        ++notifyCalls;
        // An id that is not shown (any more) gets a new notification.
        const uint id = replacesId != 0 && shown.contains(replacesId) ? replacesId : nextId++;
        shown.insert(id);
        lastNotify = message().arguments();
        report(QStringLiteral("Notify id=%1 replaces=%2 summary=\"%3\" body=\"%4\"%5")
                   .arg(id)
                   .arg(replacesId)
                   .arg(summary, body, holdReplies ? QStringLiteral(" (held)") : QString()));
        if (holdReplies) {
            setDelayedReply(true);
            heldReplies << message().createReply(id);
        }
        return id;
    }

    void CloseNotification(uint id)
    {
        ++closeCalls;
        report(QStringLiteral("CloseNotification id=%1").arg(id));
        if (shown.remove(id)) {
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
    QList<uint> Shown() { return m_server->shown.values(); }
    QVariantList LastNotify() { return m_server->lastNotify; }
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
        Q_EMIT m_server->ActionInvoked(id, QStringLiteral("default"));
        return close(id, 2, QStringLiteral("activated"));
    }
    // While held, Notify calls are taken in but not answered; letting go
    // sends the answers that were held back, in order.
    void HoldReplies(bool hold)
    {
        m_server->holdReplies = hold;
        for (; !hold && !m_server->heldReplies.isEmpty(); m_server->heldReplies.removeFirst()) {
            QDBusConnection::sessionBus().send(m_server->heldReplies.first());
        }
        report(hold ? QStringLiteral("holding replies") : QStringLiteral("replying"));
    }
    void Reset()
    {
        m_server->notifyCalls = 0;
        m_server->closeCalls = 0;
    }

private:
    bool close(uint id, uint reason, const QString &how)
    {
        if (!m_server->shown.remove(id)) {
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
    NotificationServer server;
    Control control(&server);
    if (!bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &server,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals)
        || !bus.registerObject(QStringLiteral("/control"), &control,
                               QDBusConnection::ExportAllSlots)
        || !bus.registerService(QStringLiteral("org.freedesktop.Notifications"))) {
        report(QStringLiteral("standin-notificationserver: cannot register on the session bus: ")
               + bus.lastError().message());
        return 1;
    }
    report(QStringLiteral("standin-notificationserver ready"));
    return application.exec();
}

#include "notificationserver.moc"
