// A stand-in for the desktop's notification server: speaks
// org.freedesktop.Notifications and writes each call to standard error as one
// line. Its control interface (com.brenmor.test.NotificationServer at
// /control) plays the user, its own timer or a server slow to answer.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QSet>

#include <cstdio>

static void report(const QString &line)
{
    std::fprintf(stderr, "%s\n", line.toUtf8().constData());
    std::fflush(stderr);
}

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

    bool close(uint id, uint reason, const QString &how)
    {
        if (!shown.remove(id)) {
            return false;
        }
        report(how + QStringLiteral(" id=%1").arg(id));
        Q_EMIT NotificationClosed(id, reason);
        return true;
    }

public Q_SLOTS:
    QStringList GetCapabilities()
    {
        return { QStringLiteral("actions"), QStringLiteral("body"), QStringLiteral("body-markup") };
    }

    uint Notify(const QString &, uint replacesId, const QString &, const QString &summary,
                const QString &body, const QStringList &, const QVariantMap &, int)
    {
        ++notifyCalls;
        // An id that is not shown (any more) gets a new notification.
        const uint id = shown.contains(replacesId) ? replacesId : nextId++;
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
        close(id, 3, QStringLiteral("closed"));
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
        : s(server)
    { }

public Q_SLOTS:
    uint NotifyCalls() { return s->notifyCalls; }
    uint CloseCalls() { return s->closeCalls; }
    void Reset() { s->notifyCalls = s->closeCalls = 0; }
    QList<uint> Shown() { return s->shown.values(); }
    QVariantList LastNotify() { return s->lastNotify; }
    bool Dismiss(uint id) { return s->close(id, 2, QStringLiteral("dismissed")); }
    bool Expire(uint id) { return s->close(id, 1, QStringLiteral("expired")); }
    // A click on the notification: its default action, then it goes.
    bool Activate(uint id)
    {
        if (s->shown.contains(id)) {
            Q_EMIT s->ActionInvoked(id, QStringLiteral("default"));
        }
        return s->close(id, 2, QStringLiteral("activated"));
    }
    // While held, Notify calls are taken in but not answered; letting go
    // sends the held answers, in order.
    void HoldReplies(bool hold)
    {
        s->holdReplies = hold;
        for (; !hold && !s->heldReplies.isEmpty(); s->heldReplies.removeFirst()) {
            QDBusConnection::sessionBus().send(s->heldReplies.first());
        }
        report(hold ? QStringLiteral("holding replies") : QStringLiteral("replying"));
    }

private:
    NotificationServer *s;
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
