#ifndef TESTENVIRONMENT_H
#define TESTENVIRONMENT_H

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>

// A private world for one test program: a temporary home with its own XDG
// folders, mail store and accounts database, and, on request, private D-Bus
// session and system buses. The variables are set in this process, so the
// test's own Qt objects and every program it starts use the same world.
// Create it before the first use of QSettings, QStandardPaths or D-Bus.
class TestEnvironment
{
public:
    TestEnvironment();
    ~TestEnvironment();

    bool isValid() const { return m_dir.isValid(); }
    QString root() const { return m_dir.path(); }
    QString path(const QString &relative) const { return m_dir.filePath(relative); }
    // "$XDG_CONFIG_HOME/Brenmor/Postvane.conf", the daemon's settings file.
    QString settingsFile() const;

    // Start a dbus-daemon and point DBUS_SESSION_BUS_ADDRESS (or
    // DBUS_SYSTEM_BUS_ADDRESS) at it. False when dbus-daemon cannot start.
    bool startSessionBus();
    bool startSystemBus();

    // "MODE PATH" of what group or others may use at and below `path` (links
    // not followed); "missing PATH" when it is not there.
    static QStringList openToOthers(const QString &path);

    // Path of a program built by this project, e.g. binary("postvane").
    static QString binary(const QString &name);
    // Path of a file of the source tree, e.g. sourcePath("data/ontology").
    static QString sourcePath(const QString &relative);

private:
    bool startBus(QProcess &process, const QString &kind, const char *variable);

    QTemporaryDir m_dir;
    QProcess m_sessionBus;
    QProcess m_systemBus;
};

#endif // TESTENVIRONMENT_H
