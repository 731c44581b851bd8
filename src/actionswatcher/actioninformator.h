#ifndef ACTIONINFORMATOR_H
#define ACTIONINFORMATOR_H

#include <qmailactionobserver.h>
#include <qmailid.h>

#include <QObject>
#include <QSharedPointer>

// Follows one action of the message server and turns it into account-level
// transfer events. The account is learnt from the action's status and kept
// even when a later status names none.
class ActionInformator : public QObject
{
    Q_OBJECT
public:
    ActionInformator(QSharedPointer<QMailActionInfo> action, QObject *parent);

    quint64 actionId() const { return mAction->id(); }
    QMailAccountId accountId() const { return mAccountId; }
    void setAccountId(const QMailAccountId &id) { mAccountId = id; }
    void cancel() { mAction->cancelOperation(); }

Q_SIGNALS:
    void transferStarted(QMailAccountId id, bool download);
    void transferProgress(QMailAccountId id, uint progress, uint total);
    void transferFinished(QMailAccountId id, QMailServiceAction::Status::ErrorCode status);

private Q_SLOTS:
    void statusAccountIdChanged(QMailAccountId accountId);
    void statusErrorCodeChanged(QMailActionInfo::StatusErrorCode error);
    void statusFolderIdChanged(QMailFolderId folderId);
    void statusMessageIdChanged(QMailMessageId messageId);
    void statusTextChanged(QString text);
    void activityChanged(QMailServiceAction::Activity a);
    void connectivityChanged(QMailServiceAction::Connectivity c);
    void progressChanged(uint value, uint total);
    void statusChanged(QMailServiceAction::Status s);

private:
    bool isDownload() const;
    void learnAccount();

    QSharedPointer<QMailActionInfo> mAction;
    QMailAccountId mAccountId;
};

#endif // ACTIONINFORMATOR_H
