// A burst of new mail against the real daemon: 1,000 messages arriving in 10
// store notifications of 100 each, in an inbox, with the stand-in
// notification server on a private session bus. Reports the daemon's CPU time
// per message and the notification-server calls per store notification.
//
// Two runs: the daemon as it is (the Tracker mirror indexes every message in
// the same store notification), and the daemon without a Tracker database
// (only the new-mail notification works on the burst).
//
// Usage: bench_notifications [MESSAGES_PER_NOTIFICATION [NOTIFICATIONS]]

#include "../procstatus.h"
#include "standins.h"
#include "testenvironment.h"

#include <qmailstore.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <cstdio>
#include <unistd.h>

namespace {

struct Result
{
    bool ok = false;
    double cpuMs = 0;
    qint64 wallMs = 0;
    uint notifyCalls = 0;
    uint closeCalls = 0;
    int publishes = 0;
};

void writeSettings(const TestEnvironment &env)
{
    QDir().mkpath(QFileInfo(env.settingsFile()).path());
    QFile file(env.settingsFile());
    file.open(QIODevice::WriteOnly);
    // Only the notification records, on standard error, as the daemon's
    // defaults would write them to a log.
    file.write("[Syslog]\nEnabled=0\n[FileLog]\nEnabled=0\n[StdStreamLog]\nEnabled=1\n"
               "[Log%20categories]\nNotifications=1\nIndexer=0\nQueries=0\nScheduler=0\n"
               "Watcher=0\nTransfer=0\nHeartbeat=0\n[Notification]\nEnabled=1\n");
}

Result runBurst(TestEnvironment &env, NotificationServerStandin &server, bool withMirror,
                int perNotification, int notifications)
{
    Result result;
    QMailStore *store = QMailStore::instance();
    QMailAccount account;
    account.setName(withMirror ? QStringLiteral("With mirror") : QStringLiteral("Without mirror"));
    store->addAccount(&account);
    QMailFolder inbox(QStringLiteral("INBOX"), QMailFolderId(), account.id());
    store->addFolder(&inbox);
    account.setStandardFolder(QMailFolder::InboxFolder, inbox.id());
    store->updateAccount(&account);

    const QByteArray savedDataHome = qgetenv("XDG_DATA_HOME");
    if (!withMirror) {
        // A data folder that cannot exist: no Tracker database for this run.
        QFile blocker(env.path(QStringLiteral("not-a-folder")));
        blocker.open(QIODevice::WriteOnly);
        qputenv("XDG_DATA_HOME", QFile::encodeName(blocker.fileName() + QStringLiteral("/data")));
    }
    StandinProcess daemon;
    const bool started
        = daemon.start(QStringLiteral("postvane"),
                       QStringLiteral("[Notifications] Postvane::enableNotifications("));
    qputenv("XDG_DATA_HOME", savedDataHome);
    if (!started) {
        std::fprintf(stderr, "postvane did not start\n");
        return result;
    }
    const qint64 pid = daemon.runner().pid();
    // Let start-up work (Tracker's database, the store) settle first.
    QThread::msleep(500);
    server.reset();
    server.markSeen();
    daemon.markSeen();

    const QDateTime now = QDateTime::currentDateTime();
    const double cpuBefore = cpuSeconds(pid) * 1000.0;
    QElapsedTimer wall;
    wall.start();
    int serial = 0;
    for (int n = 0; n < notifications; ++n) {
        QList<QMailMessageMetaData *> batch;
        for (int i = 0; i < perNotification; ++i, ++serial) {
            auto *message = new QMailMessageMetaData;
            message->setParentFolderId(inbox.id());
            message->setParentAccountId(account.id());
            message->setFrom(QMailAddress(QStringLiteral("Sender %1").arg(serial % 37),
                                          QStringLiteral("sender%1@example.com").arg(serial % 37)));
            message->setSubject(QStringLiteral("Burst message %1").arg(serial));
            message->setDate(QMailTimeStamp(now.addSecs(-serial)));
            message->setStatus(QMailMessageMetaData::Incoming | QMailMessageMetaData::New);
            batch.append(message);
        }
        store->addMessages(batch);
        qDeleteAll(batch);
    }
    store->flushIpcNotifications();
    const int total = perNotification * notifications;
    const QString last
        = server.waitForNewLine(QStringLiteral("body=\"%1 new messages\"").arg(total), 600000);
    result.wallMs = wall.elapsed();
    // The daemon may still be indexing: its CPU counts until it is idle.
    double cpuAfter = cpuSeconds(pid) * 1000.0;
    for (;;) {
        QThread::msleep(300);
        const double again = cpuSeconds(pid) * 1000.0;
        if (again - cpuAfter < 1.0) {
            break;
        }
        cpuAfter = again;
    }
    result.cpuMs = cpuAfter - cpuBefore;
    result.notifyCalls = server.notifyCalls();
    result.closeCalls = server.closeCalls();
    result.publishes = daemon.unseenLines().filter(QStringLiteral("d-bus argument is")).size();
    result.ok = !last.isEmpty();
    daemon.stop();
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    if (qEnvironmentVariableIsEmpty("POSTVANE_BIN_DIR")) {
        qputenv("POSTVANE_BIN_DIR", QFile::encodeName(QCoreApplication::applicationDirPath()));
    }
    const QStringList args = application.arguments();
    const int perNotification = args.size() > 1 ? args.at(1).toInt() : 100;
    const int notifications = args.size() > 2 ? args.at(2).toInt() : 10;
    if (perNotification <= 0 || notifications <= 0) {
        std::fprintf(stderr,
                     "Usage: bench_notifications [MESSAGES_PER_NOTIFICATION [NOTIFICATIONS]]\n");
        return 2;
    }

    TestEnvironment env;
    if (!env.isValid() || !env.startSessionBus()) {
        std::fprintf(stderr, "cannot set up a private world with a session bus\n");
        return 1;
    }
    qputenv("MAIL_BOOT_NO_WAIT", "1");
    writeSettings(env);
    NotificationServerStandin server;
    if (!server.start()) {
        std::fprintf(stderr, "cannot start standin-notificationserver\n");
        return 1;
    }

    const int total = perNotification * notifications;
    std::printf("burst: %d messages in %d store notifications\n", total, notifications);
    for (bool withMirror : { true, false }) {
        const Result r = runBurst(env, server, withMirror, perNotification, notifications);
        if (!r.ok) {
            std::fprintf(stderr, "the burst did not end in one notification of %d messages\n",
                         total);
            return 1;
        }
        std::printf("%-30s daemon CPU %8.1f ms = %6.3f ms/message; wall %6lld ms; "
                    "publishes %d, Notify calls %u (%.2f per store notification), "
                    "CloseNotification calls %u\n",
                    withMirror ? "daemon with Tracker mirror:" : "notification path alone:",
                    r.cpuMs, r.cpuMs / total, static_cast<long long>(r.wallMs), r.publishes,
                    r.notifyCalls, double(r.notifyCalls) / notifications, r.closeCalls);
    }
    return 0;
}
