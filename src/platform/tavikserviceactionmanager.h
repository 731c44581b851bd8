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

#include <functional>

class QDBusPendingCall;
class QDBusPendingCallWatcher;
class QMailMessageServerInterface;
class QMailMessageSortKey;

// Issues mail-service requests to the message server over the session bus
// (through the proxy generated from lib/qmf/com.brenmor.qmf.MessageServer.xml)
// and follows the actions they start. Every request returns a serial of this process; the
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

Q_SIGNALS:
    void activityChanged(TavikServiceActionManager::Serial serial,
                         QMailServiceAction::Activity activity, QMailServiceAction::Status status);

private Q_SLOTS:
    void onReply(QDBusPendingCallWatcher *watcher);
    void onServerActivityChanged(qulonglong actionId, int activity);
    void onServerStatusChanged(qulonglong actionId, int errorCode, const QString &text,
                               qulonglong accountId, qulonglong folderId, qulonglong messageId);
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
    explicit TavikServiceActionManager(QObject *parent = nullptr);
    ~TavikServiceActionManager() override;

    // Sends the request that call makes on the proxy, or fails the action
    // when there is no bus to send it on.
    Serial issue(const QString &request, const QMailAccountId &accountId,
                 const std::function<QDBusPendingCall(QMailMessageServerInterface *)> &call);
    QMailMessageServerInterface *server();
    void applyActivity(Serial serial, int activity);
    void finish(Serial serial, QMailServiceAction::Activity activity,
                QMailServiceAction::Status status);
    void failLater(Serial serial, QMailServiceAction::Status::ErrorCode code, const QString &text);
    EarlyNews &earlyNews(quint64 actionId);

    bool mVerbose = false;
    Serial mLastSerial = 0;
    QHash<Serial, Action> mActions;
    // Signals come only from the name's current owner, and the actions of an
    // owner that leaves end before a new owner's signals can arrive: within
    // these maps an action id is unique.
    QHash<quint64, Serial> mByServerId;
    QHash<QDBusPendingCallWatcher *, Serial> mCalls;
    QHash<quint64, EarlyNews> mEarly;
    QList<quint64> mEarlyOrder;
    QStringList mGoneServers;
    QMailMessageServerInterface *mServer = nullptr;
};

#endif // TAVIKSERVICEACTIONMANAGER_H
