#ifndef SERVICEJOB_H
#define SERVICEJOB_H

#include <qmailactionobserver.h>
#include <qmailfolder.h>
#include <qmailid.h>
#include <qmailserviceaction.h>

#include <QObject>

// One mail-service operation, in the manner of the KDE PIM job classes: the
// server starts it when its turn comes, it reports progress and what it is
// working on, and it ends exactly once with a result (error code 0) or an
// error. A job that works in slices gives the event loop back between them,
// so that a cancel request reaches it; it then undoes its open work and ends
// with ErrCancel.
class ServiceJob : public QObject
{
    Q_OBJECT
public:
    ServiceJob(QMailServerRequestType requestType, const QMailAccountId &accountId,
               QObject *parent = nullptr);
    ~ServiceJob() override;

    QMailServerRequestType requestType() const { return mRequestType; }
    QMailAccountId accountId() const { return mAccountId; }
    bool isFinished() const { return mFinished; }
    bool isCancelled() const { return mCancelled; }

    void start();
    void cancel();

Q_SIGNALS:
    void progressChanged(uint value, uint total);
    void statusChanged(const QMailServiceAction::Status &status);
    void finished(const QMailServiceAction::Status &status);

protected:
    virtual void doStart() = 0;
    // A sliced job ends itself at its next slice; others have nothing open.
    virtual bool isSliced() const { return false; }
    // A sliced job that waits on something else than its next slice (a
    // server's answer) hears of a cancel request here, and ends itself.
    virtual void cancelRequested() { }

    // The folders a request names (none: all of the account's); false, and
    // the job failed, when one is not the account's.
    bool accountFolders(const QMailFolderIdList &requested, QList<QMailFolder> *folders);
    void setProgress(uint value, uint total);
    void setWorkingOn(const QMailFolderId &folderId, const QString &text = QString());
    void succeed(const QString &text = QString());
    void fail(QMailServiceAction::Status::ErrorCode code, const QString &text,
              const QMailFolderId &folderId = QMailFolderId(),
              const QMailMessageId &messageId = QMailMessageId());

private:
    void emitFinished(const QMailServiceAction::Status &status);

    QMailServerRequestType mRequestType;
    QMailAccountId mAccountId;
    bool mStarted = false;
    bool mFinished = false;
    bool mCancelled = false;
};

// A request that cannot be carried out at all still ends like any other job.
class FailedJob : public ServiceJob
{
    Q_OBJECT
public:
    FailedJob(QMailServerRequestType requestType, const QMailAccountId &accountId,
              QMailServiceAction::Status::ErrorCode code, const QString &text,
              QObject *parent = nullptr);

protected:
    void doStart() override;

private:
    QMailServiceAction::Status::ErrorCode mCode;
    QString mText;
};

#endif // SERVICEJOB_H
