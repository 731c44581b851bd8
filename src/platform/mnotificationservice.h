#ifndef MNOTIFICATIONSERVICE_H
#define MNOTIFICATIONSERVICE_H

#include "mnotificationdata.h"
#include "mnotificationstatefile.h"

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
// action, also in a state file for a later run of the program. Server ids are
// valid only while that server runs: a list made with another server instance
// is dropped.
//
// Every call to the server is asynchronous. Until the server answers a
// Notify, the notification is listed with the values last published; changes
// made meanwhile are sent once the answer (and with it the server's id) is
// there, and a notification withdrawn meanwhile is closed then.
class MNotificationService : public QObject
{
    Q_OBJECT
public:
    static MNotificationService *instance();

    // Shows the values as the notification of the given number (or as a new
    // one when that number stands for none) and returns its number; 0 when no
    // notification server is reachable.
    quint64 publish(quint64 key, const MNotificationData &data);
    bool remove(quint64 key);
    bool contains(quint64 key) const;
    QList<MNotification *> notifications() const;

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
        MNotificationData data;
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
    void setServerOwner(const QString &owner);

    QMap<quint64, Entry> m_entries; // ordered by key: the order of first publishing
    quint64 m_nextKey = 1;
    MNotificationStateFile m_stateFile;
    QString m_busId;
    QString m_serverOwner; // unique name of the server, empty while none is known
    QString m_serverIdentity; // "<bus id>/<unique name>" of the server the ids belong to
    QStringList m_capabilities;
    bool m_capabilitiesKnown = false;
    QDBusServiceWatcher *m_watcher = nullptr;
};

#endif // MNOTIFICATIONSERVICE_H
