#include "server/messageserver.h"

#include "imap/imapbackend.h"
#include "imap/imapjobs.h"
#include "maildir/maildirbackend.h"
#include "maildir/maildirjobs.h"
#include "server/accountmirror.h"
#include "server/messageserverlog.h"
#include "server/servicejob.h"

#include <qmailmessageserveradaptor.h>
#include <qmailstore.h>

#include <QDBusConnection>
#include <QDBusError>
#include <QTimer>

namespace {

const char *const ServiceName = QMF_MESSAGESERVER_SERVICE;
const char *const ObjectPath = QMF_MESSAGESERVER_PATH;

} // namespace

MessageServer::MessageServer(QObject *parent)
    : QMailMessageServerService(parent)
    , mMirror(new AccountMirror(this))
{
    new QMailMessageServerAdaptor(this);
    mBackends.append(new MaildirBackend(this));
    mBackends.append(new ImapBackend(this));
    for (MailBackend *backend : qAsConst(mBackends)) {
        connect(backend, &MailBackend::folderChanged, this, &MessageServer::onPushFolderChanged);
    }
    connect(mMirror, &AccountMirror::configChanged, this, &MessageServer::onConfigChanged);
    ExportUpdatesJob::setMaildirResolver(
        [this](const QMailAccountId &id) { return mMirror->config(id).maildir; });
    ImapExportJob::setConfigResolver(
        [this](const QMailAccountId &id) { return mMirror->config(id); });
}

MessageServer::~MessageServer()
{
    for (const Entry &entry : qAsConst(mEntries)) {
        delete entry.job; // a running import rolls its transaction back
    }
}

bool MessageServer::start()
{
    if (QMailStore::initializationState() == QMailStore::InitializationFailed
        || !QMailStore::instance()) {
        qWarning("MessageServer: the mail store cannot be opened");
        return false;
    }
    // The name first: a second server, which cannot have it, changes nothing.
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qWarning("MessageServer: no session bus: %s", qPrintable(bus.lastError().message()));
        return false;
    }
    if (!bus.registerObject(QLatin1String(ObjectPath), this)) {
        qWarning("MessageServer: cannot serve %s", ObjectPath);
        return false;
    }
    if (!bus.registerService(QLatin1String(ServiceName))) {
        qWarning("MessageServer: cannot own %s: %s", ServiceName,
                 qPrintable(bus.lastError().message()));
        return false;
    }
    // Requests wait in the bus until the event loop runs, after the mirror.
    mMirror->start();
    qMailLog(MessageServer) << "serving" << ServiceName;
    return true;
}

qulonglong MessageServer::ExportUpdates(qulonglong accountId)
{
    Request request;
    request.type = ExportUpdatesRequestType;
    request.accountId = QMailAccountId(accountId);
    return enqueue(request);
}

qulonglong MessageServer::TransmitMessages(qulonglong accountId)
{
    Request request;
    request.type = TransmitMessagesRequestType;
    request.accountId = QMailAccountId(accountId);
    return enqueue(request);
}

qulonglong MessageServer::RetrieveFolderList(qulonglong accountId, qulonglong folderId, bool)
{
    Request request;
    request.type = RetrieveFolderListRequestType;
    request.accountId = QMailAccountId(accountId);
    request.folderId = QMailFolderId(folderId);
    return enqueue(request);
}

qulonglong MessageServer::RetrieveMessageLists(qulonglong accountId,
                                               const QList<qulonglong> &folderIds, uint minimum,
                                               const QMailSortElementList &)
{
    Request request;
    request.type = RetrieveMessageListRequestType;
    request.accountId = QMailAccountId(accountId);
    for (qulonglong id : folderIds) {
        request.folderIds.append(QMailFolderId(id));
    }
    request.minimum = minimum;
    return enqueue(request);
}

bool MessageServer::CancelAction(qulonglong actionId)
{
    const int index = indexOf(actionId);
    if (index < 0) {
        return false;
    }
    qMailLog(MessageServer) << "cancel action" << actionId;
    if (mRunning == actionId) {
        mEntries.at(index).job->cancel();
        return true;
    }
    // A waiting action ends at once, without taking its turn.
    delete mEntries.at(index).job;
    mEntries[index].job
        = new FailedJob(mEntries.at(index).request.type, mEntries.at(index).request.accountId,
                        QMailServiceAction::Status::ErrCancel, QStringLiteral("Cancelled"));
    run(index);
    return true;
}

QMailActionDataList MessageServer::ListActions()
{
    QMailActionDataList list;
    for (const Entry &entry : qAsConst(mEntries)) {
        list.append(entry.action);
    }
    return list;
}

quint64 MessageServer::enqueue(const Request &request)
{
    Entry entry;
    entry.action.id = ++mLastId;
    entry.action.requestType = request.type;
    entry.action.accountId = request.accountId.toULongLong();
    entry.action.folderId = request.folderIds.size() == 1 ? request.folderIds.first().toULongLong()
                                                          : request.folderId.toULongLong();
    entry.request = request;
    mEntries.append(entry);
    qMailLog(MessageServer) << "action" << entry.action.id << "request type" << int(request.type)
                            << "account" << entry.action.accountId;
    // The announcement follows the request's answer, as the interface promises.
    QTimer::singleShot(0, this, [this] { Q_EMIT ActionsChanged(ListActions()); });
    schedulePump();
    return entry.action.id;
}

void MessageServer::schedulePump()
{
    if (!mPumpScheduled) {
        mPumpScheduled = true;
        QTimer::singleShot(0, this, &MessageServer::pump);
    }
}

void MessageServer::pump()
{
    mPumpScheduled = false;
    if (mRunning != 0 || mEntries.isEmpty()) {
        return;
    }
    // The oldest action runs first; the store is free between two jobs.
    mMirror->applyPending();
    mRunning = mEntries.first().action.id;
    run(0);
}

void MessageServer::run(int index)
{
    Entry &entry = mEntries[index];
    const quint64 id = entry.action.id;
    if (!entry.job) {
        entry.job = createJob(entry.request);
    }
    ServiceJob *job = entry.job;
    connect(job, &ServiceJob::progressChanged, this,
            [this, id](uint value, uint total) { onJobProgress(id, value, total); });
    connect(job, &ServiceJob::statusChanged, this,
            [this, id](const QMailServiceAction::Status &status) { onJobStatus(id, status); });
    connect(job, &ServiceJob::finished, this,
            [this, id](const QMailServiceAction::Status &status) { onJobFinished(id, status); });
    entry.action.activity = QMailServiceAction::InProgress;
    Q_EMIT ActivityChanged(id, QMailServiceAction::InProgress);
    job->start();
}

ServiceJob *MessageServer::createJob(const Request &request)
{
    const QMailAccountId account = request.accountId;
    auto failed = [&](const QString &text) {
        return new FailedJob(request.type, account, QMailServiceAction::Status::ErrConfiguration,
                             text);
    };
    // A brand-new account may be asked for before its mirror has been made.
    const bool inStore = account.isValid() && mMirror->ensureInStore(account);
    const AccountConfig config = mMirror->config(account);
    if (!inStore) {
        return failed(QStringLiteral("No account %1").arg(account.toULongLong()));
    }
    if (!config.unreadable.isEmpty()) {
        return failed(QStringLiteral("Cannot read account %1 from the accounts database: %2")
                          .arg(account.toULongLong())
                          .arg(config.unreadable));
    }
    if (!config.refused.isEmpty()) {
        return failed(config.refused);
    }
    if (!config.known) {
        return failed(QStringLiteral("Account %1 is not in the accounts database")
                          .arg(account.toULongLong()));
    }
    if (!config.enabled) {
        return failed(QStringLiteral("Account %1 is disabled").arg(account.toULongLong()));
    }
    MailBackend *backend = nullptr;
    for (MailBackend *candidate : qAsConst(mBackends)) {
        if (!backend && candidate->handles(config)) {
            backend = candidate;
        }
    }
    if (!backend) {
        return failed(QStringLiteral("Account %1 names no mail source").arg(account.toULongLong()));
    }
    switch (request.type) {
    case ExportUpdatesRequestType:
        return backend->exportUpdates(account, config);
    case TransmitMessagesRequestType:
        return backend->transmitMessages(account, config);
    case RetrieveFolderListRequestType:
        return backend->retrieveFolderList(account, config, request.folderId);
    case RetrieveMessageListRequestType:
        return backend->retrieveMessageLists(account, config, request.folderIds, request.minimum);
    // The interface takes no other request; each is named, so that a new one
    // is not forgotten here.
    case AcknowledgeNewMessagesRequestType:
    case RetrieveMessagesRequestType:
    case RetrieveMessagePartRequestType:
    case RetrieveMessageRangeRequestType:
    case RetrieveMessagePartRangeRequestType:
    case RetrieveAllRequestType:
    case SynchronizeRequestType:
    case CopyMessagesRequestType:
    case MoveMessagesRequestType:
    case FlagMessagesRequestType:
    case CreateFolderRequestType:
    case RenameFolderRequestType:
    case DeleteFolderRequestType:
    case CancelTransferRequestType:
    case DeleteMessagesRequestType:
    case SearchMessagesRequestType:
    case CancelSearchRequestType:
    case ListActionsRequestType:
    case ProtocolRequestRequestType:
        break;
    }
    return new FailedJob(request.type, account, QMailServiceAction::Status::ErrNotImplemented,
                         QStringLiteral("Request type %1 is not served").arg(int(request.type)));
}

int MessageServer::indexOf(quint64 actionId) const
{
    for (int i = 0; i < mEntries.size(); ++i) {
        if (mEntries.at(i).action.id == actionId) {
            return i;
        }
    }
    return -1;
}

void MessageServer::onJobProgress(quint64 actionId, uint value, uint total)
{
    const int index = indexOf(actionId);
    if (index < 0) {
        return;
    }
    QMailActionData &action = mEntries[index].action;
    action.progress = value;
    action.total = total;
    action.totalProgress = total == 0 ? 0.0 : double(value) / total;
    Q_EMIT ProgressChanged(actionId, value, total);
}

void MessageServer::onJobStatus(quint64 actionId, const QMailServiceAction::Status &status)
{
    const int index = indexOf(actionId);
    if (index < 0) {
        return;
    }
    QMailActionData &action = mEntries[index].action;
    action.folderId = status.folderId.toULongLong();
    action.statusText = status.text;
    Q_EMIT StatusChanged(actionId, 0, status.text, action.accountId, action.folderId, 0);
}

void MessageServer::onJobFinished(quint64 actionId, const QMailServiceAction::Status &status)
{
    const int index = indexOf(actionId);
    if (index < 0) {
        return;
    }
    Entry entry = mEntries.at(index);
    const bool ok = status.errorCode == QMailServiceAction::Status::ErrNoError;
    const int code = ok ? 0 : int(status.errorCode);
    qMailLog(MessageServer) << "action" << actionId << (ok ? "succeeded" : "failed") << code
                            << status.text;
    // A failure is worth a line in every log, also where no category is
    // switched on; a cancel is the user's own doing.
    if (!ok && status.errorCode != QMailServiceAction::Status::ErrCancel) {
        qWarning("Request %llu (type %d) of account %llu failed with %d: %s",
                 static_cast<unsigned long long>(actionId), int(entry.request.type),
                 static_cast<unsigned long long>(entry.action.accountId), code,
                 qPrintable(status.text));
    }
    Q_EMIT StatusChanged(actionId, code, status.text, entry.action.accountId,
                         status.folderId.toULongLong(), status.messageId.toULongLong());
    const int activity = ok ? QMailServiceAction::Successful : QMailServiceAction::Failed;
    Q_EMIT ActivityChanged(actionId, activity);
    mEntries.removeAt(index);
    Q_EMIT ActionsChanged(ListActions());
    entry.job->deleteLater();
    if (mRunning == actionId) {
        mRunning = 0;
    }

    const QMailAccountId account = entry.request.accountId;
    if (ok && entry.request.type == RetrieveFolderListRequestType) {
        if (!entry.request.folderId.isValid()) {
            mFolderListDone.insert(account);
        }
        onConfigChanged(account); // push folders may exist now
    } else if (ok && entry.request.type == RetrieveMessageListRequestType
               && mFolderListDone.remove(account)) {
        mMirror->recordSynchronized(account);
    }
    mMirror->applyPending();
    schedulePump();
}

void MessageServer::onPushFolderChanged(const QMailAccountId &accountId,
                                        const QMailFolderId &folderId)
{
    // One waiting import of the folder takes in everything that arrives.
    for (const Entry &entry : qAsConst(mEntries)) {
        if (!entry.job && entry.request.type == RetrieveMessageListRequestType
            && entry.request.accountId == accountId
            && entry.request.folderIds == QMailFolderIdList { folderId }) {
            return;
        }
    }
    Request request;
    request.type = RetrieveMessageListRequestType;
    request.accountId = accountId;
    request.folderIds = { folderId };
    enqueue(request);
}

void MessageServer::onConfigChanged(const QMailAccountId &accountId)
{
    const AccountConfig config = mMirror->config(accountId);
    for (MailBackend *backend : qAsConst(mBackends)) {
        backend->setPushFolders(accountId, config);
    }
}
