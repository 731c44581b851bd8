#include "qmailactionobserver.h"

#include "qmailmessageserverinterface.h"
#include "qmailwiretypes.h"

#include <QDBusConnection>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>

namespace {

template<typename Enum> Enum toEnum(int value)
{
    return static_cast<Enum>(value);
}

float fraction(uint value, uint total)
{
    return total ? float(value) / float(total) : 0.0f;
}

} // namespace

QMailActionInfo::QMailActionInfo(const QMailActionData &data, QMailMessageServerInterface *server)
    : mId(data.id)
    , mRequestType(toEnum<QMailServerRequestType>(data.requestType))
    , mServer(server)
{
    // A new action takes its state silently: nobody listens to it yet.
    applyData(data);
}

void QMailActionInfo::applyData(const QMailActionData &data)
{
    applyStatus(Status(toEnum<Status::ErrorCode>(data.errorCode), data.statusText,
                       QMailAccountId(data.accountId), QMailFolderId(data.folderId),
                       QMailMessageId(data.messageId)));
    setConnectivity(toEnum<Connectivity>(data.connectivity));
    applyProgress(data.progress, data.total, float(data.totalProgress));
    setActivity(toEnum<Activity>(data.activity));
}

void QMailActionInfo::applyStatus(const Status &next)
{
    const Status previous = status();
    setStatus(next);
    if (next.errorCode != previous.errorCode) {
        Q_EMIT statusErrorCodeChanged(next.errorCode);
    }
    if (next.text != previous.text) {
        Q_EMIT statusTextChanged(next.text);
    }
    if (next.accountId != previous.accountId) {
        Q_EMIT statusAccountIdChanged(next.accountId);
    }
    if (next.folderId != previous.folderId) {
        Q_EMIT statusFolderIdChanged(next.folderId);
    }
    if (next.messageId != previous.messageId) {
        Q_EMIT statusMessageIdChanged(next.messageId);
    }
}

void QMailActionInfo::applyProgress(uint value, uint total, float totalProgress)
{
    if (mTotalProgress != totalProgress) {
        mTotalProgress = totalProgress;
        Q_EMIT totalProgressChanged(totalProgress);
    }
    setProgress(value, total);
}

void QMailActionInfo::cancelOperation()
{
    if (!mServer || !isRunning()) {
        return;
    }
    auto *call = new QDBusPendingCallWatcher(mServer->CancelAction(mId), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [id = mId](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        if (w->isError()) {
            qWarning() << "QMailActionInfo: cannot cancel action" << id << ":"
                       << w->error().message();
        }
    });
}

QMailActionObserver::QMailActionObserver(QObject *parent)
    : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qWarning() << "QMailActionObserver: no session bus, no actions to observe:"
                   << bus.lastError().message();
        return;
    }
    mServer = new QMailMessageServerInterface(QStringLiteral(QMF_MESSAGESERVER_SERVICE),
                                              QStringLiteral(QMF_MESSAGESERVER_PATH), bus, this);
    connect(mServer, &QMailMessageServerInterface::ActionsChanged, this,
            &QMailActionObserver::onActionsChanged);
    connect(mServer, &QMailMessageServerInterface::ActivityChanged, this,
            &QMailActionObserver::onActivityChanged);
    connect(mServer, &QMailMessageServerInterface::StatusChanged, this,
            &QMailActionObserver::onStatusChanged);
    connect(mServer, &QMailMessageServerInterface::ConnectivityChanged, this,
            &QMailActionObserver::onConnectivityChanged);
    connect(mServer, &QMailMessageServerInterface::ProgressChanged, this,
            &QMailActionObserver::onProgressChanged);
    auto *watcher = new QDBusServiceWatcher(QStringLiteral(QMF_MESSAGESERVER_SERVICE), bus,
                                            QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            &QMailActionObserver::onServerOwnerChanged);
    requestList();
}

QMailActionObserver::~QMailActionObserver() = default;

void QMailActionObserver::requestList()
{
    auto *call = new QDBusPendingCallWatcher(mServer->ListActions(), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, &QMailActionObserver::onListed);
}

void QMailActionObserver::onListed(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    const QDBusPendingReply<QMailActionDataList> reply = *call;
    // No server yet is no fault: its list arrives when it appears.
    if (!reply.isError()) {
        onActionsChanged(reply.value());
    }
}

void QMailActionObserver::onActionsChanged(const QList<QMailActionData> &list)
{
    QList<QSharedPointer<QMailActionInfo>> next;
    next.reserve(list.size());
    for (const QMailActionData &data : list) {
        QSharedPointer<QMailActionInfo> info;
        for (const auto &known : qAsConst(mActions)) {
            if (known->id() == data.id) {
                info = known;
                break;
            }
        }
        if (info) {
            info->applyData(data);
        } else {
            info.reset(new QMailActionInfo(data, mServer));
        }
        next.append(info);
    }
    mActions = next;
    Q_EMIT actionsChanged(mActions);
}

QMailActionInfo *QMailActionObserver::find(quint64 actionId) const
{
    for (const auto &info : mActions) {
        if (info->id() == actionId) {
            return info.data();
        }
    }
    return nullptr;
}

void QMailActionObserver::onActivityChanged(qulonglong actionId, int activity)
{
    if (QMailActionInfo *info = find(actionId)) {
        info->setActivity(toEnum<QMailServiceAction::Activity>(activity));
    }
}

void QMailActionObserver::onStatusChanged(qulonglong actionId, int errorCode, const QString &text,
                                          qulonglong accountId, qulonglong folderId,
                                          qulonglong messageId)
{
    if (QMailActionInfo *info = find(actionId)) {
        info->applyStatus(QMailServiceAction::Status(
            toEnum<QMailServiceAction::Status::ErrorCode>(errorCode), text,
            QMailAccountId(accountId), QMailFolderId(folderId), QMailMessageId(messageId)));
    }
}

void QMailActionObserver::onConnectivityChanged(qulonglong actionId, int connectivity)
{
    if (QMailActionInfo *info = find(actionId)) {
        info->setConnectivity(toEnum<QMailServiceAction::Connectivity>(connectivity));
    }
}

void QMailActionObserver::onProgressChanged(qulonglong actionId, uint value, uint total)
{
    if (QMailActionInfo *info = find(actionId)) {
        info->applyProgress(value, total, fraction(value, total));
    }
}

void QMailActionObserver::onServerOwnerChanged(const QString &, const QString &oldOwner,
                                               const QString &newOwner)
{
    if (!oldOwner.isEmpty() && !mActions.isEmpty()) {
        // The server's actions went with it: end those still running, as failed.
        const auto gone = mActions;
        for (const auto &info : gone) {
            if (info->isRunning()) {
                QMailServiceAction::Status status = info->status();
                status.errorCode = QMailServiceAction::Status::ErrFrameworkFault;
                status.text = QStringLiteral("The message server quit before the action ended");
                info->applyStatus(status);
                info->setActivity(QMailServiceAction::Failed);
            }
        }
        mActions.clear();
        Q_EMIT actionsChanged(mActions);
    }
    if (!newOwner.isEmpty()) {
        requestList();
    }
}
