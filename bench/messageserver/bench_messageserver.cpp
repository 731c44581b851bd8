// Measures the message server on a Maildir of N messages (default 10000):
//  - one RetrieveMessageLists request that imports them all: messages/s and
//    the server's peak resident memory (VmHWM);
//  - the daemon beside it, mirroring every new message into Tracker and
//    notifying: its peak resident memory once Tracker holds them all;
//  - one message of 200 MB: the server's peak memory while it imports it
//    (goal: under 100 MB), and how long it takes to end on SIGTERM while it
//    imports another (goal: under 2 s);
//  - `notmuch new` indexing the same Maildir, the tool a Maildir user would
//    otherwise pick: messages/s and peak memory;
//  - the time from the request until the last message is searchable in
//    Tracker, against `notmuch new` (goal: notmuch's time / ours >= 1.2);
//  - responsiveness for other programs meanwhile: a probe process sleeps to
//    deadlines 10 ms apart from the request until Tracker holds everything;
//    the 99th-percentile and worst lateness of its wakes, and those of the
//    probe alone before the import for comparison. (The probe that ran
//    `qmfctl list accounts` every 100 ms spent 30-40 ms of CPU a run, mostly
//    on dynamic linking: it took much of the CPU whose lack it measured.)
// Usage: bench_messageserver [COUNT]
// Everything happens in a temporary folder on private buses.

// GLib headers use "signals" as a name: they come before any Qt header.
#include <libtracker-sparql/tracker-sparql.h>

#include "../procstatus.h"
#include "accountsfixture.h"
#include "settingswriter.h"
#include "testenvironment.h"
#include "waituntil.h"

#include <qmailwiretypes.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

const QString Service = QStringLiteral("com.brenmor.qmf.MessageServer");
const QString Path = QStringLiteral("/com/brenmor/qmf/MessageServer");

// Two thirds plain text, one third with a base64 attachment.
QByteArray makeMessage(QRandomGenerator &random, int index)
{
    const QByteArray date
        = QDateTime::currentDateTimeUtc().addSecs(-60 * index).toString(Qt::RFC2822Date).toLatin1();
    QByteArray head = "From: Sender " + QByteArray::number(index % 97) + " <s"
        + QByteArray::number(index % 97) + "@example.org>\nTo: me@example.org\nSubject: message "
        + QByteArray::number(index) + "\nDate: " + date + "\nMessage-ID: <"
        + QByteArray::number(index) + "@bench>\nMIME-Version: 1.0\n";
    QByteArray body;
    while (body.size() < 500 + int(random.bounded(3000))) {
        body += "a line of the message body with some words in it\n";
    }
    if (index % 3 != 0) {
        return head + "Content-Type: text/plain; charset=us-ascii\n\n" + body;
    }
    QByteArray data(5000 + random.bounded(20000), Qt::Uninitialized);
    for (char &c : data) {
        c = char(random.bounded(256));
    }
    QByteArray encoded = data.toBase64();
    QByteArray lines;
    for (int i = 0; i < encoded.size(); i += 76) {
        lines += encoded.mid(i, 76) + '\n';
    }
    return head
        + "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\n"
        + body + "--b\nContent-Type: application/pdf; name=\"a.pdf\"\n"
        + "Content-Disposition: attachment; filename=\"a.pdf\"\n"
        + "Content-Transfer-Encoding: base64\n\n" + lines + "--b--\n";
}

long peakKb(qint64 pid)
{
    return statusKb(pid, "VmHWM");
}

// Runs a program to its end; its wall time and peak memory.
bool runMeasured(const QStringList &args, double *seconds, long *maxRssKb)
{
    QElapsedTimer timer;
    timer.start();
    std::fflush(stdout); // the child must not print what this process still holds
    const pid_t pid = fork();
    if (pid == 0) {
        std::freopen("/dev/null", "w", stdout);
        std::vector<QByteArray> storage;
        std::vector<char *> argv;
        for (const QString &arg : args) {
            storage.push_back(QFile::encodeName(arg));
        }
        for (QByteArray &arg : storage) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage = {};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) {
        return false;
    }
    *seconds = timer.nsecsElapsed() / 1e9;
    *maxRssKb = usage.ru_maxrss;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class Listener : public QObject
{
    Q_OBJECT
public:
    QHash<quint64, int> ended; // action -> error code
    QHash<quint64, int> codes;
public Q_SLOTS:
    void onActivity(qulonglong id, int activity)
    {
        if (activity >= 2) {
            ended.insert(id, codes.value(id));
        }
    }
    void onStatus(qulonglong id, int code, const QString &, qulonglong, qulonglong, qulonglong)
    {
        codes.insert(id, code);
    }
};

quint64 call(const QString &method, const QList<QVariant> &arguments)
{
    QDBusMessage message = QDBusMessage::createMethodCall(Service, Path, Service, method);
    message.setArguments(arguments);
    const QDBusMessage reply = QDBusConnection::sessionBus().call(message);
    return reply.arguments().value(0).toULongLong();
}

// A message of about `size` bytes, most of it one base64 attachment.
bool writeLargeMessage(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)
        || file.write("From: big@example.org\nTo: me@example.org\nSubject: large\n"
                      "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"b\"\n\n"
                      "--b\nContent-Type: text/plain\n\nlarge\n--b\n"
                      "Content-Type: application/octet-stream\n"
                      "Content-Disposition: attachment; filename=\"large.bin\"\n"
                      "Content-Transfer-Encoding: base64\n\n")
            < 0) {
        return false;
    }
    const QByteArray chunk = (QByteArray(76, 'A') + '\n').repeated(1 << 14);
    while (file.size() < size) {
        if (file.write(chunk) != chunk.size()) {
            return false;
        }
    }
    return file.write("--b--\n") > 0;
}

// A second process that sleeps to absolute deadlines 10 ms apart and writes
// how late each wake came (ns, one qint64 per wake) to the file `out`, until
// it is killed. A deadline already past on waking is skipped, so that one
// long delay counts once. The child calls only what is safe after fork() in
// a process with threads.
pid_t startProbe(const QString &out)
{
    const int log = ::open(QFile::encodeName(out).constData(),
                           O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (log < 0) {
        return -1;
    }
    const pid_t pid = fork();
    if (pid != 0) {
        ::close(log);
        return pid;
    }
    const qint64 period = 10 * 1000 * 1000;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    qint64 deadline = now.tv_sec * 1000000000LL + now.tv_nsec;
    for (;;) {
        deadline += period;
        const struct timespec until
            = { time_t(deadline / 1000000000), long(deadline % 1000000000) };
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) { }
        clock_gettime(CLOCK_MONOTONIC, &now);
        const qint64 woke = now.tv_sec * 1000000000LL + now.tv_nsec;
        const qint64 late = woke - deadline;
        if (::write(log, &late, sizeof late) != sizeof late) {
            _exit(1);
        }
        deadline += (late / period) * period;
    }
}

// Stops the probe; the 99th percentile and the worst of its lateness.
QString stopProbe(pid_t pid, const QString &out)
{
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    QFile file(out);
    const QByteArray data = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    QVector<double> ms;
    for (int at = 0; at + int(sizeof(qint64)) <= data.size(); at += sizeof(qint64)) {
        qint64 late = 0;
        std::memcpy(&late, data.constData() + at, sizeof late);
        ms.append(late / 1e6);
    }
    if (ms.isEmpty()) {
        return QStringLiteral("no probe ran");
    }
    std::sort(ms.begin(), ms.end());
    return QStringLiteral("%1 wakes, p99 lateness %2 ms, worst %3 ms")
        .arg(ms.size())
        .arg(ms.at(qMin(ms.size() - 1, int(ms.size() * 0.99))), 0, 'f', 1)
        .arg(ms.last(), 0, 'f', 1);
}

// How many e-mails the daemon's Tracker endpoint holds, over one connection
// of this process: a `tracker3 sparql` process per look took a fifth of a
// core from what is measured. The connection is opened on the first look
// that finds the endpoint; the bus connection is our own so that closing it
// leaves the rest of the process alone.
class TrackerCount
{
public:
    ~TrackerCount()
    {
        if (m_tracker) {
            tracker_sparql_connection_close(m_tracker);
            g_object_unref(m_tracker);
        }
        if (m_bus) {
            g_dbus_connection_close_sync(m_bus, nullptr, nullptr);
            g_object_unref(m_bus);
        }
    }

    // -1 while the endpoint cannot be reached or the query fails.
    qint64 emails()
    {
        GError *error = nullptr;
        if (!m_bus) {
            gchar *address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
            if (address) {
                m_bus = g_dbus_connection_new_for_address_sync(
                    address,
                    GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT
                                         | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                    nullptr, nullptr, &error);
                g_free(address);
            }
        }
        if (m_bus && !m_tracker) {
            m_tracker = tracker_sparql_connection_bus_new("com.brenmor.Postvane.Tracker", nullptr,
                                                          m_bus, &error);
        }
        TrackerSparqlCursor *cursor = m_tracker
            ? tracker_sparql_connection_query(
                m_tracker, "SELECT COUNT(?m) WHERE { ?m a nmo:Email }", nullptr, &error)
            : nullptr;
        qint64 count = -1;
        if (cursor) {
            if (tracker_sparql_cursor_next(cursor, nullptr, &error)) {
                count = tracker_sparql_cursor_get_integer(cursor, 0);
            }
            tracker_sparql_cursor_close(cursor);
            g_object_unref(cursor);
        }
        if (error) {
            lastError = QString::fromUtf8(error->message);
            g_error_free(error);
        }
        return count;
    }

    QString lastError;

private:
    GDBusConnection *m_bus = nullptr;
    TrackerSparqlConnection *m_tracker = nullptr;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? QByteArray(argv[1]).toInt() : 10000;
    // The request's argument types, as a client of the server sends them.
    qDBusRegisterMetaType<QMailSortElement>();
    qDBusRegisterMetaType<QMailSortElementList>();
    qDBusRegisterMetaType<QList<qulonglong>>();
    if (qgetenv("POSTVANE_BIN_DIR").isEmpty()) {
        qputenv("POSTVANE_BIN_DIR", POSTVANE_BIN_DIR);
    }
    if (qgetenv("POSTVANE_SOURCE_DIR").isEmpty()) {
        qputenv("POSTVANE_SOURCE_DIR", POSTVANE_SOURCE_DIR);
    }
    TestEnvironment env;
    if (!env.isValid() || !env.startSessionBus() || !AccountsFixture::setUp(env)) {
        std::fprintf(stderr, "cannot set up the environment\n");
        return 1;
    }

    const QString maildir = env.path(QStringLiteral("mail"));
    for (const char *sub : { "/cur", "/new", "/tmp" }) {
        QDir().mkpath(maildir + QLatin1String(sub));
    }
    QRandomGenerator random(42);
    qint64 bytes = 0;
    for (int i = 0; i < count; ++i) {
        QFile file(maildir + QStringLiteral("/cur/%1.bench:2,%2").arg(i).arg(i % 2 ? "S" : ""));
        const QByteArray text = makeMessage(random, i);
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size()) {
            return 1;
        }
        bytes += text.size();
    }
    std::printf("Maildir: %d messages, %.1f MB\n", count, bytes / 1e6);

    const quint32 account = AccountsFixture::createAccount(QStringLiteral("local-mail"));
    AccountsFixture::agTool({ QStringLiteral("update-service"), QString::number(account),
                              QStringLiteral("local-email"),
                              QStringLiteral("string:maildir=") + maildir });
    // Synchronised before and scheduled never: only the bench asks for mail.
    AccountsFixture::agTool({ QStringLiteral("update-service"), QString::number(account),
                              QStringLiteral("local-email"),
                              QStringLiteral("int:lastSynchronized=1") });
    AccountsFixture::agTool({ QStringLiteral("enable-service"), QString::number(account),
                              QStringLiteral("local-email") });
    writeSettings(
        env.settingsFile(),
        { { "Syslog/Enabled", 0 }, { "FileLog/Enabled", 0 }, { "StdStreamLog/Enabled", 0 } });
    qputenv("MAIL_BOOT_NO_WAIT", "1");
    QProcess notifications, daemon;
    notifications.start(TestEnvironment::binary(QStringLiteral("standin-notificationserver")),
                        QStringList());
    daemon.start(TestEnvironment::binary(QStringLiteral("postvane")), QStringList());

    Listener listener;
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.connect(QString(), Path, Service, QStringLiteral("ActivityChanged"), &listener,
                SLOT(onActivity(qulonglong, int)));
    bus.connect(QString(), Path, Service, QStringLiteral("StatusChanged"), &listener,
                SLOT(onStatus(qulonglong, int, QString, qulonglong, qulonglong, qulonglong)));
    QProcess server;
    server.setProcessChannelMode(QProcess::ForwardedChannels);
    server.start(TestEnvironment::binary(QStringLiteral("messageserver")), QStringList());
    if (!waitUntil([] {
            return QDBusConnection::sessionBus().interface()->isServiceRegistered(Service).value();
        })) {
        std::fprintf(stderr, "the message server did not start\n");
        return 1;
    }
    const quint64 list
        = call(QStringLiteral("RetrieveFolderList"), { qulonglong(account), qulonglong(0), true });
    waitUntil([&] { return listener.ended.contains(list); });

    // The probe alone first, for comparison.
    const QString probeLog = env.path(QStringLiteral("probe"));
    pid_t probe = startProbe(probeLog);
    QThread::sleep(3);
    std::printf("probe alone: %s\n", qPrintable(stopProbe(probe, probeLog)));
    probe = startProbe(probeLog);

    // The inbox is the only folder; 0 folders means every folder of the account.
    QElapsedTimer timer;
    timer.start();
    const quint64 import = call(QStringLiteral("RetrieveMessageLists"),
                                { qulonglong(account), QVariant::fromValue(QList<qulonglong>()),
                                  20u, QVariant::fromValue(QMailSortElementList()) });
    if (!waitUntil([&] { return listener.ended.contains(import); }, 3600 * 1000)) {
        std::fprintf(stderr, "the import did not end\n");
        return 1;
    }
    const double seconds = timer.nsecsElapsed() / 1e9;
    const long serverPeak = peakKb(server.processId());
    std::printf("messageserver: error code %d, %.2f s, %.0f messages/s, peak %.1f MB\n",
                listener.ended.value(import), seconds, count / seconds, serverPeak / 1024.0);
    // The daemon is done when Tracker holds every message.
    QElapsedTimer mirrorTimer;
    mirrorTimer.start();
    TrackerCount tracker;
    qint64 held = -1;
    const bool mirrored = waitUntil(
        [&] {
            held = tracker.emails();
            if (held == count) {
                return true;
            }
            QThread::msleep(50);
            return false;
        },
        3600 * 1000);
    const double searchable = timer.nsecsElapsed() / 1e9;
    std::printf("postvane: %s %.1f s after the import, peak %.1f MB\n",
                mirrored ? "all mirrored" : "NOT all mirrored", mirrorTimer.nsecsElapsed() / 1e9,
                peakKb(daemon.processId()) / 1024.0);
    if (!mirrored) {
        std::fprintf(
            stderr, "Tracker held %lld e-mails of %d%s%s\n", held, count,
            tracker.lastError.isEmpty() ? "" : ", last error: ", qPrintable(tracker.lastError));
    }
    std::printf("searchable in Tracker: %.2f s after the request\n", searchable);
    std::printf("probe during import and mirroring: %s\n", qPrintable(stopProbe(probe, probeLog)));
    daemon.terminate();
    daemon.waitForFinished();
    notifications.terminate();
    notifications.waitForFinished();

    // The large message: the peak counts from here (VmHWM is reset).
    const qint64 largeSize = 200 * 1000 * 1000;
    const auto importAll = [&] {
        return call(QStringLiteral("RetrieveMessageLists"),
                    { qulonglong(account), QVariant::fromValue(QList<qulonglong>()), 20u,
                      QVariant::fromValue(QMailSortElementList()) });
    };
    if (!writeLargeMessage(maildir + QStringLiteral("/cur/large-1:2,"), largeSize)) {
        return 1;
    }
    QFile clearRefs(QStringLiteral("/proc/%1/clear_refs").arg(server.processId()));
    const bool reset = clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1;
    clearRefs.close();
    timer.restart();
    const quint64 large = importAll();
    waitUntil([&] { return listener.ended.contains(large); }, 3600 * 1000);
    std::printf("messageserver, one 200 MB message: error code %d, %.2f s, peak %.1f MB%s\n",
                listener.ended.value(large), timer.nsecsElapsed() / 1e9,
                peakKb(server.processId()) / 1024.0,
                reset ? "" : " (since its start: the peak could not be reset)");
    // SIGTERM once the copy of a second one into the store has begun.
    if (!writeLargeMessage(maildir + QStringLiteral("/cur/large-2:2,"), largeSize)) {
        return 1;
    }
    const QDir staging(
        env.path(QStringLiteral("home/.qmf/mail/.staging/%1")).arg(server.processId()));
    importAll();
    const bool copying = waitUntil(
        [&] {
            for (const QFileInfo &file : staging.entryInfoList(QDir::Files)) {
                if (file.size() > 0) {
                    return true;
                }
            }
            return false;
        },
        60000);
    QElapsedTimer stopping;
    stopping.start();
    ::kill(pid_t(server.processId()), SIGTERM);
    const bool ended = server.waitForFinished(60000);
    std::printf("messageserver, SIGTERM while it imports a 200 MB message: %s after %.2f s%s\n",
                ended ? "ended" : "NOT ended", stopping.nsecsElapsed() / 1e9,
                copying ? "" : " (the import was not seen copying)");

    const QString config = env.path(QStringLiteral("notmuch-config"));
    QFile file(config);
    file.open(QIODevice::WriteOnly);
    file.write("[database]\npath=" + QFile::encodeName(env.path(QStringLiteral("notmuch")))
               + "\nmail_root=" + QFile::encodeName(maildir) + "\n[new]\ntags=unread;inbox\n");
    file.close();
    QDir().mkpath(env.path(QStringLiteral("notmuch")));
    double notmuchSeconds = 0;
    long notmuchPeak = 0;
    if (runMeasured({ QStringLiteral("notmuch"), QStringLiteral("--config=") + config,
                      QStringLiteral("new") },
                    &notmuchSeconds, &notmuchPeak)) {
        std::printf("notmuch new: %.2f s, %.0f messages/s, peak %.1f MB\n", notmuchSeconds,
                    count / notmuchSeconds, notmuchPeak / 1024.0);
        std::printf("ratio notmuch / ours: import alone %.2fx, searchable in Tracker %.2fx\n",
                    notmuchSeconds / seconds, notmuchSeconds / searchable);
    } else {
        std::printf("notmuch new: not run (is notmuch installed?)\n");
    }
    return 0;
}

#include "bench_messageserver.moc"
