// Measures the message server's IMAP backend against mbsync (isync) on the
// same private Dovecot on 127.0.0.1 (TLS, pinned self-signed certificate),
// N messages (default 10000) in its INBOX: in each of three interleaved
// rounds, the first sync of a new account (one RetrieveMessageLists request)
// and of a new mbsync Maildir, then the same again with nothing changed.
// Prints each round, the medians, the ratios and the message server's peak
// resident memory, with its private (anonymous) part: most of the rest is
// the shared libraries' pages. Usage: bench_imap [COUNT] [--no-mbsync]; the
// option leaves mbsync out, for quick trials. Everything happens in a
// temporary folder on private buses.

#include "../procstatus.h"
#include "accountsfixture.h"
#include "dovecot.h"
#include "testenvironment.h"
#include "waituntil.h"

#include <qmailstore.h>
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
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace {

const QString Service = QStringLiteral("com.brenmor.qmf.MessageServer");
const QString Path = QStringLiteral("/com/brenmor/qmf/MessageServer");

// Two thirds plain text, one third with a base64 attachment, as in bench_messageserver.
QByteArray makeMessage(QRandomGenerator &random, int index)
{
    const QByteArray date
        = QDateTime::currentDateTimeUtc().addSecs(-60 * index).toString(Qt::RFC2822Date).toLatin1();
    QByteArray head = "From: Sender <s" + QByteArray::number(index % 97)
        + "@example.org>\nTo: ann@example.org\nSubject: message " + QByteArray::number(index)
        + "\nDate: " + date + "\nMessage-ID: <" + QByteArray::number(index)
        + "@bench>\nMIME-Version: 1.0\n";
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
    const QByteArray encoded = data.toBase64();
    QByteArray lines;
    for (int i = 0; i < encoded.size(); i += 76) {
        lines += encoded.mid(i, 76) + '\n';
    }
    return head
        + "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\n"
        + body + "--b\nContent-Type: application/pdf; name=\"a.pdf\"\n"
        + "Content-Transfer-Encoding: base64\n\n" + lines + "--b--\n";
}

long peakKb(qint64 pid)
{
    return statusKb(pid, "VmHWM");
}

class Listener : public QObject
{
    Q_OBJECT
public:
    QHash<quint64, int> ended;
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

// Seconds that mbsync took to sync the INBOX into `near` (a Maildir), -1 on failure.
double mbsync(const QString &config)
{
    QElapsedTimer timer;
    timer.start();
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral("mbsync"),
                  { QStringLiteral("-q"), QStringLiteral("-c"), config, QStringLiteral("-a") });
    if (!process.waitForFinished(3600 * 1000) || process.exitCode() != 0) {
        return -1;
    }
    return timer.nsecsElapsed() / 1e9;
}

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(values.size() / 2);
}

quint64 call(const QString &method, const QList<QVariant> &arguments)
{
    QDBusMessage message = QDBusMessage::createMethodCall(Service, Path, Service, method);
    message.setArguments(arguments);
    return QDBusConnection::sessionBus().call(message).arguments().value(0).toULongLong();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    const bool withMbsync = !arguments.contains(QStringLiteral("--no-mbsync"));
    int count = 10000;
    for (const QString &argument : arguments) {
        if (!argument.startsWith(QLatin1String("--"))) {
            count = argument.toInt();
        }
    }
    if (qgetenv("POSTVANE_BIN_DIR").isEmpty()) {
        qputenv("POSTVANE_BIN_DIR", POSTVANE_BIN_DIR);
    }
    if (qgetenv("POSTVANE_SOURCE_DIR").isEmpty()) {
        qputenv("POSTVANE_SOURCE_DIR", POSTVANE_SOURCE_DIR);
    }
    qDBusRegisterMetaType<QMailSortElementList>();
    qDBusRegisterMetaType<QList<qulonglong>>();
    TestEnvironment env;
    QFile::setPermissions(env.root(),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeGroup
                              | QFile::ExeOther);
    // The mail is in place before Dovecot starts, which gives it to its own user.
    const QString maildir = env.path(QStringLiteral("dovecot/home/ann/Maildir"));
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
    std::printf("Dovecot INBOX: %d messages, %.1f MB\n", count, bytes / 1e6);
    std::fflush(stdout);
    Dovecot dovecot;
    if (!env.startSessionBus() || !AccountsFixture::setUp(env)
        || !dovecot.start(env.path(QStringLiteral("dovecot")))) {
        std::fprintf(stderr, "cannot set up the environment\n");
        return 1;
    }
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
    if (QProcess::execute(QStringLiteral("mbsync"), { QStringLiteral("--version") }) != 0) {
        std::fprintf(stderr, "mbsync is not installed (Debian package isync)\n");
        return 1;
    }
    // The most private memory seen while a request ran (sampled).
    long peakAnonKb = 0;
    QTimer sampler;
    sampler.setInterval(20);
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        peakAnonKb = qMax(peakAnonKb, statusKb(server.processId(), "RssAnon"));
    });
    // CPU seconds the message server spent on the last request: on a busy
    // machine a steadier measure than the time it took.
    double cpu = 0;
    // One request of the message server, in seconds; -1 on failure.
    auto request = [&](quint64 account, qulonglong folder) {
        cpu = cpuSeconds(server.processId());
        QElapsedTimer timer;
        timer.start();
        sampler.start();
        const quint64 action = call("RetrieveMessageLists",
                                    { account, QVariant::fromValue(QList<qulonglong> { folder }),
                                      uint(count), QVariant::fromValue(QMailSortElementList()) });
        if (!waitUntil([&] { return listener.ended.contains(action); }, 3600 * 1000)
            || listener.ended.value(action) != 0) {
            return -1.0;
        }
        sampler.stop();
        cpu = cpuSeconds(server.processId()) - cpu;
        return timer.nsecsElapsed() / 1e9;
    };
    QVector<double> ours, theirs, oursAgain, theirsAgain;
    // What the libraries alone take, before any mail.
    const double idleMb = peakKb(server.processId()) / 1024.0;
    const double idleAnonMb = statusKb(server.processId(), "RssAnon") / 1024.0;
    for (int round = 1; round <= 3; ++round) {
        // A new account each round: a first sync into the store.
        const quint32 id = dovecot.addAccount();
        if (!Dovecot::mirrored(id)) {
            std::fprintf(stderr, "the message server did not take the account in\n");
            return 1;
        }
        const quint64 list = call("RetrieveFolderList", { qulonglong(id), qulonglong(0), true });
        waitUntil([&] { return listener.ended.contains(list); }, 60000);
        const QMailFolderId inbox
            = QMailStore::instance()
                  ->queryFolders(QMailFolderKey::parentAccountId(QMailAccountId(id))
                                 & QMailFolderKey::path(QStringLiteral("INBOX")))
                  .value(0);
        const double first = request(id, inbox.toULongLong());
        const double firstCpu = cpu;
        const int stored
            = QMailStore::instance()->countMessages(QMailMessageKey::parentFolderId(inbox));
        // Nothing changed on the server: what a periodic sync of a quiet folder costs.
        const double again = request(id, inbox.toULongLong());
        // mbsync into a Maildir of its own, with the same certificate pinned.
        const QString near = env.path(QStringLiteral("mbsync%1").arg(round));
        QDir().mkpath(near);
        const QString config = near + QStringLiteral(".rc");
        QFile rc(config);
        rc.open(QIODevice::WriteOnly);
        rc.write(QStringLiteral("IMAPAccount dovecot\nHost 127.0.0.1\nPort %1\nUser ann\n"
                                "Pass secret\nSSLType IMAPS\nCertificateFile %2\n\n"
                                "IMAPStore far\nAccount dovecot\n\n"
                                "MaildirStore near\nPath %3/\nInbox %3/INBOX\n\n"
                                "Channel inbox\nFar :far:\nNear :near:\nPatterns INBOX\n"
                                "Create Near\nSyncState *\n")
                     .arg(dovecot.imaps)
                     .arg(env.path(QStringLiteral("dovecot/cert.pem")), near)
                     .toUtf8());
        rc.close();
        const double mbsyncFirst = withMbsync ? mbsync(config) : 0;
        const int copied = QDir(near + QStringLiteral("/INBOX/cur")).entryList(QDir::Files).size()
            + QDir(near + QStringLiteral("/INBOX/new")).entryList(QDir::Files).size();
        const double mbsyncAgain = withMbsync ? mbsync(config) : 0;
        std::printf("round %d: messageserver %d stored in %.2f s (CPU %.2f s), again %.3f s; "
                    "mbsync %d copied in %.2f s, again %.3f s; peak %.1f MB, private %.1f MB\n",
                    round, stored, first, firstCpu, again, copied, mbsyncFirst, mbsyncAgain,
                    peakKb(server.processId()) / 1024.0, peakAnonKb / 1024.0);
        std::fflush(stdout);
        if (first < 0 || again < 0 || mbsyncFirst < 0 || mbsyncAgain < 0) {
            std::fprintf(stderr, "a sync failed\n");
            return 1;
        }
        ours.append(first);
        oursAgain.append(again);
        theirs.append(mbsyncFirst);
        theirsAgain.append(mbsyncAgain);
    }
    std::printf("medians: first sync messageserver %.2f s, mbsync %.2f s: %.2fx mbsync's speed "
                "(goal >= 1.5x)\n",
                median(ours), median(theirs), median(theirs) / median(ours));
    std::printf("         unchanged folder messageserver %.3f s, mbsync %.3f s: %.1fx faster "
                "(goal >= 10x)\n",
                median(oursAgain), median(theirsAgain), median(theirsAgain) / median(oursAgain));
    std::printf("         messageserver peak resident memory %.1f MB, %.1f MB before the first "
                "sync (goal <= 30 MB); private at most %.1f MB, %.1f MB before\n",
                peakKb(server.processId()) / 1024.0, idleMb, peakAnonKb / 1024.0, idleAnonMb);
    std::fflush(stdout);
    server.terminate();
    server.waitForFinished();
    return 0;
}

#include "bench_imap.moc"
