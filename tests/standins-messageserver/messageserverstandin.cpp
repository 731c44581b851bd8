#include "messageserverstandin.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QTimer>
#include <QUuid>

namespace {

const char *const ServiceName = "com.brenmor.qmf.MessageServer";
const char *const ObjectPath = "/com/brenmor/qmf/MessageServer";
const char *const InterfaceName = "com.brenmor.qmf.MessageServer";

} // namespace

// Wire forms of the interface's structures.
struct StandInSortElement
{
    int property = 0;
    bool ascending = true;
};
Q_DECLARE_METATYPE(StandInSortElement)
typedef QList<StandInSortElement> StandInSortList;
Q_DECLARE_METATYPE(StandInSortList)
typedef QList<MessageServerStandIn::Action> StandInActionList;
Q_DECLARE_METATYPE(MessageServerStandIn::Action)
Q_DECLARE_METATYPE(StandInActionList)

QDBusArgument &operator<<(QDBusArgument &argument, const StandInSortElement &element)
{
    argument.beginStructure();
    argument << element.property << element.ascending;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, StandInSortElement &element)
{
    argument.beginStructure();
    argument >> element.property >> element.ascending;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const MessageServerStandIn::Action &action)
{
    argument.beginStructure();
    argument << qulonglong(action.id) << action.requestType << qulonglong(action.accountId)
             << qulonglong(action.folderId) << qulonglong(action.messageId) << action.statusText
             << action.errorCode << action.activity << action.connectivity << action.progress
             << action.total << action.totalProgress;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, MessageServerStandIn::Action &action)
{
    qulonglong id = 0, account = 0, folder = 0, message = 0;
    argument.beginStructure();
    argument >> id >> action.requestType >> account >> folder >> message >> action.statusText
        >> action.errorCode >> action.activity >> action.connectivity >> action.progress
        >> action.total >> action.totalProgress;
    argument.endStructure();
    action.id = id;
    action.accountId = account;
    action.folderId = folder;
    action.messageId = message;
    return argument;
}

// The object exported on the bus; every call goes to the stand-in.
class MessageServerStandInAdaptor : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.brenmor.qmf.MessageServer")
public:
    explicit MessageServerStandInAdaptor(MessageServerStandIn *server)
        : mServer(server)
    { }

public Q_SLOTS:
    qulonglong ExportUpdates(qulonglong accountId)
    {
        MessageServerStandIn::Request request;
        request.method = QStringLiteral("ExportUpdates");
        request.accountId = accountId;
        return mServer->handleRequest(request, 9);
    }

    qulonglong TransmitMessages(qulonglong accountId)
    {
        MessageServerStandIn::Request request;
        request.method = QStringLiteral("TransmitMessages");
        request.accountId = accountId;
        return mServer->handleRequest(request, 1);
    }

    qulonglong RetrieveFolderList(qulonglong accountId, qulonglong folderId, bool descending)
    {
        MessageServerStandIn::Request request;
        request.method = QStringLiteral("RetrieveFolderList");
        request.accountId = accountId;
        request.folderId = folderId;
        request.descending = descending;
        return mServer->handleRequest(request, 2);
    }

    qulonglong RetrieveMessageLists(qulonglong accountId, const QList<qulonglong> &folderIds,
                                    uint minimum, const StandInSortList &sort)
    {
        MessageServerStandIn::Request request;
        request.method = QStringLiteral("RetrieveMessageLists");
        request.accountId = accountId;
        for (qulonglong id : folderIds) {
            request.folderIds.append(id);
        }
        request.minimum = minimum;
        for (const StandInSortElement &element : sort) {
            request.sort.append(qMakePair(element.property, element.ascending));
        }
        return mServer->handleRequest(request, 3);
    }

    bool CancelAction(qulonglong actionId) { return mServer->handleCancel(actionId); }

    StandInActionList ListActions() { return mServer->actions(); }

private:
    MessageServerStandIn *mServer;
};

MessageServerStandIn::MessageServerStandIn(QObject *parent)
    : QObject(parent)
    , mConnectionName(QStringLiteral("messageserver-standin-")
                      + QUuid::createUuid().toString(QUuid::WithoutBraces))
{
    qDBusRegisterMetaType<StandInSortElement>();
    qDBusRegisterMetaType<StandInSortList>();
    qDBusRegisterMetaType<MessageServerStandIn::Action>();
    qDBusRegisterMetaType<StandInActionList>();
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
    if (!bus.isConnected()) {
        qWarning("Message server stand-in: no session bus: %s",
                 qPrintable(bus.lastError().message()));
        return false;
    }
    mAdaptor = new MessageServerStandInAdaptor(this);
    if (!bus.registerObject(QLatin1String(ObjectPath), mAdaptor, QDBusConnection::ExportAllSlots)
        || !bus.registerService(QLatin1String(ServiceName))) {
        qWarning("Message server stand-in: cannot serve %s: %s", ServiceName,
                 qPrintable(bus.lastError().message()));
        delete mAdaptor;
        mAdaptor = nullptr;
        QDBusConnection::disconnectFromBus(mConnectionName);
        return false;
    }
    mRunning = true;
    return true;
}

void MessageServerStandIn::quit()
{
    if (!mRunning) {
        return;
    }
    mRunning = false;
    QDBusConnection::disconnectFromBus(mConnectionName);
    delete mAdaptor;
    mAdaptor = nullptr;
    mActions.clear();
}

void MessageServerStandIn::setOutcome(const QString &method, Outcome outcome, int errorCode,
                                      const QString &text)
{
    Rule rule;
    rule.outcome = outcome;
    rule.errorCode = errorCode;
    rule.text = text;
    mRules.insert(method, rule);
}

QStringList MessageServerStandIn::methods() const
{
    QStringList list;
    for (const Request &request : mRequests) {
        list.append(request.method);
    }
    return list;
}

quint64 MessageServerStandIn::handleRequest(const Request &incoming, int requestType)
{
    Request request = incoming;
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
        conclude(id);
    } else {
        // Everything about the action follows the answer, as the interface says.
        QTimer::singleShot(0, this, [this, id] {
            announce(id);
            QTimer::singleShot(0, this, [this, id] { conclude(id); });
        });
    }
    Q_EMIT requestReceived(request.method);
    return id;
}

bool MessageServerStandIn::handleCancel(quint64 actionId)
{
    if (indexOf(actionId) < 0) {
        return false;
    }
    end(actionId, 1030, QStringLiteral("Cancelled"), true);
    return true;
}

void MessageServerStandIn::announce(quint64 actionId)
{
    const int index = indexOf(actionId);
    if (index < 0) {
        return;
    }
    emitActionsChanged();
    mActions[index].activity = 1;
    emitSignal(QStringLiteral("ActivityChanged"), { qulonglong(actionId), 1 });
    mActions[index].connectivity = 2;
    emitSignal(QStringLiteral("ConnectivityChanged"), { qulonglong(actionId), 2 });
    emitSignal(QStringLiteral("ProgressChanged"), { qulonglong(actionId), 0u, 1u });
}

void MessageServerStandIn::conclude(quint64 actionId)
{
    const int index = indexOf(actionId);
    if (index < 0) {
        return;
    }
    QString method;
    for (const Request &request : qAsConst(mRequests)) {
        if (request.actionId == actionId) {
            method = request.method;
        }
    }
    const Rule rule = mRules.value(method);
    switch (rule.outcome) {
    case Succeed:
        end(actionId, 0, QString(), false);
        break;
    case Fail:
        end(actionId, rule.errorCode, rule.text, true);
        break;
    case Never:
        break;
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

void MessageServerStandIn::end(quint64 actionId, int errorCode, const QString &text, bool failed)
{
    const int index = indexOf(actionId);
    if (index < 0 || !mRunning) {
        return;
    }
    Action &action = mActions[index];
    action.errorCode = errorCode;
    action.statusText = text;
    action.progress = action.total = 1;
    emitSignal(QStringLiteral("ProgressChanged"), { qulonglong(actionId), 1u, 1u });
    emitSignal(QStringLiteral("StatusChanged"),
               { qulonglong(actionId), errorCode, text, qulonglong(action.accountId),
                 qulonglong(action.folderId), qulonglong(action.messageId) });
    action.activity = failed ? 3 : 2;
    emitSignal(QStringLiteral("ActivityChanged"), { qulonglong(actionId), action.activity });
    mActions.removeAt(index);
    emitActionsChanged();
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

void MessageServerStandIn::emitSignal(const QString &name, const QList<QVariant> &arguments)
{
    if (!mRunning) {
        return;
    }
    QDBusMessage message
        = QDBusMessage::createSignal(QLatin1String(ObjectPath), QLatin1String(InterfaceName), name);
    message.setArguments(arguments);
    QDBusConnection(mConnectionName).send(message);
}

void MessageServerStandIn::emitActionsChanged()
{
    emitSignal(QStringLiteral("ActionsChanged"), { QVariant::fromValue(mActions) });
}

#include "messageserverstandin.moc"
