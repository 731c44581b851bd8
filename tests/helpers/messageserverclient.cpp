#include "messageserverclient.h"

#include "processrunner.h"
#include "testenvironment.h"
#include "waituntil.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QSet>

#include <csignal>

namespace {

const QString Service = QStringLiteral("com.brenmor.qmf.MessageServer");
const QString Path = QStringLiteral("/com/brenmor/qmf/MessageServer");

bool serverOnBus()
{
    return QDBusConnection::sessionBus().interface()->isServiceRegistered(Service).value();
}

} // namespace

MessageServerClient::MessageServerClient()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.connect(QString(), Path, Service, QStringLiteral("ActivityChanged"), this,
                SLOT(onActivity(qulonglong, int)));
    bus.connect(QString(), Path, Service, QStringLiteral("StatusChanged"), this,
                SLOT(onStatus(qulonglong, int, QString, qulonglong, qulonglong, qulonglong)));
    bus.connect(QString(), Path, Service, QStringLiteral("ProgressChanged"), this,
                SLOT(onProgress(qulonglong, uint, uint)));
    bus.connect(QString(), Path, Service, QStringLiteral("ActionsChanged"), this,
                SLOT(onActions(QDBusMessage)));
}

MessageServerClient::~MessageServerClient() = default;

bool MessageServerClient::start(int fileSizeLimitKiB)
{
    mServer.reset(new ProcessRunner);
    mHeard.clear(); // a new server counts its actions from 1 again
    const QString binary = TestEnvironment::binary(QStringLiteral("messageserver"));
    // ulimit -f counts 512-byte blocks.
    const bool started = fileSizeLimitKiB == 0
        ? mServer->start(binary)
        : mServer->start(
            QStringLiteral("/bin/sh"),
            { QStringLiteral("-c"),
              QStringLiteral("ulimit -f %1; exec \"%2\"").arg(fileSizeLimitKiB * 2).arg(binary) });
    return started && waitUntil(serverOnBus);
}

bool MessageServerClient::kill()
{
#ifdef POSTVANE_COVERAGE
    // The line counts of the run so far, which SIGKILL would lose.
    if (mServer && ::kill(pid_t(mServer->pid()), SIGUSR2) == 0) {
        mServer->waitForLine(QStringLiteral("messageserver: coverage written"));
    }
#endif
    if (!mServer || ::kill(pid_t(mServer->pid()), SIGKILL) != 0 || !mServer->waitForFinished()) {
        return false;
    }
    return waitUntil([] { return !serverOnBus(); });
}

bool MessageServerClient::terminate()
{
    return mServer && mServer->terminate();
}

QStringList MessageServerClient::logLines(const QString &text)
{
    return mServer ? mServer->linesContaining(text) : QStringList();
}

quint64 MessageServerClient::request(const QString &method, const QList<QVariant> &arguments)
{
    QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Service, method);
    call.setArguments(arguments);
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call);
    return reply.type() == QDBusMessage::ReplyMessage ? reply.arguments().value(0).toULongLong()
                                                      : 0;
}

quint64 MessageServerClient::retrieveMessageLists(quint64 account, const QList<qulonglong> &folders,
                                                  uint minimum)
{
    return request(QStringLiteral("RetrieveMessageLists"),
                   { qulonglong(account), QVariant::fromValue(folders), minimum,
                     QVariant::fromValue(QMailSortElementList()) });
}

QMailActionDataList MessageServerClient::listActions()
{
    const QDBusMessage reply = QDBusConnection::sessionBus().call(
        QDBusMessage::createMethodCall(Service, Path, Service, QStringLiteral("ListActions")));
    return qdbus_cast<QMailActionDataList>(reply.arguments().value(0).value<QDBusArgument>());
}

int MessageServerClient::outcome(quint64 action, int timeoutMs)
{
    if (!waitUntil([&] { return mHeard.value(action).activity >= 2; }, timeoutMs)) {
        return -1;
    }
    return mHeard.value(action).finalCode;
}

void MessageServerClient::onActivity(qulonglong id, int activity)
{
    mHeard[id].events.append(QStringLiteral("activity %1").arg(activity));
    mHeard[id].activity = activity;
}

void MessageServerClient::onStatus(qulonglong id, int code, const QString &, qulonglong, qulonglong,
                                   qulonglong)
{
    mHeard[id].events.append(QStringLiteral("status %1").arg(code));
    mHeard[id].finalCode = code;
}

void MessageServerClient::onProgress(qulonglong id, uint value, uint)
{
    mHeard[id].progress = value;
}

void MessageServerClient::onActions(const QDBusMessage &message)
{
    const auto actions
        = qdbus_cast<QMailActionDataList>(message.arguments().value(0).value<QDBusArgument>());
    QSet<quint64> listed;
    for (const QMailActionData &action : actions) {
        listed.insert(action.id);
        Heard &heard = mHeard[action.id];
        heard.requestType = action.requestType;
        if (!heard.events.contains(QLatin1String("listed"))) {
            heard.events.append(QStringLiteral("listed"));
        }
    }
    for (auto it = mHeard.begin(); it != mHeard.end(); ++it) {
        if (it->events.contains(QLatin1String("listed")) && !listed.contains(it.key())
            && !it->events.contains(QLatin1String("unlisted"))) {
            it->events.append(QStringLiteral("unlisted"));
        }
    }
}
