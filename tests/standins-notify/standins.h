#ifndef NOTIFYSTANDINS_H
#define NOTIFYSTANDINS_H

#include "processrunner.h"

#include <QJsonArray>
#include <QList>
#include <QRegularExpression>
#include <QVariantMap>

// Runs one stand-in service and waits for the lines it writes, while the
// test's own event loop keeps running (the test's D-Bus replies and signals
// are delivered meanwhile).
class StandinProcess
{
public:
    virtual ~StandinProcess() = default;

    bool start(const QString &program, const QString &readyLine);
    bool stop() { return m_runner.terminate(); }
    // Marks every line so far as seen.
    void markSeen() { m_seen = m_runner.lines().size(); }
    // Waits for a line not seen yet that matches, and marks it and all before
    // it as seen. Returns the line, or an empty text on timeout.
    QString waitForNewLine(const QRegularExpression &pattern, int timeoutMs = 15000);
    QString waitForNewLine(const QString &text, int timeoutMs = 15000);
    // Lines not seen yet, without waiting.
    QStringList unseenLines();
    ProcessRunner &runner() { return m_runner; }

protected:
    ProcessRunner m_runner;
    int m_seen = 0;
};

// The stand-in notification server (standin-notificationserver).
class NotificationServerStandin : public StandinProcess
{
public:
    bool start();
    // The notification id of one of the server's lines ("Notify id=3 ...",
    // "CloseNotification id=3"); 0 for a line without one.
    static uint idIn(const QString &line);
    uint notifyCalls();
    uint closeCalls();
    QList<uint> shown();
    QVariantMap lastNotify();
    QVariantMap notification(uint id);
    bool dismiss(uint id);
    bool expire(uint id);
    bool activate(uint id);
    void reset();

private:
    QVariant call(const QString &method, const QVariantList &arguments = QVariantList());
};

// The stand-in e-mail application (standin-tavik).
class TavikStandin : public StandinProcess
{
public:
    bool start();
    QStringList launches();
    // Emits one of the application's four signals.
    bool emitSignal(const QString &name);

private:
    QVariant call(const QString &method, const QVariantList &arguments = QVariantList());
};

// The notifications that the notification layer's state file lists as shown;
// empty when the file is missing or unreadable.
QJsonArray notificationStateEntries(const QString &stateFile);

#endif // NOTIFYSTANDINS_H
