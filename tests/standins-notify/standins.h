#ifndef NOTIFYSTANDINS_H
#define NOTIFYSTANDINS_H

#include "processrunner.h"

#include <QDBusArgument>

// A program run by a test, whose lines of standard error the test waits for
// one after another, while the test's own event loop keeps running.
class StandinProcess
{
public:
    bool start(const QString &program, const QString &readyLine);
    bool stop() { return m_runner.terminate(); }
    void markSeen() { m_seen = m_runner.lines().size(); }
    // Waits for a line not seen yet that matches, and marks it and all before
    // it as seen. Returns the line, or an empty text on timeout.
    QString waitForNewLine(const QRegularExpression &pattern, int timeoutMs = 15000);
    QString waitForNewLine(const QString &text, int timeoutMs = 15000);
    QStringList unseenLines() { return m_runner.lines().mid(m_seen); }
    ProcessRunner &runner() { return m_runner; }

private:
    ProcessRunner m_runner;
    int m_seen = 0;
};

// The stand-in notification server (standin-notificationserver) and its
// control interface.
class NotificationServerStandin : public StandinProcess
{
public:
    bool start() { return StandinProcess::start("standin-notificationserver", "ready"); }
    // Waits for the next Notify line and returns its id when it matches the
    // pattern, 0 (with a warning) when it does not.
    uint waitForNotify(const QString &pattern);
    uint notifyCalls() { return call("NotifyCalls").toUInt(); }
    uint closeCalls() { return call("CloseCalls").toUInt(); }
    void reset() { call("Reset"); }
    QList<uint> shown() { return qdbus_cast<QList<uint>>(call("Shown")); }
    // The arguments of the last Notify call, in the order of the interface.
    QVariantList lastNotify() { return qdbus_cast<QVariantList>(call("LastNotify")); }
    bool dismiss(uint id) { return call("Dismiss", { id }).toBool(); }
    bool expire(uint id) { return call("Expire", { id }).toBool(); }
    bool activate(uint id) { return call("Activate", { id }).toBool(); }
    void holdReplies(bool hold) { call("HoldReplies", { hold }); }
    bool waitForClose(uint id)
    {
        return !waitForNewLine(QStringLiteral("CloseNotification id=%1").arg(id)).isEmpty();
    }

private:
    QVariant call(const char *method, const QVariantList &arguments = QVariantList());
};

// The stand-in e-mail application (standin-tavik); its four signals come
// from the test itself.
class TavikStandin : public StandinProcess
{
public:
    bool start() { return StandinProcess::start("standin-tavik", "ready"); }
    QString waitForLaunch() { return waitForNewLine("launch("); }
    static bool emitSignal(const QString &name);
};

#endif // NOTIFYSTANDINS_H
