#ifndef QMAILACTIONOBSERVER_H
#define QMAILACTIONOBSERVER_H

#include "qmailid.h"
#include "qmailserviceaction.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSharedPointer>

struct QMailActionData;
class QDBusPendingCallWatcher;
class QMailMessageServerInterface;

// What a message-server action does (the interface's requestType).
enum QMailServerRequestType {
    AcknowledgeNewMessagesRequestType = 0,
    TransmitMessagesRequestType = 1,
    RetrieveFolderListRequestType = 2,
    RetrieveMessageListRequestType = 3,
    RetrieveMessagesRequestType = 4,
    RetrieveMessagePartRequestType = 5,
    RetrieveMessageRangeRequestType = 6,
    RetrieveMessagePartRangeRequestType = 7,
    RetrieveAllRequestType = 8,
    ExportUpdatesRequestType = 9,
    SynchronizeRequestType = 10,
    CopyMessagesRequestType = 11,
    MoveMessagesRequestType = 12,
    FlagMessagesRequestType = 13,
    CreateFolderRequestType = 14,
    RenameFolderRequestType = 15,
    DeleteFolderRequestType = 16,
    CancelTransferRequestType = 17,
    DeleteMessagesRequestType = 18,
    SearchMessagesRequestType = 19,
    CancelSearchRequestType = 20,
    ListActionsRequestType = 21,
    ProtocolRequestRequestType = 22,
};

// One action of the message server, whatever client started it, as an
// observer sees it: its state follows the server's signals for as long as the
// observer that made it lives.
class QMailActionInfo : public QMailServiceAction
{
    Q_OBJECT
public:
    typedef QMailServiceAction::Status::ErrorCode StatusErrorCode;

    quint64 id() const { return mId; }
    QMailServerRequestType requestType() const { return mRequestType; }
    float totalProgress() const { return mTotalProgress; }
    StatusErrorCode statusErrorCode() const { return status().errorCode; }
    QString statusText() const { return status().text; }
    QMailAccountId statusAccountId() const { return status().accountId; }
    QMailFolderId statusFolderId() const { return status().folderId; }
    QMailMessageId statusMessageId() const { return status().messageId; }

public Q_SLOTS:
    // Asks the message server to cancel the action (asynchronously; the end
    // arrives as the action's own activity change, with ErrCancel).
    void cancelOperation() override;

Q_SIGNALS:
    void statusErrorCodeChanged(QMailActionInfo::StatusErrorCode error);
    void statusTextChanged(const QString &text);
    void statusAccountIdChanged(const QMailAccountId &accountId);
    void statusFolderIdChanged(const QMailFolderId &folderId);
    void statusMessageIdChanged(const QMailMessageId &messageId);
    void totalProgressChanged(float progress);

private:
    friend class QMailActionObserver;
    QMailActionInfo(const QMailActionData &data, QMailMessageServerInterface *server);

    // Stores the whole status first; statusChanged, then one signal per
    // changed field.
    void applyStatus(const Status &status);
    void applyProgress(uint value, uint total, float totalProgress);
    void applyData(const QMailActionData &data);

    quint64 mId;
    QMailServerRequestType mRequestType;
    float mTotalProgress = 0.0f;
    QPointer<QMailMessageServerInterface> mServer;
};

// The message server's current list of actions. actionsChanged carries the
// whole list whenever it changes: an action is started or has left it, the
// server's list is first read, or the server leaves the bus (every action
// still running then ends as failed with ErrFrameworkFault, and the list
// becomes empty). An action that stays in the list keeps its object.
class QMailActionObserver : public QObject
{
    Q_OBJECT
public:
    explicit QMailActionObserver(QObject *parent = nullptr);
    ~QMailActionObserver() override;

    QList<QSharedPointer<QMailActionInfo>> actions() const { return mActions; }

Q_SIGNALS:
    void actionsChanged(const QList<QSharedPointer<QMailActionInfo>> &actions);

private Q_SLOTS:
    void onActionsChanged(const QList<QMailActionData> &list);
    void onActivityChanged(qulonglong actionId, int activity);
    void onStatusChanged(qulonglong actionId, int errorCode, const QString &text,
                         qulonglong accountId, qulonglong folderId, qulonglong messageId);
    void onConnectivityChanged(qulonglong actionId, int connectivity);
    void onProgressChanged(qulonglong actionId, uint value, uint total);
    void onListed(QDBusPendingCallWatcher *call);
    void onServerOwnerChanged(const QString &service, const QString &oldOwner,
                              const QString &newOwner);

private:
    void requestList();
    QMailActionInfo *find(quint64 actionId) const;

    QMailMessageServerInterface *mServer = nullptr;
    QList<QSharedPointer<QMailActionInfo>> mActions;
};

#endif // QMAILACTIONOBSERVER_H
