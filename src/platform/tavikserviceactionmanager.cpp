#include "tavikserviceactionmanager.h"

#include <qmaillog.h>
#include <qmailmessagesortkey.h>

#include <qmailmessageserverinterface.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QThread>
#include <QTimer>

QMAIL_DECLARE_LOG_CATEGORY(ServiceActions)

namespace {

// How many outcomes of actions not (yet) known to be ours are remembered. The
// server broadcasts the actions of every client, so most of them are never
// claimed; the few that are claimed are claimed within one reply's latency.
const int EarlyNewsLimit = 256;

QString activityName(int activity)
{
    switch (activity) {
    case QMailServiceAction::Pending:
        return QStringLiteral("pending");
    case QMailServiceAction::InProgress:
        return QStringLiteral("in progress");
    case QMailServiceAction::Successful:
        return QStringLiteral("successful");
    case QMailServiceAction::Failed:
        return QStringLiteral("failed");
    }
    return QStringLiteral("unknown");
}

} // namespace

TavikServiceActionManager *TavikServiceActionManager::instance()
{
    // Reachable from this pointer for the whole process: the daemon never
    // deletes the manager, and actions may end until the very last event.
    static TavikServiceActionManager *manager = [] {
        auto *created = new TavikServiceActionManager;
        if (QCoreApplication *app = QCoreApplication::instance()) {
            if (created->thread() != app->thread()) {
                created->moveToThread(app->thread());
            }
        }
        return created;
    }();
    return manager;
}

TavikServiceActionManager::TavikServiceActionManager(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<TavikServiceActionManager::Serial>("TavikServiceActionManager::Serial");
}

TavikServiceActionManager::~TavikServiceActionManager() = default;

void TavikServiceActionManager::setVerbose(bool verbose)
{
    mVerbose = verbose;
}

TavikServiceActionManager::Serial
TavikServiceActionManager::exportUpdates(const QMailAccountId &accountId)
{
    return issue(QStringLiteral("ExportUpdates"), accountId,
                 [&](QMailMessageServerInterface *server) {
                     return server->ExportUpdates(accountId.toULongLong());
                 });
}

TavikServiceActionManager::Serial TavikServiceActionManager::send(const QMailAccountId &accountId)
{
    return issue(QStringLiteral("TransmitMessages"), accountId,
                 [&](QMailMessageServerInterface *server) {
                     return server->TransmitMessages(accountId.toULongLong());
                 });
}

TavikServiceActionManager::Serial
TavikServiceActionManager::retrieveFolderList(const QMailAccountId &accountId,
                                              const QMailFolderId &folderId, bool descending)
{
    return issue(QStringLiteral("RetrieveFolderList"), accountId,
                 [&](QMailMessageServerInterface *server) {
                     return server->RetrieveFolderList(accountId.toULongLong(),
                                                       folderId.toULongLong(), descending);
                 });
}

TavikServiceActionManager::Serial
TavikServiceActionManager::retrieveMessageLists(const QMailAccountId &accountId,
                                                const QList<QMailFolderId> &folderIds, uint minimum,
                                                const QMailMessageSortKey &sort)
{
    QList<qulonglong> folders;
    folders.reserve(folderIds.size());
    for (const QMailFolderId &id : folderIds) {
        folders.append(id.toULongLong());
    }
    QMailSortElementList order;
    for (const auto &argument : sort.list()) {
        order.append({ int(argument.first), argument.second == Qt::AscendingOrder });
    }
    return issue(QStringLiteral("RetrieveMessageLists"), accountId,
                 [&](QMailMessageServerInterface *server) {
                     return server->RetrieveMessageLists(accountId.toULongLong(), folders, minimum,
                                                         order);
                 });
}

TavikServiceActionManager::Serial TavikServiceActionManager::issue(
    const QString &request, const QMailAccountId &accountId,
    const std::function<QDBusPendingCall(QMailMessageServerInterface *)> &call)
{
    const Serial serial = ++mLastSerial;
    Action action;
    action.accountId = accountId;
    action.request = request;
    action.status.accountId = accountId;
    mActions.insert(serial, action);

    if (mVerbose) {
        qMailLog(ServiceActions) << "request" << serial << request << "for account"
                                 << accountId.toULongLong();
    }

    QMailMessageServerInterface *proxy = server();
    if (!proxy) {
        failLater(serial, QMailServiceAction::Status::ErrFrameworkFault,
                  QStringLiteral("The message server cannot be reached: no session bus (%1)")
                      .arg(QDBusConnection::sessionBus().lastError().message()));
        return serial;
    }
    auto *watcher = new QDBusPendingCallWatcher(call(proxy), this);
    mCalls.insert(watcher, serial);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, &TavikServiceActionManager::onReply);
    return serial;
}

QMailMessageServerInterface *TavikServiceActionManager::server()
{
    if (mServer) {
        return mServer;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return nullptr;
    }
    mServer = new QMailMessageServerInterface(QStringLiteral(QMF_MESSAGESERVER_SERVICE),
                                              QStringLiteral(QMF_MESSAGESERVER_PATH), bus, this);
    connect(mServer, &QMailMessageServerInterface::ActivityChanged, this,
            &TavikServiceActionManager::onServerActivityChanged);
    connect(mServer, &QMailMessageServerInterface::StatusChanged, this,
            &TavikServiceActionManager::onServerStatusChanged);
    auto *watcher = new QDBusServiceWatcher(QStringLiteral(QMF_MESSAGESERVER_SERVICE), bus,
                                            QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            &TavikServiceActionManager::onServerOwnerChanged);
    return mServer;
}

void TavikServiceActionManager::onReply(QDBusPendingCallWatcher *watcher)
{
    const Serial serial = mCalls.take(watcher);
    watcher->deleteLater();
    if (!mActions.contains(serial)) {
        return;
    }
    const QDBusPendingReply<qulonglong> reply = *watcher;
    if (reply.isError()) {
        const QDBusError error = reply.error();
        const auto code = error.type() == QDBusError::NoReply || error.type() == QDBusError::Timeout
                || error.type() == QDBusError::TimedOut
            ? QMailServiceAction::Status::ErrTimeout
            : QMailServiceAction::Status::ErrFrameworkFault;
        Action &action = mActions[serial];
        action.status.errorCode = code;
        action.status.text = QStringLiteral("The message server did not take the request: %1 (%2)")
                                 .arg(error.message(), error.name());
        finish(serial, QMailServiceAction::Failed, action.status);
        return;
    }

    const QString server = reply.reply().service();
    const quint64 serverId = reply.argumentAt<0>();
    if (mGoneServers.contains(server)) {
        // The answer was overtaken by the server's departure.
        Action &action = mActions[serial];
        action.status.errorCode = QMailServiceAction::Status::ErrFrameworkFault;
        action.status.text = QStringLiteral("The message server quit before the action ended");
        finish(serial, QMailServiceAction::Failed, action.status);
        return;
    }
    Action &action = mActions[serial];
    action.server = server;
    action.serverId = serverId;
    const quint64 key = serverId;
    mByServerId.insert(key, serial);

    if (mVerbose) {
        qMailLog(ServiceActions) << "request" << serial << "is action" << serverId << "of"
                                 << server;
    }

    // Signals about the action may have been handled before its id reached us.
    if (mEarly.contains(key)) {
        const EarlyNews news = mEarly.take(key);
        mEarlyOrder.removeOne(key);
        if (news.hasStatus) {
            action.status = news.status;
        }
        if (news.activity >= 0) {
            applyActivity(serial, news.activity);
        }
    }
}

TavikServiceActionManager::EarlyNews &TavikServiceActionManager::earlyNews(quint64 key)
{
    if (!mEarly.contains(key)) {
        mEarlyOrder.append(key);
        while (mEarlyOrder.size() > EarlyNewsLimit) {
            mEarly.remove(mEarlyOrder.takeFirst());
        }
    }
    return mEarly[key];
}

void TavikServiceActionManager::onServerActivityChanged(qulonglong key, int activity)
{
    const auto found = mByServerId.constFind(key);
    if (found == mByServerId.constEnd()) {
        if (!mCalls.isEmpty()) {
            earlyNews(key).activity = activity;
        }
        return;
    }
    applyActivity(found.value(), activity);
}

void TavikServiceActionManager::onServerStatusChanged(qulonglong actionId, int errorCode,
                                                      const QString &text, qulonglong accountId,
                                                      qulonglong folderId, qulonglong messageId)
{
    const quint64 key = actionId;
    QMailServiceAction::Status status(static_cast<QMailServiceAction::Status::ErrorCode>(errorCode),
                                      text, QMailAccountId(accountId), QMailFolderId(folderId),
                                      QMailMessageId(messageId));
    const auto found = mByServerId.constFind(key);
    if (found == mByServerId.constEnd()) {
        if (!mCalls.isEmpty()) {
            EarlyNews &news = earlyNews(key);
            news.hasStatus = true;
            news.status = status;
        }
        return;
    }
    Action &action = mActions[found.value()];
    if (!status.accountId.isValid()) {
        status.accountId = action.accountId;
    }
    action.status = status;
}

void TavikServiceActionManager::applyActivity(Serial serial, int activity)
{
    Action &action = mActions[serial];
    switch (activity) {
    case QMailServiceAction::Successful: {
        // A success is a success, whatever code an earlier status carried.
        QMailServiceAction::Status status = action.status;
        status.errorCode = QMailServiceAction::Status::ErrNoError;
        finish(serial, QMailServiceAction::Successful, status);
        return;
    }
    case QMailServiceAction::Failed: {
        QMailServiceAction::Status status = action.status;
        if (status.errorCode == QMailServiceAction::Status::ErrNoError) {
            // A failure must never reach a closure as a success.
            status.errorCode = QMailServiceAction::Status::ErrFrameworkFault;
            if (status.text.isEmpty()) {
                status.text = QStringLiteral("The message server reported a failure without a "
                                             "reason");
            }
        }
        finish(serial, QMailServiceAction::Failed, status);
        return;
    }
    case QMailServiceAction::Pending:
    case QMailServiceAction::InProgress:
        if (action.activity == activity) {
            return;
        }
        action.activity = static_cast<QMailServiceAction::Activity>(activity);
        if (mVerbose) {
            qMailLog(ServiceActions) << "action" << serial << "is" << activityName(activity);
        }
        Q_EMIT activityChanged(serial, action.activity, action.status);
        return;
    default:
        qWarning() << "TavikServiceActionManager: the message server reported the unknown "
                      "activity"
                   << activity << "for action" << action.serverId;
    }
}

void TavikServiceActionManager::onServerOwnerChanged(const QString &service,
                                                     const QString &oldOwner,
                                                     const QString &newOwner)
{
    Q_UNUSED(service)
    Q_UNUSED(newOwner)
    if (oldOwner.isEmpty()) {
        return;
    }
    if (!mGoneServers.contains(oldOwner)) {
        mGoneServers.append(oldOwner);
        while (mGoneServers.size() > 16) {
            mGoneServers.removeFirst();
        }
    }
    QList<Serial> orphans;
    for (auto it = mActions.constBegin(); it != mActions.constEnd(); ++it) {
        if (it.value().serverId != 0 && it.value().server == oldOwner) {
            orphans.append(it.key());
        }
    }
    std::sort(orphans.begin(), orphans.end());
    for (Serial serial : qAsConst(orphans)) {
        if (!mActions.contains(serial)) {
            continue; // ended by a slot that ran for an earlier orphan
        }
        QMailServiceAction::Status status = mActions.value(serial).status;
        status.errorCode = QMailServiceAction::Status::ErrFrameworkFault;
        status.text = QStringLiteral("The message server quit before the action ended");
        finish(serial, QMailServiceAction::Failed, status);
    }
    // What was heard early came from the owner that has left.
    mEarly.clear();
    mEarlyOrder.clear();
}

void TavikServiceActionManager::failLater(Serial serial, QMailServiceAction::Status::ErrorCode code,
                                          const QString &text)
{
    // The caller learns the serial only when the request returns: the outcome
    // must come from the event loop, never from inside the request.
    QTimer::singleShot(0, this, [this, serial, code, text] {
        if (!mActions.contains(serial)) {
            return;
        }
        QMailServiceAction::Status status = mActions.value(serial).status;
        status.errorCode = code;
        status.text = text;
        finish(serial, QMailServiceAction::Failed, status);
    });
}

void TavikServiceActionManager::finish(Serial serial, QMailServiceAction::Activity activity,
                                       QMailServiceAction::Status status)
{
    const Action action = mActions.take(serial);
    if (action.serverId != 0) {
        mByServerId.remove(action.serverId);
    }
    if (!status.accountId.isValid()) {
        status.accountId = action.accountId;
    }
    if (mVerbose) {
        qMailLog(ServiceActions) << "action" << serial << "is" << activityName(activity)
                                 << "with code" << int(status.errorCode) << status.text;
    }
    Q_EMIT activityChanged(serial, activity, status);
}
