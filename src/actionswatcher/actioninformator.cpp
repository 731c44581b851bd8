#include "actioninformator.h"

#include "logcategories.h"
#include "statustexts.h"

ActionInformator::ActionInformator(QSharedPointer<QMailActionInfo> action, QObject *parent)
    : QObject(parent)
    , mAction(action)
{
    QMailActionInfo *info = mAction.data();
    connect(info, &QMailActionInfo::activityChanged, this, &ActionInformator::activityChanged);
    connect(info, &QMailActionInfo::statusAccountIdChanged, this,
            &ActionInformator::statusAccountIdChanged);
    connect(info, &QMailActionInfo::progressChanged, this, &ActionInformator::progressChanged);

    // The other signals only feed the log: they are followed only while it is on.
    if (!qmf_isCategoryEnabled(qmf_logFlag_Watcher(), "Watcher")) {
        return;
    }
    connect(info, &QMailActionInfo::statusErrorCodeChanged, this,
            &ActionInformator::statusErrorCodeChanged);
    connect(info, &QMailActionInfo::statusFolderIdChanged, this,
            &ActionInformator::statusFolderIdChanged);
    connect(info, &QMailActionInfo::statusMessageIdChanged, this,
            &ActionInformator::statusMessageIdChanged);
    connect(info, &QMailActionInfo::statusTextChanged, this, &ActionInformator::statusTextChanged);
    connect(info, &QMailActionInfo::connectivityChanged, this,
            &ActionInformator::connectivityChanged);
    connect(info, &QMailActionInfo::statusChanged, this, &ActionInformator::statusChanged);
    qMailLog(Watcher) << "New action: Id: " << info->id() << ", request type:'"
                      << requestTypeText(info->requestType()) << "', error code: '"
                      << errorCodeText(info->statusErrorCode())
                      << "', status Folder Id: " << info->statusFolderId()
                      << ", status account Id :" << info->statusAccountId()
                      << ", message id: " << info->statusMessageId()
                      << ", text: " << info->statusText()
                      << ", total progress:" << info->totalProgress();
}

bool ActionInformator::isDownload() const
{
    // Only the transmission of new messages is an upload.
    return mAction->requestType() != TransmitMessagesRequestType;
}

void ActionInformator::learnAccount()
{
    if (!mAccountId.isValid()) {
        mAccountId = mAction->statusAccountId();
    }
}

void ActionInformator::activityChanged(QMailServiceAction::Activity a)
{
    qMailLog(Watcher) << "ActionId: " << mAction->id()
                      << ", status account Id :" << mAction->statusAccountId() << " (" << mAccountId
                      << "): activityChanged: " << activityText(a);
    learnAccount();
    if (!mAccountId.isValid()) {
        qMailLog(Watcher) << "Account is invalid, doing nothing";
        return;
    }
    switch (a) {
    case QMailServiceAction::InProgress:
        Q_EMIT transferStarted(mAccountId, isDownload());
        break;
    case QMailServiceAction::Successful:
        // A success is a success, whatever code the action carries.
        Q_EMIT transferFinished(mAccountId, QMailServiceAction::Status::ErrNoError);
        break;
    case QMailServiceAction::Failed:
        Q_EMIT transferFinished(mAccountId, mAction->statusErrorCode());
        break;
    default:
        break;
    }
}

void ActionInformator::statusAccountIdChanged(QMailAccountId accountId)
{
    qMailLog(Watcher) << "ActionId: " << mAction->id() << "statusAccountIdChanged: " << accountId;
    if (!accountId.isValid()) {
        return;
    }
    mAccountId = accountId;
    // An action that names its account only once it runs still opens a transfer.
    if (mAction->activity() == QMailServiceAction::InProgress) {
        Q_EMIT transferStarted(accountId, isDownload());
    }
}

void ActionInformator::progressChanged(uint value, uint total)
{
    qMailLog(Watcher) << "ActionId: " << mAction->id()
                      << ", status account Id :" << mAction->statusAccountId() << " (" << mAccountId
                      << "): progressChanged :" << value << " from " << total;
    learnAccount();
    // Also with an invalid account: the transfer manager rejects it.
    Q_EMIT transferProgress(mAccountId, value, total);
}

void ActionInformator::statusErrorCodeChanged(QMailActionInfo::StatusErrorCode error)
{
    qMailLog(Watcher) << "ActionId: " << mAction->id()
                      << "statusErrorCodeChanged: " << errorCodeText(error);
}

void ActionInformator::statusFolderIdChanged(QMailFolderId folderId)
{
    qMailLog(Watcher) << "ActionId: " << mAction->id() << "statusFolderIdChanged: " << folderId;
}

void ActionInformator::statusMessageIdChanged(QMailMessageId messageId)
{
    qMailLog(Watcher) << "ActionId: " << mAction->id() << "statusMessageIdChanged :" << messageId;
}

void ActionInformator::statusTextChanged(QString text)
{
    qMailLog(Watcher) << "ActionId: " << mAction->id() << "statusTextChanged :" << text;
}

void ActionInformator::connectivityChanged(QMailServiceAction::Connectivity c)
{
    qMailLog(Watcher) << "ActionId: " << mAction->id() << "connectivityChanged"
                      << connectivityText(c);
}

void ActionInformator::statusChanged(QMailServiceAction::Status s)
{
    qMailLog(Watcher) << "ActionId: " << mAction->id()
                      << "statusChanged:" << errorCodeText(s.errorCode) << " for account "
                      << s.accountId << ", folder " << s.folderId << ", message " << s.messageId
                      << ", text '" << s.text << "'";
}
