#include "standins.h"

#include "testenvironment.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QtDebug>

bool StandinProcess::start(const QString &program, const QString &readyLine)
{
    if (!m_runner.start(TestEnvironment::binary(program))) {
        return false;
    }
    return !waitForNewLine(readyLine).isEmpty();
}

QString StandinProcess::waitForNewLine(const QRegularExpression &pattern, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        const QStringList lines = m_runner.lines();
        for (int i = m_seen; i < lines.size(); ++i) {
            if (pattern.match(lines.at(i)).hasMatch()) {
                m_seen = i + 1;
                return lines.at(i);
            }
        }
        if (deadline.hasExpired() || m_runner.process().state() == QProcess::NotRunning) {
            qWarning() << "No new line matching" << pattern.pattern()
                       << "; unseen lines:" << lines.mid(m_seen);
            return QString();
        }
        // Keep the test's own event loop going: its D-Bus traffic must flow.
        QTest::qWait(10);
    }
}

QString StandinProcess::waitForNewLine(const QString &text, int timeoutMs)
{
    return waitForNewLine(QRegularExpression(QRegularExpression::escape(text)), timeoutMs);
}

QStringList StandinProcess::unseenLines()
{
    return m_runner.lines().mid(m_seen);
}

namespace {

QVariant controlCall(const QString &service, const QString &interface, const QString &method,
                     const QVariantList &arguments)
{
    QDBusMessage message
        = QDBusMessage::createMethodCall(service, QStringLiteral("/control"), interface, method);
    message.setArguments(arguments);
    const QDBusMessage reply = QDBusConnection::sessionBus().call(message, QDBus::Block, 10000);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        qWarning() << "Control call" << method << "failed:" << reply.errorMessage();
        return QVariant();
    }
    return reply.arguments().value(0);
}

QVariantMap toMap(const QVariant &value)
{
    if (value.userType() == qMetaTypeId<QDBusArgument>()) {
        QVariantMap map;
        value.value<QDBusArgument>() >> map;
        return map;
    }
    return value.toMap();
}

} // namespace

bool NotificationServerStandin::start()
{
    return StandinProcess::start(QStringLiteral("standin-notificationserver"),
                                 QStringLiteral("standin-notificationserver ready"));
}

QVariant NotificationServerStandin::call(const QString &method, const QVariantList &arguments)
{
    return controlCall(QStringLiteral("org.freedesktop.Notifications"),
                       QStringLiteral("com.brenmor.test.NotificationServer"), method, arguments);
}

uint NotificationServerStandin::idIn(const QString &line)
{
    static const QRegularExpression id(QStringLiteral("\\bid=(\\d+)"));
    return id.match(line).captured(1).toUInt();
}

uint NotificationServerStandin::notifyCalls()
{
    return call(QStringLiteral("NotifyCalls")).toUInt();
}

uint NotificationServerStandin::closeCalls()
{
    return call(QStringLiteral("CloseCalls")).toUInt();
}

QList<uint> NotificationServerStandin::shown()
{
    const QVariant value = call(QStringLiteral("Shown"));
    QList<uint> ids;
    if (value.userType() == qMetaTypeId<QDBusArgument>()) {
        const QDBusArgument argument = value.value<QDBusArgument>();
        argument.beginArray();
        while (!argument.atEnd()) {
            uint id = 0;
            argument >> id;
            ids << id;
        }
        argument.endArray();
    } else {
        for (const QVariant &item : value.toList()) {
            ids << item.toUInt();
        }
    }
    return ids;
}

QVariantMap NotificationServerStandin::lastNotify()
{
    return toMap(call(QStringLiteral("LastNotify")));
}

QVariantMap NotificationServerStandin::notification(uint id)
{
    return toMap(call(QStringLiteral("Notification"), { id }));
}

bool NotificationServerStandin::dismiss(uint id)
{
    return call(QStringLiteral("Dismiss"), { id }).toBool();
}

bool NotificationServerStandin::expire(uint id)
{
    return call(QStringLiteral("Expire"), { id }).toBool();
}

bool NotificationServerStandin::activate(uint id)
{
    return call(QStringLiteral("Activate"), { id }).toBool();
}

void NotificationServerStandin::reset()
{
    call(QStringLiteral("Reset"));
}

bool TavikStandin::start()
{
    return StandinProcess::start(QStringLiteral("standin-tavik"),
                                 QStringLiteral("standin-tavik ready"));
}

QVariant TavikStandin::call(const QString &method, const QVariantList &arguments)
{
    return controlCall(QStringLiteral("com.brenmor.tavik"),
                       QStringLiteral("com.brenmor.test.Tavik"), method, arguments);
}

QStringList TavikStandin::launches()
{
    return call(QStringLiteral("Launches")).toStringList();
}

bool TavikStandin::emitSignal(const QString &name)
{
    return call(QStringLiteral("Emit"), { name }).toBool();
}

QJsonArray notificationStateEntries(const QString &stateFile)
{
    QFile file(stateFile);
    if (!file.open(QIODevice::ReadOnly)) {
        return QJsonArray();
    }
    return QJsonDocument::fromJson(file.readAll())
        .object()
        .value(QStringLiteral("notifications"))
        .toArray();
}
