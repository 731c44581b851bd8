#ifndef TAVIKSERVICEACTIONMANAGER_H
#define TAVIKSERVICEACTIONMANAGER_H

#include <qmailid.h>
#include <qmailserviceaction.h>

#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariant>

class QDBusMessage;
class QDBusPendingCallWatcher;
class QDBusServiceWatcher;
class QMailMessageSortKey;

// Issues mail-service requests to the message server over the session bus
// (interface com.brenmor.qmf.MessageServer, see lib/qmf) and follows the
// actions they start. Every request returns a serial of this process; the
// progress of the action arrives as activityChanged(serial, ...) on the main
// thread, and its last emission carries the final status: error code 0 after
// a success, a framework error code after a failure.
//
// No action is left hanging: a request that cannot reach a message server, or
// whose server leaves the bus before the action has ended, ends as a failed
// action (ErrFrameworkFault, or ErrTimeout when the server did not answer).
class TavikServiceActionManager : public QObject
{
    Q_OBJECT
public:
    typedef quint32 Serial;

    // The process-wide manager, created on first use on the application's
    // thread. It is never deleted.
    static TavikServiceActionManager *instance();

    // Verbose mode logs every request and every activity change of the
    // manager's actions under the "ServiceActions" category.
    void setVerbose(bool verbose);

    Serial exportUpdates(const QMailAccountId &accountId);
    Serial send(const QMailAccountId &accountId);
    Serial retrieveFolderList(const QMailAccountId &accountId, const QMailFolderId &folderId,
                              bool descending);
    Serial retrieveMessageLists(const QMailAccountId &accountId,
                                const QList<QMailFolderId> &folderIds, uint minimum,
                                const QMailMessageSortKey &sort);

    // Actions issued through this manager that have not ended yet.
    int runningActions() const { return mActions.size(); }

    // Where the message server is found on the session bus.
    static QString serviceName();
    static QString objectPath();
    static QString interfaceName();

Q_SIGNALS:
    void activityChanged(TavikServiceActionManager::Serial serial,
                         QMailServiceAction::Activity activity, QMailServiceAction::Status status);

private Q_SLOTS:
    void onReply(QDBusPendingCallWatcher *watcher);
    void onServerActivityChanged(qulonglong actionId, int activity, const QDBusMessage &message);
    void onServerStatusChanged(qulonglong actionId, int errorCode, const QString &text,
                               qulonglong accountId, qulonglong folderId, qulonglong messageId,
                               const QDBusMessage &message);
    void onServerOwnerChanged(const QString &service, const QString &oldOwner,
                              const QString &newOwner);

private:
    struct Action
    {
        QMailAccountId accountId;
        QString request;
        QString server; // unique bus name of the server that took it
        quint64 serverId = 0; // 0 until the server has answered
        QMailServiceAction::Activity activity = QMailServiceAction::Pending;
        QMailServiceAction::Status status;
    };
    // What the server said about an action whose id has not reached us yet.
    struct EarlyNews
    {
        int activity = -1;
        bool hasStatus = false;
        QMailServiceAction::Status status;
    };
    typedef QPair<QString, quint64> ServerAction; // server's unique name, action id

    explicit TavikServiceActionManager(QObject *parent = nullptr);
    ~TavikServiceActionManager() override;

    Serial issue(const QString &request, const QMailAccountId &accountId,
                 const QList<QVariant> &arguments);
    void connectServerSignals();
    void applyActivity(Serial serial, int activity);
    void finish(Serial serial, QMailServiceAction::Activity activity,
                QMailServiceAction::Status status);
    void failLater(Serial serial, QMailServiceAction::Status::ErrorCode code, const QString &text);
    EarlyNews &earlyNews(const ServerAction &key);

    bool mVerbose = false;
    bool mConnected = false;
    Serial mLastSerial = 0;
    QHash<Serial, Action> mActions;
    QHash<ServerAction, Serial> mByServerId;
    QHash<QDBusPendingCallWatcher *, Serial> mCalls;
    QHash<ServerAction, EarlyNews> mEarly;
    QList<ServerAction> mEarlyOrder;
    QStringList mGoneServers;
    QDBusServiceWatcher *mWatcher = nullptr;
};

#endif // TAVIKSERVICEACTIONMANAGER_H
