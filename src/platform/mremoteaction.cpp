#include "mremoteaction.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDataStream>
#include <QtDebug>

namespace {

// Version of the text form; a text of another version is not read.
const qint32 serializedVersion = 1;

} // namespace

MRemoteAction::MRemoteAction(QObject *parent)
    : QObject(parent)
{ }

MRemoteAction::MRemoteAction(const QString &serviceName, const QString &objectPath,
                             const QString &interface, const QString &methodName,
                             const QList<QVariant> &arguments, QObject *parent)
    : QObject(parent)
    , m_serviceName(serviceName)
    , m_objectPath(objectPath)
    , m_interface(interface)
    , m_methodName(methodName)
    , m_arguments(arguments)
{ }

MRemoteAction::MRemoteAction(const QString &serialized, QObject *parent)
    : QObject(parent)
{
    QByteArray data = QByteArray::fromBase64(serialized.toLatin1());
    QDataStream stream(&data, QIODevice::ReadOnly);
    stream.setVersion(QDataStream::Qt_5_15);
    qint32 version = 0;
    stream >> version;
    if (version != serializedVersion) {
        return;
    }
    QString service, path, interface, method;
    QList<QVariant> arguments;
    stream >> service >> path >> interface >> method >> arguments;
    if (stream.status() != QDataStream::Ok) {
        return;
    }
    m_serviceName = service;
    m_objectPath = path;
    m_interface = interface;
    m_methodName = method;
    m_arguments = arguments;
}

MRemoteAction::MRemoteAction(const MRemoteAction &other)
    : QObject(nullptr)
    , m_serviceName(other.m_serviceName)
    , m_objectPath(other.m_objectPath)
    , m_interface(other.m_interface)
    , m_methodName(other.m_methodName)
    , m_arguments(other.m_arguments)
{ }

MRemoteAction &MRemoteAction::operator=(const MRemoteAction &other)
{
    m_serviceName = other.m_serviceName;
    m_objectPath = other.m_objectPath;
    m_interface = other.m_interface;
    m_methodName = other.m_methodName;
    m_arguments = other.m_arguments;
    return *this;
}

MRemoteAction::~MRemoteAction() = default;

bool MRemoteAction::isValid() const
{
    return !m_serviceName.isEmpty() && !m_objectPath.isEmpty() && !m_methodName.isEmpty();
}

QString MRemoteAction::toString() const
{
    if (!isValid()) {
        return QString();
    }
    QByteArray data;
    QDataStream stream(&data, QIODevice::WriteOnly);
    stream.setVersion(QDataStream::Qt_5_15);
    stream << serializedVersion << m_serviceName << m_objectPath << m_interface << m_methodName
           << m_arguments;
    return QString::fromLatin1(data.toBase64());
}

void MRemoteAction::trigger()
{
    if (!isValid()) {
        qWarning("MRemoteAction: cannot trigger an action without service, path or method");
        return;
    }
    QDBusMessage call
        = QDBusMessage::createMethodCall(m_serviceName, m_objectPath, m_interface, m_methodName);
    call.setArguments(m_arguments);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qWarning("MRemoteAction: no session bus for %s.%s", qPrintable(m_interface),
                 qPrintable(m_methodName));
        return;
    }
    // The action may well be gone by the time the reply comes: the watcher
    // belongs to the application, which also frees it when the process ends
    // before the reply does.
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), QCoreApplication::instance());
    const QString target = m_serviceName + QLatin1Char(' ') + m_objectPath + QLatin1Char(' ')
        + m_interface + QLatin1Char('.') + m_methodName;
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [target](QDBusPendingCallWatcher *finished) {
                         if (finished->isError()) {
                             qWarning("MRemoteAction: call %s failed: %s", qPrintable(target),
                                      qPrintable(finished->error().message()));
                         }
                         finished->deleteLater();
                     });
}
