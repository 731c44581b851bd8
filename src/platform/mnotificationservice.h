#ifndef MNOTIFICATIONSERVICE_H
#define MNOTIFICATIONSERVICE_H

#include <QDateTime>
#include <QMap>
#include <QObject>
#include <QStringList>

class MNotification;
class QDBusPendingCallWatcher;
class QDBusServiceWatcher;

// The process's link to org.freedesktop.Notifications, behind MNotification.
//
// The server lists nobody's notifications, so this object remembers the ones
// it published: what they show, the server's id for each, and the remote
// action. The list is kept in a state file so that a later run of the program
// finds the notifications that are still on display. Server ids are valid only
// while that server runs: the file names the server instance (bus id and the
// server's unique name), and a list made with another instance is dropped.
class MNotificationService : public QObject
{
    Q_OBJECT
public:
    static MNotificationService *instance();

    // The number of the shown notification (the one given, or a new one), or
    // 0 when no notification server is reachable.
    quint64 publish(const MNotification &notification);
    bool remove(quint64 key);
    bool contains(quint64 key) const;
    QList<MNotification *> notifications() const;

    // "$XDG_STATE_HOME/<application>/notifications.json".
    static QString stateFilePath();

private Q_SLOTS:
    void handleNotificationClosed(uint id, uint reason);
    void handleActionInvoked(uint id, const QString &actionKey);
    void handleServiceOwnerChanged(const QString &service, const QString &oldOwner,
                                   const QString &newOwner);

private:
    struct Entry
    {
        quint64 key = 0;
        uint serverId = 0; // 0 until the server has answered the first Notify
        bool inFlight = false; // a Notify call awaits its reply
        bool resend = false; // changed again while in flight
        bool removed = false; // withdrawn while in flight: close it once the id is known
        QString eventType;
        QString summary;
        QString body;
        QDateTime timestamp;
        unsigned int count = 0;
        QString identifier;
        QString action;
    };

    explicit MNotificationService(QObject *parent);
    ~MNotificationService() override;

    bool serverReachable();
    void sendNotify(Entry &entry);
    void handleNotifyReply(quint64 key, QDBusPendingCallWatcher *watcher);
    void sendClose(uint serverId);
    void requestCapabilities();
    void dropAll();
    void load();
    void save() const;
    QString currentServerIdentity(const QString &owner) const;

    QMap<quint64, Entry> m_entries; // ordered by key: the order of first publishing
    quint64 m_nextKey = 1;
    QString m_busId;
    QString m_serverIdentity; // "<bus id>/<unique name>" of the server the ids belong to
    QStringList m_capabilities;
    bool m_capabilitiesKnown = false;
    QDBusServiceWatcher *m_watcher = nullptr;
};

#endif // MNOTIFICATIONSERVICE_H
