// Idle cost of the sync scheduler: the real daemon with ten scheduled accounts
// (every 60 minutes, already synchronised), the real message server, and
// NetworkManager and power profiles played by dbusmock on a private system
// bus. Once the start-up syncs have ended and the daemon has been quiet for
// five seconds, the bench lets 45 more seconds pass (the mirror's database
// gives its caches back 30 seconds after its last statement), then counts the
// daemon's wake-ups (context switches, by thread) over a span and reads its
// resident memory. Nothing is due in the span: every wake-up counted is one
// that no armed timer of the daemon asked for.
//
//   bench_scheduler_idle [SECONDS]        (default 120)
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
#include <QMap>
#include <QProcess>

#include <cstdio>

namespace {

const int AccountCount = 10;

// Voluntary plus involuntary context switches of each thread of the process,
// by "thread id name".
QMap<QString, long long> contextSwitches(qint64 pid)
{
    QMap<QString, long long> threads;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile status(tasks.filePath(task + QStringLiteral("/status")));
        if (!status.open(QIODevice::ReadOnly)) {
            continue;
        }
        QString name = task;
        long long count = 0;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("Name:")) {
                name = task + QLatin1Char(' ') + QString::fromUtf8(line.mid(5).trimmed());
            } else if (line.contains("ctxt_switches:")) {
                count += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
            }
        }
        threads.insert(name, count);
    }
    return threads;
}

// Runs the event loop for a while: the daemon's output is read meanwhile.
void pause(int seconds)
{
    waitUntil([] { return false; }, seconds * 1000);
}

long long total(const QMap<QString, long long> &threads)
{
    long long sum = 0;
    for (long long count : threads) {
        sum += count;
    }
    return sum;
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
    const int seconds = argc > 1 ? QByteArray(argv[1]).toInt() : 120;
    if (seconds <= 0) {
        std::fprintf(stderr, "Usage: bench_scheduler_idle [SECONDS]\n");
        return 2;
    }

    TestEnvironment env;
    if (!AccountsFixture::setUpWithBuses(env)) {
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
    // The mirror's start-up work ends after the syncs: wait for a quiet spell,
    // then for the release of the database's caches that follows it.
    long long last = -1;
    for (int quiet = 0, waited = 0; quiet < 5 && waited < 120; ++waited) {
        const long long now = total(contextSwitches(daemon.pid()));
        quiet = now == last ? quiet + 1 : 0;
        last = now;
        pause(1);
    }
    pause(45);
    const QMap<QString, long long> before = contextSwitches(daemon.pid());
    pause(seconds);
    const QMap<QString, long long> after = contextSwitches(daemon.pid());
    const long long wakeUps = total(after) - total(before);
    std::printf("accounts scheduled: %d (every 60 minutes), span %d s\n", AccountCount, seconds);
    std::printf("wake-ups: %lld (%.1f per minute)\n", wakeUps, double(wakeUps) * 60.0 / seconds);
    for (auto it = after.begin(); it != after.end(); ++it) {
        std::printf("  thread %s: %lld\n", qPrintable(it.key()),
                    it.value() - before.value(it.key()));
    }
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
