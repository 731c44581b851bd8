#include "mnotificationservice.h"

#include "mnotification.h"
#include "mremoteaction.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QtDebug>

namespace {

const QString serviceName = QStringLiteral("org.freedesktop.Notifications");
const QString objectPath = QStringLiteral("/org/freedesktop/Notifications");
const QString interfaceName = QStringLiteral("org.freedesktop.Notifications");
const QString defaultActionKey = QStringLiteral("default");

// How each event type looks on the desktop: the name shown as the sender, an
// icon from the freedesktop icon naming scheme and the desktop entry of the
// application the notification leads to.
struct EventTypeLook
{
    const char *eventType;
    const char *applicationName;
    const char *icon;
    const char *desktopEntry;
};

const EventTypeLook eventTypeLooks[] = {
    { "email.arrived", "E-mail", "mail-unread", "com.brenmor.tavik" },
};

const EventTypeLook *lookOf(const QString &eventType)
{
    for (const EventTypeLook &look : eventTypeLooks) {
        if (eventType == QLatin1String(look.eventType)) {
            return &look;
        }
    }
    return nullptr;
}

MNotificationService *theInstance = nullptr;

} // namespace

MNotificationService *MNotificationService::instance()
{
    if (!theInstance) {
        // A child of the application object, so that it goes before the bus
        // connection does; without one it lives until the process ends.
        theInstance = new MNotificationService(QCoreApplication::instance());
    }
    return theInstance;
}

MNotificationService::MNotificationService(QObject *parent)
    : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        const QDBusMessage reply = bus.call(QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetId")));
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
            m_busId = reply.arguments().constFirst().toString();
        }
        m_watcher = new QDBusServiceWatcher(serviceName, bus,
                                            QDBusServiceWatcher::WatchForOwnerChange, this);
        connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
                &MNotificationService::handleServiceOwnerChanged);
        bus.connect(serviceName, objectPath, interfaceName, QStringLiteral("NotificationClosed"),
                    this, SLOT(handleNotificationClosed(uint, uint)));
        bus.connect(serviceName, objectPath, interfaceName, QStringLiteral("ActionInvoked"), this,
                    SLOT(handleActionInvoked(uint, QString)));
        const QString owner = bus.interface()->serviceOwner(serviceName).value();
        if (!owner.isEmpty()) {
            m_serverIdentity = currentServerIdentity(owner);
            requestCapabilities();
        }
    }
    load();
}

MNotificationService::~MNotificationService()
{
    if (theInstance == this) {
        theInstance = nullptr;
    }
}

QString MNotificationService::stateFilePath()
{
    QString stateHome = QFile::decodeName(qgetenv("XDG_STATE_HOME"));
    if (stateHome.isEmpty() || !QDir::isAbsolutePath(stateHome)) {
        stateHome = QDir::homePath() + QStringLiteral("/.local/state");
    }
    QString application = QCoreApplication::applicationName();
    if (application.isEmpty()) {
        application = QStringLiteral("mnotification");
    }
    return stateHome + QLatin1Char('/') + application + QStringLiteral("/notifications.json");
}

QString MNotificationService::currentServerIdentity(const QString &owner) const
{
    return m_busId + QLatin1Char('/') + owner;
}

bool MNotificationService::serverReachable()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return false;
    }
    if (bus.interface()->isServiceRegistered(serviceName).value()) {
        return true;
    }
    // A server the bus starts on demand counts as reachable.
    const QDBusReply<QStringList> activatable
        = bus.interface()->call(QStringLiteral("ListActivatableNames"));
    return activatable.isValid() && activatable.value().contains(serviceName);
}

quint64 MNotificationService::publish(const MNotification &notification)
{
    if (!serverReachable()) {
        qWarning("MNotification: no notification service (%s) on the session bus, "
                 "notification \"%s\" not shown",
                 qPrintable(serviceName), qPrintable(notification.identifier()));
        return 0;
    }
    quint64 key = notification.m_key;
    auto it = m_entries.find(key);
    if (key == 0 || it == m_entries.end() || it->removed) {
        key = m_nextKey++;
        it = m_entries.insert(key, Entry());
        it->key = key;
    }
    Entry &entry = *it;
    entry.eventType = notification.m_eventType;
    entry.summary = notification.m_summary;
    entry.body = notification.m_body;
    entry.timestamp = notification.m_timestamp;
    entry.count = notification.m_count;
    entry.identifier = notification.m_identifier;
    entry.action = notification.m_action;
    if (entry.inFlight) {
        entry.resend = true;
    } else {
        sendNotify(entry);
    }
    return key;
}

void MNotificationService::sendNotify(Entry &entry)
{
    const EventTypeLook *look = lookOf(entry.eventType);
    QString applicationName = QCoreApplication::applicationName();
    QString icon;
    QVariantMap hints;
    if (look) {
        applicationName = QString::fromLatin1(look->applicationName);
        icon = QString::fromLatin1(look->icon);
        hints.insert(QStringLiteral("desktop-entry"), QString::fromLatin1(look->desktopEntry));
    }
    if (!entry.eventType.isEmpty()) {
        hints.insert(QStringLiteral("category"), entry.eventType);
    }
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(1));
    if (entry.timestamp.isValid()) {
        hints.insert(QStringLiteral("x-brenmor-timestamp"), entry.timestamp.toSecsSinceEpoch());
    }
    if (entry.count > 0) {
        hints.insert(QStringLiteral("x-brenmor-count"), entry.count);
    }
    QStringList actions;
    if (MRemoteAction(entry.action).isValid()) {
        // A click on the notification itself; servers show no button for it.
        actions << defaultActionKey << QString();
    }
    // Texts from mail are plain text: a server that reads markup in the body
    // must not take a subject's "<" or "&" for it.
    const bool markup
        = !m_capabilitiesKnown || m_capabilities.contains(QStringLiteral("body-markup"));
    const QString body = markup ? entry.body.toHtmlEscaped() : entry.body;

    QDBusMessage call = QDBusMessage::createMethodCall(serviceName, objectPath, interfaceName,
                                                       QStringLiteral("Notify"));
    call << applicationName << entry.serverId << icon << entry.summary << body << actions << hints
         << qint32(0); // shown until the user dismisses it, as on the handset
    entry.inFlight = true;
    entry.resend = false;
    auto *watcher
        = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    const quint64 key = entry.key;
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, key](QDBusPendingCallWatcher *finished) { handleNotifyReply(key, finished); });
}

void MNotificationService::handleNotifyReply(quint64 key, QDBusPendingCallWatcher *watcher)
{
    watcher->deleteLater();
    const QDBusPendingReply<uint> reply = *watcher;
    auto it = m_entries.find(key);
    if (it == m_entries.end()) {
        // Dropped meanwhile with the server that was asked.
        return;
    }
    Entry &entry = *it;
    entry.inFlight = false;
    if (reply.isError()) {
        qWarning("MNotification: notification \"%s\" not shown: %s", qPrintable(entry.identifier),
                 qPrintable(reply.error().message()));
        // A notification shown before stays as it was; a new one is not there.
        if (entry.serverId == 0 || entry.removed) {
            if (entry.removed && entry.serverId != 0) {
                sendClose(entry.serverId);
            }
            m_entries.erase(it);
            save();
        }
        return;
    }
    entry.serverId = reply.value();
    const QString owner = reply.reply().service();
    if (!owner.isEmpty()) {
        const QString identity = currentServerIdentity(owner);
        if (identity != m_serverIdentity) {
            m_serverIdentity = identity;
            requestCapabilities();
        }
    }
    if (entry.removed) {
        sendClose(entry.serverId);
        m_entries.erase(it);
    } else if (entry.resend) {
        sendNotify(entry);
    }
    save();
}

bool MNotificationService::remove(quint64 key)
{
    auto it = m_entries.find(key);
    if (key == 0 || it == m_entries.end() || it->removed) {
        return false;
    }
    if (it->inFlight) {
        it->removed = true;
        return true;
    }
    sendClose(it->serverId);
    m_entries.erase(it);
    save();
    return true;
}

void MNotificationService::sendClose(uint serverId)
{
    QDBusMessage call = QDBusMessage::createMethodCall(serviceName, objectPath, interfaceName,
                                                       QStringLiteral("CloseNotification"));
    call << serverId;
    auto *watcher
        = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [serverId](QDBusPendingCallWatcher *finished) {
                finished->deleteLater();
                if (finished->isError()) {
                    qWarning("MNotification: cannot close notification %u: %s", serverId,
                             qPrintable(finished->error().message()));
                }
            });
}

bool MNotificationService::contains(quint64 key) const
{
    const auto it = m_entries.constFind(key);
    return key != 0 && it != m_entries.constEnd() && !it->removed;
}

QList<MNotification *> MNotificationService::notifications() const
{
    QList<MNotification *> list;
    for (const Entry &entry : m_entries) {
        if (entry.removed) {
            continue;
        }
        auto *notification = new MNotification(entry.eventType, entry.summary, entry.body);
        notification->m_timestamp = entry.timestamp;
        notification->m_count = entry.count;
        notification->m_identifier = entry.identifier;
        notification->m_action = entry.action;
        notification->m_key = entry.key;
        list.append(notification);
    }
    return list;
}

void MNotificationService::handleNotificationClosed(uint id, uint reason)
{
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (it->serverId == id && id != 0) {
            if (it->inFlight) {
                // Replaced right now: the answer of the new Notify decides.
                it->serverId = 0;
                return;
            }
            Q_UNUSED(reason);
            m_entries.erase(it);
            save();
            return;
        }
    }
}

void MNotificationService::handleActionInvoked(uint id, const QString &actionKey)
{
    if (actionKey != defaultActionKey || id == 0) {
        return;
    }
    for (const Entry &entry : qAsConst(m_entries)) {
        if (entry.serverId == id && !entry.removed) {
            MRemoteAction(entry.action).trigger();
            return;
        }
    }
}

void MNotificationService::handleServiceOwnerChanged(const QString &, const QString &oldOwner,
                                                     const QString &newOwner)
{
    // Notifications and their ids die with the server that showed them.
    if (!oldOwner.isEmpty()) {
        dropAll();
    }
    m_capabilitiesKnown = false;
    m_capabilities.clear();
    m_serverIdentity = newOwner.isEmpty() ? QString() : currentServerIdentity(newOwner);
    if (!newOwner.isEmpty()) {
        requestCapabilities();
    }
    save();
}

void MNotificationService::dropAll()
{
    // Entries waiting for an answer stay: their answer comes from the new
    // server, or as an error.
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (it->inFlight) {
            it->serverId = 0;
            ++it;
        } else {
            it = m_entries.erase(it);
        }
    }
}

void MNotificationService::requestCapabilities()
{
    QDBusMessage call = QDBusMessage::createMethodCall(serviceName, objectPath, interfaceName,
                                                       QStringLiteral("GetCapabilities"));
    auto *watcher
        = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher *finished) {
                finished->deleteLater();
                const QDBusPendingReply<QStringList> reply = *finished;
                if (!reply.isError()) {
                    m_capabilities = reply.value();
                    m_capabilitiesKnown = true;
                }
            });
}

void MNotificationService::load()
{
    QFile file(stateFilePath());
    if (!file.exists()) {
        return;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning("MNotification: cannot read %s: %s", qPrintable(file.fileName()),
                 qPrintable(file.errorString()));
        return;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (!document.isObject()) {
        qWarning("MNotification: ignoring unreadable state file %s: %s",
                 qPrintable(file.fileName()), qPrintable(error.errorString()));
        return;
    }
    const QJsonObject root = document.object();
    m_nextKey = qMax<quint64>(1, root.value(QStringLiteral("nextKey")).toVariant().toULongLong());
    const QString server = root.value(QStringLiteral("server")).toString();
    if (server.isEmpty() || server != m_serverIdentity) {
        // Shown by a server that is gone: nothing of that list is on display.
        save();
        return;
    }
    for (const QJsonValue &value : root.value(QStringLiteral("notifications")).toArray()) {
        const QJsonObject object = value.toObject();
        Entry entry;
        entry.key = object.value(QStringLiteral("key")).toVariant().toULongLong();
        entry.serverId = object.value(QStringLiteral("serverId")).toVariant().toUInt();
        if (entry.key == 0 || entry.serverId == 0 || m_entries.contains(entry.key)) {
            continue;
        }
        entry.eventType = object.value(QStringLiteral("eventType")).toString();
        entry.summary = object.value(QStringLiteral("summary")).toString();
        entry.body = object.value(QStringLiteral("body")).toString();
        const QJsonValue timestamp = object.value(QStringLiteral("timestamp"));
        if (!timestamp.isNull() && !timestamp.isUndefined()) {
            entry.timestamp = QDateTime::fromMSecsSinceEpoch(timestamp.toVariant().toLongLong());
        }
        entry.count = object.value(QStringLiteral("count")).toVariant().toUInt();
        entry.identifier = object.value(QStringLiteral("identifier")).toString();
        entry.action = object.value(QStringLiteral("action")).toString();
        m_nextKey = qMax(m_nextKey, entry.key + 1);
        m_entries.insert(entry.key, entry);
    }
}

void MNotificationService::save() const
{
    QJsonArray list;
    for (const Entry &entry : m_entries) {
        if (entry.serverId == 0 || entry.removed) {
            continue;
        }
        QJsonObject object;
        object.insert(QStringLiteral("key"), QString::number(entry.key));
        object.insert(QStringLiteral("serverId"), qint64(entry.serverId));
        object.insert(QStringLiteral("eventType"), entry.eventType);
        object.insert(QStringLiteral("summary"), entry.summary);
        object.insert(QStringLiteral("body"), entry.body);
        object.insert(QStringLiteral("timestamp"),
                      entry.timestamp.isValid()
                          ? QJsonValue(QString::number(entry.timestamp.toMSecsSinceEpoch()))
                          : QJsonValue());
        object.insert(QStringLiteral("count"), qint64(entry.count));
        object.insert(QStringLiteral("identifier"), entry.identifier);
        object.insert(QStringLiteral("action"), entry.action);
        list.append(object);
    }
    QJsonObject root;
    root.insert(QStringLiteral("server"), m_serverIdentity);
    root.insert(QStringLiteral("nextKey"), QString::number(m_nextKey));
    root.insert(QStringLiteral("notifications"), list);

    const QString path = stateFilePath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        qWarning("MNotification: cannot write %s: %s", qPrintable(path),
                 qPrintable(file.errorString()));
        return;
    }
    file.write(QJsonDocument(root).toJson(QJsonDocument::Compact));
    if (!file.commit()) {
        qWarning("MNotification: cannot write %s: %s", qPrintable(path),
                 qPrintable(file.errorString()));
    }
}
