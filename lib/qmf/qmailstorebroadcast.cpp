// Change signals: emitted in this process after each commit, and sent over
// the session bus to every other process that has the same store open.
#include "qmailstore_p.h"
#include "qmailstorebroadcaster.h"

#include "qmailstoreadaptor.h"
#include "qmailstoreinterface.h"

#include <QDBusConnection>
#include <QMetaMethod>

const char QMailStoreBroadcaster::ObjectPath[] = "/com/brenmor/qmf/Store";

namespace {

template<typename Id, void (QMailStore::*Signal)(const QList<Id> &)>
void emitIds(QMailStore *store, const QList<quint64> &ids)
{
    (store->*Signal)(qmfToIds<Id>(ids));
}

// Per QMailStoreChangeKind: the store's signal, whose name is also the
// kind's name on the bus.
struct ChangeSignal
{
    void (*notify)(QMailStore *, const QList<quint64> &);
    QMetaMethod method;
};

const ChangeSignal &changeSignal(int kind)
{
    static const ChangeSignal signals_[ChangeKindCount] = {
        { emitIds<QMailAccountId, &QMailStore::accountsAdded>,
          QMetaMethod::fromSignal(&QMailStore::accountsAdded) },
        { emitIds<QMailFolderId, &QMailStore::foldersAdded>,
          QMetaMethod::fromSignal(&QMailStore::foldersAdded) },
        { emitIds<QMailMessageId, &QMailStore::messagesAdded>,
          QMetaMethod::fromSignal(&QMailStore::messagesAdded) },
        { emitIds<QMailAccountId, &QMailStore::accountsUpdated>,
          QMetaMethod::fromSignal(&QMailStore::accountsUpdated) },
        { emitIds<QMailFolderId, &QMailStore::foldersUpdated>,
          QMetaMethod::fromSignal(&QMailStore::foldersUpdated) },
        { emitIds<QMailMessageId, &QMailStore::messagesUpdated>,
          QMetaMethod::fromSignal(&QMailStore::messagesUpdated) },
        { emitIds<QMailMessageId, &QMailStore::messagesRemoved>,
          QMetaMethod::fromSignal(&QMailStore::messagesRemoved) },
        { emitIds<QMailFolderId, &QMailStore::foldersRemoved>,
          QMetaMethod::fromSignal(&QMailStore::foldersRemoved) },
        { emitIds<QMailAccountId, &QMailStore::accountsRemoved>,
          QMetaMethod::fromSignal(&QMailStore::accountsRemoved) },
    };
    return signals_[kind];
}

} // namespace

void QMailStorePrivate::connectBus()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    auto *sender = new QMailStoreBroadcaster(this);
    new QMailStoreAdaptor(sender);
    if (!bus.registerObject(QLatin1String(QMailStoreBroadcaster::ObjectPath), sender,
                            QDBusConnection::ExportAdaptors)) {
        qWarning().noquote() << "QMailStore: cannot publish the store's changes at"
                             << QMailStoreBroadcaster::ObjectPath << "on the session bus";
        delete sender;
        return;
    }
    const QByteArray signal = QMetaMethod::fromSignal(&QMailStoreInterface::changed).name();
    if (!bus.connect(QString(), QLatin1String(QMailStoreBroadcaster::ObjectPath),
                     QLatin1String(QMailStoreInterface::staticInterfaceName()),
                     QLatin1String(signal), this, SLOT(onRemoteChange(QDBusMessage)))) {
        bus.unregisterObject(QLatin1String(QMailStoreBroadcaster::ObjectPath));
        delete sender;
        return;
    }
    broadcaster = sender;
}

void QMailStorePrivate::announce(const QMailStoreChanges &changes)
{
    QList<quint64> ids[ChangeKindCount];
    for (int kind = 0; kind < ChangeKindCount; ++kind)
        ids[kind] = changes.distinct(QMailStoreChangeKind(kind));

    // Other processes first, so that they hear of a change no later than a
    // slot of this process could tell them about it.
    if (broadcaster) {
        for (int kind = 0; kind < ChangeKindCount; ++kind) {
            if (ids[kind].isEmpty())
                continue;
            Q_EMIT broadcaster->changed(databaseFile,
                                        QLatin1String(changeSignal(kind).method.name()), ids[kind]);
            unflushed = true;
        }
    }
    for (int kind = 0; kind < ChangeKindCount; ++kind) {
        if (!ids[kind].isEmpty())
            emitChange(QMailStoreChangeKind(kind), ids[kind]);
    }
}

void QMailStorePrivate::emitChange(QMailStoreChangeKind kind, const QList<quint64> &ids)
{
    changeSignal(kind).notify(q, ids);
}

void QMailStorePrivate::onRemoteChange(const QDBusMessage &message)
{
    // Our own broadcasts come back from the bus too; those were emitted
    // already, when the change was made.
    if (message.service() == QDBusConnection::sessionBus().baseService())
        return;
    const QVariantList args = message.arguments();
    if (args.size() != 3 || args.at(0).toString() != databaseFile)
        return;
    const QByteArray name = args.at(1).toString().toLatin1();
    QList<quint64> ids;
    const QVariant &idsArg = args.at(2);
    if (idsArg.canConvert<QDBusArgument>())
        idsArg.value<QDBusArgument>() >> ids;
    else
        ids = idsArg.value<QList<quint64>>();
    if (ids.isEmpty())
        return;
    for (int kind = 0; kind < ChangeKindCount; ++kind) {
        if (name == changeSignal(kind).method.name()) {
            emitChange(QMailStoreChangeKind(kind), ids);
            return;
        }
    }
}

void QMailStorePrivate::flush()
{
    if (!broadcaster || !unflushed)
        return;
    // The bus answers in order: once this reply is here, every signal sent
    // before it has reached the bus.
    QDBusConnection bus = QDBusConnection::sessionBus();
    QDBusMessage ping = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetId"));
    bus.call(ping, QDBus::Block, 5000);
    unflushed = false;
}
