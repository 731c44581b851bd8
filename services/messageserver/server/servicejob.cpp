#include "server/servicejob.h"

#include <qmailstore.h>

ServiceJob::ServiceJob(QMailServerRequestType requestType, const QMailAccountId &accountId,
                       QObject *parent)
    : QObject(parent)
    , mRequestType(requestType)
    , mAccountId(accountId)
{ }

ServiceJob::~ServiceJob() = default;

void ServiceJob::start()
{
    if (mStarted || mFinished) {
        return;
    }
    mStarted = true;
    if (mCancelled) {
        fail(QMailServiceAction::Status::ErrCancel, QStringLiteral("Cancelled"));
        return;
    }
    doStart();
}

void ServiceJob::cancel()
{
    if (mFinished) {
        return;
    }
    mCancelled = true;
    // A job that has not started, or that runs in one go, has nothing open.
    if (!mStarted || !isSliced()) {
        fail(QMailServiceAction::Status::ErrCancel, QStringLiteral("Cancelled"));
    } else {
        cancelRequested();
    }
}

bool ServiceJob::accountFolders(const QMailFolderIdList &requested, QList<QMailFolder> *folders)
{
    QMailStore *store = QMailStore::instance();
    const QMailFolderIdList ids = requested.isEmpty()
        ? store->queryFolders(QMailFolderKey::parentAccountId(mAccountId))
        : requested;
    for (const QMailFolderId &id : ids) {
        folders->append(store->folder(id));
        if (folders->last().parentAccountId() != mAccountId) {
            fail(QMailServiceAction::Status::ErrInvalidData,
                 QStringLiteral("Folder %1 is not a folder of account %2")
                     .arg(id.toULongLong())
                     .arg(mAccountId.toULongLong()),
                 id);
            return false;
        }
    }
    return true;
}

void ServiceJob::setProgress(uint value, uint total)
{
    Q_EMIT progressChanged(value, total);
}

void ServiceJob::setWorkingOn(const QMailFolderId &folderId, const QString &text)
{
    Q_EMIT statusChanged(QMailServiceAction::Status(QMailServiceAction::Status::ErrNoError, text,
                                                    mAccountId, folderId));
}

void ServiceJob::succeed(const QString &text)
{
    emitFinished(
        QMailServiceAction::Status(QMailServiceAction::Status::ErrNoError, text, mAccountId));
}

void ServiceJob::fail(QMailServiceAction::Status::ErrorCode code, const QString &text,
                      const QMailFolderId &folderId, const QMailMessageId &messageId)
{
    emitFinished(QMailServiceAction::Status(code, text, mAccountId, folderId, messageId));
}

void ServiceJob::emitFinished(const QMailServiceAction::Status &status)
{
    if (mFinished) {
        return;
    }
    mFinished = true;
    Q_EMIT finished(status);
}

FailedJob::FailedJob(QMailServerRequestType requestType, const QMailAccountId &accountId,
                     QMailServiceAction::Status::ErrorCode code, const QString &text,
                     QObject *parent)
    : ServiceJob(requestType, accountId, parent)
    , mCode(code)
    , mText(text)
{ }

void FailedJob::doStart()
{
    fail(mCode, mText);
}
