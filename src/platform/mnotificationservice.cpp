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
    // Only the bus itself is asked and waited for here, never the server.
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
        setServerOwner(bus.interface()->serviceOwner(serviceName).value());
    }
    load();
}

MNotificationService::~MNotificationService()
{
    if (theInstance == this) {
        theInstance = nullptr;
    }
}

void MNotificationService::setServerOwner(const QString &owner)
{
    m_serverOwner = owner;
    m_serverIdentity = owner.isEmpty() ? QString() : m_busId + QLatin1Char('/') + owner;
    m_capabilitiesKnown = false;
    m_capabilities.clear();
    if (!owner.isEmpty()) {
        requestCapabilities();
    }
}

bool MNotificationService::serverReachable()
{
    if (!m_serverOwner.isEmpty()) {
        return true;
    }
    // The server may have come so recently that its name change is still on
    // the way; the bus knows, and so does it of a server it starts on demand.
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return false;
    }
    if (bus.interface()->isServiceRegistered(serviceName).value()) {
        return true;
    }
    const QDBusReply<QStringList> activatable
        = bus.interface()->call(QStringLiteral("ListActivatableNames"));
    return activatable.isValid() && activatable.value().contains(serviceName);
}

quint64 MNotificationService::publish(quint64 key, const MNotificationData &data)
{
    if (!serverReachable()) {
        qWarning("MNotification: no notification service (%s) on the session bus, "
                 "notification \"%s\" not shown",
                 qPrintable(serviceName), qPrintable(data.identifier));
        return 0;
    }
    auto it = m_entries.find(key);
    if (key == 0 || it == m_entries.end() || it->removed) {
        key = m_nextKey++;
        it = m_entries.insert(key, Entry());
        it->key = key;
    }
    Entry &entry = *it;
    entry.data = data;
    if (entry.inFlight) {
        entry.resend = true;
    } else {
        sendNotify(entry);
    }
    return key;
}

void MNotificationService::sendNotify(Entry &entry)
{
    const MNotificationData &data = entry.data;
    const EventTypeLook *look = lookOf(data.eventType);
    QString applicationName = QCoreApplication::applicationName();
    QString icon = data.image;
    QVariantMap hints;
    if (look) {
        applicationName = QString::fromLatin1(look->applicationName);
        if (icon.isEmpty()) {
            icon = QString::fromLatin1(look->icon);
        }
        hints.insert(QStringLiteral("desktop-entry"), QString::fromLatin1(look->desktopEntry));
    }
    if (!data.eventType.isEmpty()) {
        hints.insert(QStringLiteral("category"), data.eventType);
    }
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(1));
    if (data.timestamp.isValid()) {
        hints.insert(QStringLiteral("x-brenmor-timestamp"), data.timestamp.toSecsSinceEpoch());
    }
    if (data.count > 0) {
        hints.insert(QStringLiteral("x-brenmor-count"), data.count);
    }
    QStringList actions;
    if (MRemoteAction(data.action).isValid()) {
        // A click on the notification itself; servers show no button for it.
        actions << defaultActionKey << QString();
    }
    // Texts from mail are plain text: a server that reads markup in the body
    // must not take a subject's "<" or "&" for it.
    const bool markup
        = !m_capabilitiesKnown || m_capabilities.contains(QStringLiteral("body-markup"));
    const QString body = markup ? data.body.toHtmlEscaped() : data.body;

    QDBusMessage call = QDBusMessage::createMethodCall(serviceName, objectPath, interfaceName,
                                                       QStringLiteral("Notify"));
    call << applicationName << entry.serverId << icon << data.summary << body << actions << hints
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
        qWarning("MNotification: notification \"%s\" not shown: %s",
                 qPrintable(entry.data.identifier), qPrintable(reply.error().message()));
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
    if (!owner.isEmpty() && owner != m_serverOwner) {
        setServerOwner(owner);
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
        auto *notification = new MNotification(QString());
        notification->m_data = entry.data;
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
            MRemoteAction(entry.data.action).trigger();
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
    setServerOwner(newOwner);
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
    const MNotificationStateFile::State state = m_stateFile.read();
    m_nextKey = state.nextKey;
    if (state.server.isEmpty() || state.server != m_serverIdentity) {
        // Shown by a server that is gone: nothing of that list is on display.
        if (!state.server.isEmpty() || !state.records.isEmpty()) {
            save();
        }
        return;
    }
    for (const MNotificationStateFile::Record &record : state.records) {
        Entry entry;
        entry.key = record.key;
        entry.serverId = record.serverId;
        entry.data = record.data;
        m_entries.insert(entry.key, entry);
    }
}

void MNotificationService::save() const
{
    MNotificationStateFile::State state;
    state.server = m_serverIdentity;
    state.nextKey = m_nextKey;
    for (const Entry &entry : m_entries) {
        // Only what the server has shown: an unanswered Notify may yet fail.
        if (entry.serverId != 0 && !entry.removed) {
            state.records.append({ entry.key, entry.serverId, entry.data });
        }
    }
    m_stateFile.write(state);
}
