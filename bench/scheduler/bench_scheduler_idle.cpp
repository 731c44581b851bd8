// Idle cost of the sync scheduler: the real daemon with ten scheduled accounts
// (every 60 minutes, already synchronised), the stand-in message server, and
// NetworkManager and power profiles played by dbusmock on a private system
// bus. Once the start-up syncs have ended nothing is due; the bench then
// counts the daemon's wake-ups (context switches of all its threads) over a
// span and reads its resident memory.
//
//   bench_scheduler_idle [SECONDS]        (default 60)
#include "accountsfixture.h"
#include "processrunner.h"
#include "settingswriter.h"
#include "testenvironment.h"
#include "waituntil.h"

#include <Accounts/Account>
#include <Accounts/Manager>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <cstdio>
#include <unistd.h>

namespace {

const int AccountCount = 10;

// Voluntary plus involuntary context switches of every thread of the process.
long long contextSwitches(qint64 pid)
{
    long long total = 0;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile status(tasks.filePath(task + QStringLiteral("/status")));
        if (!status.open(QIODevice::ReadOnly)) {
            continue;
        }
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.endsWith("ctxt_switches:") || line.contains("ctxt_switches:")) {
                total += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
            }
        }
    }
    return total;
}

QByteArray statusField(qint64 pid, const QByteArray &field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) {
        return QByteArray();
    }
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field + ':')) {
            return line.mid(field.size() + 1).simplified();
        }
    }
    return QByteArray();
}

// An account with an empty Maildir of its own; the message server mirrors it
// into the mail store.
bool addAccount(const QString &maildir)
{
    for (const char *sub : { "/cur", "/new", "/tmp" }) {
        QDir().mkpath(maildir + QLatin1String(sub));
    }
    Accounts::Manager manager;
    Accounts::Account *account = manager.createAccount(QStringLiteral("local-mail"));
    account->setEnabled(true);
    account->setValue(QStringLiteral("scheduler/schedule_peak"), 60);
    account->setValue(QStringLiteral("scheduler/schedule_off_peak"), 60);
    account->selectService(manager.service(QStringLiteral("local-email")));
    account->setEnabled(true);
    account->setValue(QStringLiteral("lastSynchronized"), 1);
    account->setValue(QStringLiteral("maildir"), maildir);
    return account->syncAndBlock();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    qputenv("POSTVANE_BIN_DIR", QFile::encodeName(QCoreApplication::applicationDirPath()));
    qputenv("POSTVANE_SOURCE_DIR", POSTVANE_SOURCE_DIR);
    const int seconds = argc > 1 ? QByteArray(argv[1]).toInt() : 60;
    if (seconds <= 0) {
        std::fprintf(stderr, "Usage: bench_scheduler_idle [SECONDS]\n");
        return 2;
    }

    TestEnvironment env;
    if (!env.isValid() || !env.startSessionBus() || !env.startSystemBus()
        || !AccountsFixture::setUp(env)) {
        std::fprintf(stderr, "cannot set up a private world with both buses\n");
        return 1;
    }
    writeSettings(env.settingsFile(),
                  { { "Syslog/Enabled", 0 },
                    { "FileLog/Enabled", 0 },
                    { "StdStreamLog/Enabled", 1 },
                    { "Log categories/Scheduler", 1 } });
    qputenv("MAIL_BOOT_NO_WAIT", "1");
    QProcess networkManager, powerProfiles;
    networkManager.start("/usr/bin/python3",
                         { "-m", "dbusmock", "--system", "--template", "networkmanager" });
    powerProfiles.start("/usr/bin/python3",
                        { "-m", "dbusmock", "--system", "--template", "power_profiles_daemon" });
    ProcessRunner server;
    if (!server.start(TestEnvironment::binary("messageserver"))) {
        std::fprintf(stderr, "cannot start the message server\n");
        return 1;
    }
    for (int i = 0; i < AccountCount; ++i) {
        if (!addAccount(env.path(QStringLiteral("maildir-%1").arg(i)))) {
            std::fprintf(stderr, "cannot store account %d\n", i + 1);
            return 1;
        }
    }

    ProcessRunner daemon;
    if (!daemon.start(TestEnvironment::binary("postvane"))
        || !waitUntil(
            [&] {
                return daemon.linesContaining("sync succeeded in account").size() == AccountCount;
            },
            60000)) {
        std::fprintf(stderr, "the start-up syncs did not end\n");
        return 1;
    }
    // Let the last replies and deferred deletions settle before counting.
    waitUntil([] { return false; }, 2000);
    const long long before = contextSwitches(daemon.pid());
    ::sleep(unsigned(seconds));
    const long long after = contextSwitches(daemon.pid());
    std::printf("accounts scheduled: %d (every 60 minutes), span %d s\n", AccountCount, seconds);
    std::printf("wake-ups: %lld (%.1f per minute)\n", after - before,
                double(after - before) * 60.0 / seconds);
    std::printf("resident memory: %s (peak %s), threads %s\n",
                statusField(daemon.pid(), "VmRSS").constData(),
                statusField(daemon.pid(), "VmHWM").constData(),
                statusField(daemon.pid(), "Threads").constData());
    daemon.terminate();
    networkManager.terminate();
    powerProfiles.terminate();
    networkManager.waitForFinished();
    powerProfiles.waitForFinished();
    return 0;
}
