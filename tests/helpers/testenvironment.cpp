#include "testenvironment.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QtDebug>

#include <sys/stat.h>

TestEnvironment::TestEnvironment()
    : m_dir(QDir::tempPath() + QStringLiteral("/postvane-test-XXXXXX"))
{
    if (!m_dir.isValid()) {
        qWarning("Cannot create a temporary folder: %s", qPrintable(m_dir.errorString()));
        return;
    }
    const struct
    {
        const char *variable;
        const char *folder;
    } folders[] = {
        { "HOME", "home" },
        { "XDG_CONFIG_HOME", "home/.config" },
        { "XDG_DATA_HOME", "home/.local/share" },
        { "XDG_CACHE_HOME", "home/.cache" },
        { "XDG_RUNTIME_DIR", "runtime" },
        { "QMF_DATA", "home/.qmf" },
        { "ACCOUNTS", "home/.config/libaccounts-glib" },
    };
    for (const auto &entry : folders) {
        const QString folder = path(QString::fromLatin1(entry.folder));
        QDir().mkpath(folder);
        qputenv(entry.variable, QFile::encodeName(folder));
    }
    QFile::setPermissions(path(QStringLiteral("runtime")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

QStringList TestEnvironment::openToOthers(const QString &path)
{
    QStringList open;
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    for (QString entry = path; !entry.isEmpty(); entry = it.hasNext() ? it.next() : QString()) {
        struct stat info = {};
        if (::lstat(QFile::encodeName(entry).constData(), &info) != 0)
            open.append(QStringLiteral("missing ") + entry);
        // A file of several names in a private folder is a message shared
        // with a Maildir: its mode is the user's, and others cannot reach it.
        else if (!S_ISLNK(info.st_mode) && (info.st_mode & 077)
                 && (!S_ISREG(info.st_mode) || info.st_nlink == 1
                     || QFileInfo(QFileInfo(entry).path()).permissions()
                         & (QFileDevice::ExeGroup | QFileDevice::ExeOther)))
            open.append(QString::number(info.st_mode & 07777, 8) + QLatin1Char(' ') + entry);
    }
    return open;
}

TestEnvironment::~TestEnvironment()
{
    for (QProcess *bus : { &m_sessionBus, &m_systemBus }) {
        if (bus->state() != QProcess::NotRunning) {
            bus->terminate();
            if (!bus->waitForFinished(5000)) {
                bus->kill();
                bus->waitForFinished(5000);
            }
        }
    }
}

QString TestEnvironment::settingsFile() const
{
    return path(QStringLiteral("home/.config/Brenmor/Postvane.conf"));
}

bool TestEnvironment::startSessionBus()
{
    return startBus(m_sessionBus, QStringLiteral("session"), "DBUS_SESSION_BUS_ADDRESS");
}

bool TestEnvironment::startSystemBus()
{
    return startBus(m_systemBus, QStringLiteral("system"), "DBUS_SYSTEM_BUS_ADDRESS");
}

bool TestEnvironment::startBus(QProcess &process, const QString &kind, const char *variable)
{
    // A session-style bus that lets every connection own names and send
    // anything: both private buses only ever carry this test's traffic.
    const QString config = path(kind + QStringLiteral("-bus.conf"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly)) {
        qWarning("Cannot write %s", qPrintable(config));
        return false;
    }
    file.write(
        "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
        " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
        "<busconfig>\n  <type>");
    file.write(kind.toLatin1());
    file.write("</type>\n  <listen>unix:dir=");
    file.write(QFile::encodeName(root()));
    file.write("</listen>\n");
    if (kind == QLatin1String("session")) {
        // The credentials service starts on demand, as on a desktop.
        const QString services = path(QStringLiteral("dbus-services"));
        QDir().mkpath(services);
        QFile signond(services
                      + QStringLiteral("/com.google.code.AccountsSSO.SingleSignOn.service"));
        if (!signond.open(QIODevice::WriteOnly)) {
            return false;
        }
        signond.write("[D-BUS Service]\nName=com.google.code.AccountsSSO.SingleSignOn\n"
                      "Exec=/usr/bin/signond\n");
        file.write("  <servicedir>" + QFile::encodeName(services) + "</servicedir>\n");
    }
    file.write("  <auth>EXTERNAL</auth>\n"
               "  <policy context=\"default\">\n"
               "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
               "    <allow eavesdrop=\"true\"/>\n"
               "    <allow own=\"*\"/>\n"
               "  </policy>\n</busconfig>\n");
    file.close();

    process.setProgram(QStringLiteral("dbus-daemon"));
    process.setArguments({ QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                           QStringLiteral("--print-address=1") });
    process.setReadChannel(QProcess::StandardOutput);
    process.start();
    if (!process.waitForStarted(5000)) {
        qWarning("Cannot start dbus-daemon: %s", qPrintable(process.errorString()));
        return false;
    }
    while (!process.canReadLine()) {
        if (!process.waitForReadyRead(10000)) {
            qWarning("dbus-daemon printed no address");
            return false;
        }
    }
    const QByteArray address = process.readLine().trimmed();
    qputenv(variable, address);
    return !address.isEmpty();
}

QString TestEnvironment::binary(const QString &name)
{
    return QFile::decodeName(qgetenv("POSTVANE_BIN_DIR")) + QLatin1Char('/') + name;
}

QString TestEnvironment::sourcePath(const QString &relative)
{
    return QFile::decodeName(qgetenv("POSTVANE_SOURCE_DIR")) + QLatin1Char('/') + relative;
}
