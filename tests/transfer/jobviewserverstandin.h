#ifndef JOBVIEWSERVERSTANDIN_H
#define JOBVIEWSERVERSTANDIN_H

#include <QDBusObjectPath>
#include <QObject>
#include <QStringList>

// Plays the desktop's job-progress service in tests: owns
// "org.kde.JobViewServer" on the session bus through a connection of its own
// and serves the interfaces of src/platform/org.kde.JobView*.xml through
// adaptors generated from them. Every call is recorded as a line, views
// numbered from 1:
//   "requestView(Work, icon-m-content-email, 1) -> 1"
//   "1: setPercent(75)"   "1: terminate()"
class JobViewServerStandIn : public QObject
{
    Q_OBJECT
public:
    JobViewServerStandIn();
    ~JobViewServerStandIn() override;

    bool start();
    void quit();
    QStringList calls() const { return mCalls; }
    // The user asks to cancel a view's job.
    bool requestCancel(int view);

    // The interface.
    QDBusObjectPath requestView(const QString &appName, const QString &appIconName,
                                int capabilities);

    void record(const QString &call);
    // Also print every call on standard error (the stand-in program).
    void setEcho(bool echo) { mEcho = echo; }

private:
    QString mConnectionName;
    QList<QObject *> mViews;
    QStringList mCalls;
    bool mEcho = false;
};

// One view, served at "/JobViewServer/JobView_<n>" until it is terminated.
class JobViewStandIn : public QObject
{
    Q_OBJECT
public:
    JobViewStandIn(JobViewServerStandIn *server, int number, const QString &connection);

    void setPercent(uint percent) { say(QStringLiteral("setPercent(%1)").arg(percent)); }
    void setInfoMessage(const QString &message) { say("setInfoMessage(" + message + ')'); }
    void setError(uint code) { say(QStringLiteral("setError(%1)").arg(code)); }
    bool setDescriptionField(uint number, const QString &name, const QString &value)
    {
        say(QStringLiteral("setDescriptionField(%1, %2, %3)").arg(number).arg(name, value));
        return true;
    }
    void clearDescriptionField(uint number)
    {
        say(QStringLiteral("clearDescriptionField(%1)").arg(number));
    }
    void terminate(const QString &message);

Q_SIGNALS:
    void cancelRequested();

private:
    void say(const QString &call) { mServer->record(QString::number(mNumber) + ": " + call); }

    JobViewServerStandIn *mServer;
    int mNumber;
    QString mConnection;
};

#endif // JOBVIEWSERVERSTANDIN_H
