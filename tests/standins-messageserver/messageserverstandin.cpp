#include "messageserverstandin.h"

#include "qmailmessageserveradaptor.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QTimer>
#include <QUuid>

MessageServerStandIn::MessageServerStandIn(QObject *parent)
    : QMailMessageServerService(parent)
    , mConnectionName(QStringLiteral("messageserver-standin-")
                      + QUuid::createUuid().toString(QUuid::WithoutBraces))
{
    new QMailMessageServerAdaptor(this);
}

MessageServerStandIn::~MessageServerStandIn()
{
    quit();
}

bool MessageServerStandIn::start()
{
    if (mRunning) {
        return true;
    }
    QDBusConnection bus
        = QDBusConnection::connectToBus(QDBusConnection::SessionBus, mConnectionName);
    if (!bus.registerObject(QStringLiteral(QMF_MESSAGESERVER_PATH), this)
        || !bus.registerService(QStringLiteral(QMF_MESSAGESERVER_SERVICE))) {
        qWarning("Message server stand-in: cannot serve the session bus: %s",
                 qPrintable(bus.lastError().message()));
        QDBusConnection::disconnectFromBus(mConnectionName);
        return false;
    }
    mRunning = true;
    return true;
}

void MessageServerStandIn::quit()
{
    if (mRunning) {
        mRunning = false;
        QDBusConnection::disconnectFromBus(mConnectionName);
        mActions.clear();
    }
}

void MessageServerStandIn::setOutcome(const QString &method, Outcome outcome, int errorCode,
                                      const QString &text)
{
    mRules.insert(method, Rule { outcome, errorCode, text });
}

QStringList MessageServerStandIn::methods() const
{
    QStringList list;
    for (const Request &request : mRequests) {
        list.append(request.method);
    }
    return list;
}

qulonglong MessageServerStandIn::ExportUpdates(qulonglong accountId)
{
    return handleRequest(QStringLiteral("ExportUpdates"), accountId, 9, Request());
}

qulonglong MessageServerStandIn::TransmitMessages(qulonglong accountId)
{
    return handleRequest(QStringLiteral("TransmitMessages"), accountId, 1, Request());
}

qulonglong MessageServerStandIn::RetrieveFolderList(qulonglong accountId, qulonglong folderId,
                                                    bool descending)
{
    Request request;
    request.folderId = folderId;
    request.descending = descending;
    return handleRequest(QStringLiteral("RetrieveFolderList"), accountId, 2, request);
}

qulonglong MessageServerStandIn::RetrieveMessageLists(qulonglong accountId,
                                                      const QList<qulonglong> &folderIds,
                                                      uint minimum,
                                                      const QMailSortElementList &sort)
{
    Request request;
    for (qulonglong id : folderIds) {
        request.folderIds.append(id);
    }
    request.minimum = minimum;
    for (const QMailSortElement &element : sort) {
        request.sort.append(qMakePair(element.property, element.ascending));
    }
    return handleRequest(QStringLiteral("RetrieveMessageLists"), accountId, 3, request);
}

bool MessageServerStandIn::CancelAction(qulonglong actionId)
{
    if (indexOf(actionId) < 0) {
        return false;
    }
    mCancelled.append(actionId);
    end(actionId, 1030, QStringLiteral("Cancelled"), true);
    return true;
}

quint64 MessageServerStandIn::handleRequest(const QString &method, quint64 accountId,
                                            int requestType, Request request)
{
    request.method = method;
    request.accountId = accountId;
    request.actionId = ++mLastId;
    mRequests.append(request);

    Action action;
    action.id = request.actionId;
    action.requestType = requestType;
    action.accountId = request.accountId;
    action.folderId = request.folderId;
    mActions.append(action);

    const quint64 id = action.id;
    if (mSignalsBeforeReply) {
        announce(id);
        conclude(id, method);
    } else {
        // Everything about the action follows the answer, as the interface says.
        QTimer::singleShot(0, this, [this, id, method] {
            announce(id);
            QTimer::singleShot(0, this, [this, id, method] { conclude(id, method); });
        });
    }
    return id;
}

void MessageServerStandIn::announce(quint64 actionId)
{
    const int index = indexOf(actionId);
    if (index < 0) {
        return;
    }
    Q_EMIT ActionsChanged(mActions);
    mActions[index].activity = 1;
    Q_EMIT ActivityChanged(actionId, 1);
    mActions[index].connectivity = 2;
    Q_EMIT ConnectivityChanged(actionId, 2);
    progress(actionId, 0, 1);
}

void MessageServerStandIn::conclude(quint64 actionId, const QString &method)
{
    const Rule rule = mRules.value(method);
    if (rule.outcome == Succeed) {
        end(actionId, rule.errorCode, rule.text, false);
    } else if (rule.outcome == Fail) {
        end(actionId, rule.errorCode, rule.text, true);
    }
}

bool MessageServerStandIn::finish(quint64 actionId, int errorCode, const QString &text)
{
    if (indexOf(actionId) < 0) {
        return false;
    }
    end(actionId, errorCode, text, errorCode != 0);
    return true;
}

bool MessageServerStandIn::progress(quint64 actionId, uint value, uint total)
{
    const int index = indexOf(actionId);
    if (index < 0) {
        return false;
    }
    mActions[index].progress = value;
    mActions[index].total = total;
    mActions[index].totalProgress = total ? double(value) / total : 0.0;
    Q_EMIT ProgressChanged(actionId, value, total);
    return true;
}

void MessageServerStandIn::end(quint64 actionId, int errorCode, const QString &text, bool failed)
{
    const int index = indexOf(actionId);
    if (index < 0 || !mRunning) {
        return;
    }
    Action &action = mActions[index];
    action.errorCode = errorCode;
    action.statusText = text;
    progress(actionId, 1, 1);
    Q_EMIT StatusChanged(actionId, errorCode, text, action.accountId, action.folderId,
                         action.messageId);
    action.activity = failed ? 3 : 2;
    Q_EMIT ActivityChanged(actionId, action.activity);
    mActions.removeAt(index);
    Q_EMIT ActionsChanged(mActions);
}

int MessageServerStandIn::indexOf(quint64 actionId) const
{
    for (int i = 0; i < mActions.size(); ++i) {
        if (mActions.at(i).id == actionId) {
            return i;
        }
    }
    return -1;
}
