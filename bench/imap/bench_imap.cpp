// Measures the message server's IMAP backend: N messages (default 10000) in
// the INBOX of a private Dovecot on 127.0.0.1 (TLS, pinned self-signed
// certificate), fetched by one RetrieveMessageLists request with the
// minimum set to N: messages/s and the server's peak resident memory.
// Usage: bench_imap [COUNT]. Everything happens in a temporary folder on
// private buses.

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

#include <cstdio>

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
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:")) {
            return line.mid(6).trimmed().split(' ').value(0).toLong();
        }
    }
    return -1;
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
    const int count = argc > 1 ? QByteArray(argv[1]).toInt() : 10000;
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
    const quint32 id = dovecot.addAccount();
    if (!Dovecot::mirrored(id)) {
        std::fprintf(stderr, "the message server did not take the account in\n");
        return 1;
    }
    const QString account = QString::number(id);
    const quint64 list = call("RetrieveFolderList", { account.toULongLong(), qulonglong(0), true });
    waitUntil([&] { return listener.ended.contains(list); }, 60000);
    const qulonglong inbox
        = QMailStore::instance()
              ->queryFolders(QMailFolderKey::parentAccountId(QMailAccountId(account.toULongLong()))
                             & QMailFolderKey::path(QStringLiteral("INBOX")))
              .value(0)
              .toULongLong();

    QElapsedTimer timer;
    timer.start();
    const quint64 fetch
        = call("RetrieveMessageLists",
               { account.toULongLong(), QVariant::fromValue(QList<qulonglong> { inbox }),
                 uint(count), QVariant::fromValue(QMailSortElementList()) });
    if (!waitUntil([&] { return listener.ended.contains(fetch); }, 3600 * 1000)) {
        std::fprintf(stderr, "the fetch did not end\n");
        return 1;
    }
    const double seconds = timer.nsecsElapsed() / 1e9;
    const int stored = QMailStore::instance()->countMessages(
        QMailMessageKey::parentFolderId(QMailFolderId(inbox)));
    std::printf("messageserver over IMAP: error code %d, %d stored, %.2f s, %.0f messages/s, "
                "peak %.1f MB\n",
                listener.ended.value(fetch), stored, seconds, stored / seconds,
                peakKb(server.processId()) / 1024.0);
    // The same request again, nothing changed on the server: what a periodic
    // sync of a quiet folder costs (CONDSTORE ends it at the SELECT).
    timer.restart();
    const quint64 again
        = call("RetrieveMessageLists",
               { account.toULongLong(), QVariant::fromValue(QList<qulonglong> { inbox }),
                 uint(count), QVariant::fromValue(QMailSortElementList()) });
    waitUntil([&] { return listener.ended.contains(again); }, 600 * 1000);
    std::printf("the same request again, nothing changed: error code %d, %.3f s\n",
                listener.ended.value(again), timer.nsecsElapsed() / 1e9);
    server.terminate();
    server.waitForFinished();
    return 0;
}

#include "bench_imap.moc"
