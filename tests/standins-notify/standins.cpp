#include "standins.h"

#include "testenvironment.h"
#include "waituntil.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QtDebug>

bool StandinProcess::start(const QString &program, const QString &readyLine)
{
    m_seen = m_runner.process().isOpen() ? m_runner.lines().size() : 0; // an earlier run's
    return m_runner.start(TestEnvironment::binary(program)) && !waitForNewLine(readyLine).isEmpty();
}

QString StandinProcess::waitForNewLine(const QRegularExpression &pattern, int timeoutMs)
{
    QString found;
    const auto scan = [&] {
        const QStringList lines = m_runner.lines();
        for (int i = m_seen; i < lines.size() && found.isEmpty(); ++i) {
            if (pattern.match(lines.at(i)).hasMatch()) {
                m_seen = i + 1;
                found = lines.at(i);
            }
        }
        return !found.isEmpty() || m_runner.process().state() == QProcess::NotRunning;
    };
    if (!waitUntil(scan, timeoutMs) || found.isEmpty()) {
        qWarning() << "No new line matching" << pattern.pattern()
                   << "; unseen lines:" << unseenLines();
    }
    return found;
}

QString StandinProcess::waitForNewLine(const QString &text, int timeoutMs)
{
    return waitForNewLine(QRegularExpression(QRegularExpression::escape(text)), timeoutMs);
}

uint NotificationServerStandin::waitForNotify(const QString &pattern)
{
    const QString line = waitForNewLine(QRegularExpression(QStringLiteral("^Notify ")));
    const QRegularExpressionMatch match
        = QRegularExpression(QStringLiteral("^Notify id=(\\d+) ") + pattern).match(line);
    if (!match.hasMatch()) {
        qWarning() << "Expected Notify" << pattern << "but the next was" << line;
    }
    return match.captured(1).toUInt();
}

QVariant NotificationServerStandin::call(const char *method, const QVariantList &arguments)
{
    QDBusMessage message = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/control"),
        QStringLiteral("com.brenmor.test.NotificationServer"), QLatin1String(method));
    message.setArguments(arguments);
    const QDBusMessage reply = QDBusConnection::sessionBus().call(message);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        qWarning() << "Control call" << method << "failed:" << reply.errorMessage();
    }
    return reply.arguments().value(0);
}

bool TavikStandin::emitSignal(const QString &name)
{
    return QDBusConnection::sessionBus().send(QDBusMessage::createSignal(
        QStringLiteral("/com/brenmor/tavik"), QStringLiteral("com.brenmor.tavik"), name));
}
