#ifndef MESSAGESERVER_H
#define MESSAGESERVER_H

#include <qmailactionobserver.h>
#include <qmailmessageserverservice.h>

#include <qmailid.h>
#include <qmailserviceaction.h>

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>

class AccountMirror;
class MailBackend;
class ServiceJob;

// The request handling of the message server: every request of the
// com.brenmor.qmf.MessageServer interface becomes an action in the running
// list and a job of the account's backend. Jobs run one at a time, in the
// order of their requests, because each holds the store's one transaction
// while it writes. The generated adaptor calls the interface's methods.
class MessageServer : public QMailMessageServerService
{
    Q_OBJECT
public:
    explicit MessageServer(QObject *parent = nullptr);
    ~MessageServer() override;

    // Mirrors the accounts, takes the bus name and serves the interface.
    bool start();

    qulonglong ExportUpdates(qulonglong accountId) override;
    qulonglong TransmitMessages(qulonglong accountId) override;
    qulonglong RetrieveFolderList(qulonglong accountId, qulonglong folderId,
                                  bool descending) override;
    qulonglong RetrieveMessageLists(qulonglong accountId, const QList<qulonglong> &folderIds,
                                    uint minimum, const QMailSortElementList &sort) override;
    bool CancelAction(qulonglong actionId) override;
    QMailActionDataList ListActions() override;

private Q_SLOTS:
    void onPushFolderChanged(const QMailAccountId &accountId, const QMailFolderId &folderId);
    void onConfigChanged(const QMailAccountId &accountId);

private:
    struct Request
    {
        QMailServerRequestType type = RetrieveMessageListRequestType;
        QMailAccountId accountId;
        QMailFolderId folderId;
        QMailFolderIdList folderIds;
        uint minimum = 0;
    };
    struct Entry
    {
        QMailActionData action;
        Request request;
        ServiceJob *job = nullptr;
    };

    quint64 enqueue(const Request &request);
    void schedulePump();
    void pump();
    void run(int index);
    ServiceJob *createJob(const Request &request);
    MailBackend *backendFor(const QMailAccountId &accountId);
    int indexOf(quint64 actionId) const;
    void onJobProgress(quint64 actionId, uint value, uint total);
    void onJobStatus(quint64 actionId, const QMailServiceAction::Status &status);
    void onJobFinished(quint64 actionId, const QMailServiceAction::Status &status);

    AccountMirror *mMirror;
    QList<MailBackend *> mBackends;
    QList<Entry> mEntries; // in the order of the requests
    quint64 mLastId = 0;
    quint64 mRunning = 0; // the action whose job runs, 0 when none
    bool mPumpScheduled = false;
    // Accounts whose whole folder list has arrived since their last complete sync.
    QSet<QMailAccountId> mFolderListDone;
};

#endif // MESSAGESERVER_H
