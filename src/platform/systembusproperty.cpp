#include "systembusproperty.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>

namespace {

const QString PropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const int FirstReadTimeoutMs = 1000;

} // namespace

SystemBusProperty::SystemBusProperty(const QString &service, const QString &path,
                                     const QString &interface, const QString &property,
                                     QObject *parent)
    : QObject(parent)
    , mService(service)
    , mPath(path)
    , mInterface(interface)
    , mProperty(property)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        return; // no system bus: the value stays unknown, and nothing can change it
    }
    auto *watcher
        = new QDBusServiceWatcher(mService, bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, SIGNAL(serviceRegistered(QString)), this, SLOT(onServiceRegistered()));
    connect(watcher, SIGNAL(serviceUnregistered(QString)), this, SLOT(onServiceUnregistered()));
    bus.connect(mService, mPath, PropertiesInterface, QStringLiteral("PropertiesChanged"), this,
                SLOT(onPropertiesChanged(QString, QVariantMap, QStringList)));
    const QDBusMessage reply = bus.call(getCall(), QDBus::Block, FirstReadTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
        mValue = reply.arguments().constFirst().value<QDBusVariant>().variant();
    }
}

QDBusMessage SystemBusProperty::getCall() const
{
    QDBusMessage get = QDBusMessage::createMethodCall(mService, mPath, PropertiesInterface,
                                                      QStringLiteral("Get"));
    get << mInterface << mProperty;
    // An absent service is not started for us: it is followed when it comes.
    get.setAutoStartService(false);
    return get;
}

void SystemBusProperty::fetch()
{
    auto *call
        = new QDBusPendingCallWatcher(QDBusConnection::systemBus().asyncCall(getCall()), this);
    call->setProperty("generation", ++mGeneration);
    connect(call, SIGNAL(finished(QDBusPendingCallWatcher *)), this,
            SLOT(onGetFinished(QDBusPendingCallWatcher *)));
}

void SystemBusProperty::onGetFinished(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    if (call->property("generation").toULongLong() != mGeneration) {
        return;
    }
    const QDBusPendingReply<QDBusVariant> reply = *call;
    if (!reply.isError()) {
        setValue(reply.value().variant());
    }
}

void SystemBusProperty::onServiceRegistered()
{
    fetch();
}

void SystemBusProperty::onServiceUnregistered()
{
    ++mGeneration;
    setValue(QVariant());
}

void SystemBusProperty::onPropertiesChanged(const QString &interface, const QVariantMap &changed,
                                            const QStringList &invalidated)
{
    if (interface != mInterface) {
        return;
    }
    if (changed.contains(mProperty)) {
        ++mGeneration;
        setValue(changed.value(mProperty));
    } else if (invalidated.contains(mProperty)) {
        fetch();
    }
}

void SystemBusProperty::setValue(const QVariant &value)
{
    if (value == mValue && value.isValid() == mValue.isValid()) {
        return;
    }
    mValue = value;
    Q_EMIT valueChanged(mValue);
}
