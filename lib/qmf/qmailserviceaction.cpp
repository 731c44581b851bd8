#include "qmailserviceaction.h"

namespace {

void registerActionTypes()
{
    qRegisterMetaType<QMailServiceAction::Status>("QMailServiceAction::Status");
    qRegisterMetaType<QMailServiceAction::Status::ErrorCode>(
        "QMailServiceAction::Status::ErrorCode");
    qRegisterMetaType<QMailServiceAction::Activity>("QMailServiceAction::Activity");
    qRegisterMetaType<QMailServiceAction::Connectivity>("QMailServiceAction::Connectivity");
}
Q_CONSTRUCTOR_FUNCTION(registerActionTypes)

} // namespace

QMailServiceAction::Status::Status(ErrorCode code, const QString &text,
                                   const QMailAccountId &accountId, const QMailFolderId &folderId,
                                   const QMailMessageId &messageId)
    : errorCode(code)
    , text(text)
    , accountId(accountId)
    , folderId(folderId)
    , messageId(messageId)
{ }

QMailServiceAction::QMailServiceAction(QObject *parent)
    : QObject(parent)
{ }

QMailServiceAction::~QMailServiceAction() = default;

void QMailServiceAction::cancelOperation()
{ }

void QMailServiceAction::setConnectivity(Connectivity connectivity)
{
    if (mConnectivity != connectivity) {
        mConnectivity = connectivity;
        Q_EMIT connectivityChanged(connectivity);
    }
}

void QMailServiceAction::setActivity(Activity activity)
{
    if (mActivity != activity) {
        mActivity = activity;
        Q_EMIT activityChanged(activity);
    }
}

void QMailServiceAction::setStatus(const Status &status)
{
    const bool changed = status.errorCode != mStatus.errorCode || status.text != mStatus.text
        || status.accountId != mStatus.accountId || status.folderId != mStatus.folderId
        || status.messageId != mStatus.messageId;
    if (changed) {
        mStatus = status;
        Q_EMIT statusChanged(status);
    }
}

void QMailServiceAction::setProgress(uint value, uint total)
{
    if (mProgress != value || mTotal != total) {
        mProgress = value;
        mTotal = total;
        Q_EMIT progressChanged(value, total);
    }
}
