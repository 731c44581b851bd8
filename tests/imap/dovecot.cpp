#include "dovecot.h"

#include "accountsfixture.h"
#include "testenvironment.h"
#include "waituntil.h"

#include <qmailaccount.h>

#include <QDir>
#include <QFile>
#include <QSslCertificate>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtDebug>

#include <csignal>
#include <memory>
#include <unistd.h>
#include <vector>

QList<quint16> freePorts(int count)
{
    // All held at once: a port let go may be the next one handed out.
    std::vector<std::unique_ptr<QTcpServer>> probes;
    QList<quint16> ports;
    while (ports.size() < count) {
        probes.push_back(std::make_unique<QTcpServer>());
        probes.back()->listen(QHostAddress::LocalHost);
        ports.append(probes.back()->serverPort());
    }
    return ports;
}

QString run(const QString &program, const QStringList &arguments, const QByteArray &input)
{
    QProcess process;
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(20000) || process.exitCode() != 0) {
        qWarning() << program << arguments << "failed:" << process.readAllStandardError();
        return QString();
    }
    const QString output = QString::fromUtf8(process.readAllStandardOutput());
    return output.isNull() ? QStringLiteral("") : output; // null only for a failure
}

bool Dovecot::start(const QString &dir)
{
    mDir = dir;
    mConfig = dir + QStringLiteral("/dovecot.conf");
    QDir().mkpath(dir + QStringLiteral("/home"));
    if (run(QStringLiteral("openssl"),
            { "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
              "/CN=127.0.0.1", "-keyout", dir + "/key.pem", "-out", dir + "/cert.pem" })
            .isNull()) {
        return false;
    }
    fingerprint = QString::fromLatin1(QSslCertificate::fromPath(dir + "/cert.pem")
                                          .value(0)
                                          .digest(QCryptographicHash::Sha256)
                                          .toHex());
    const QList<quint16> ports = freePorts(4);
    imaps = ports.at(0);
    imap = ports.at(1);
    submission = ports.at(2);
    relay = ports.at(3);
    // As root Dovecot serves mail as its own user, never as root.
    const bool root = ::geteuid() == 0;
    const QString user = root ? QStringLiteral("uid=dovecot gid=dovecot")
                              : QStringLiteral("uid=%1 gid=%2").arg(::geteuid()).arg(::getegid());
    if (root && run("chown", { "-R", "dovecot:dovecot", dir + "/home" }).isNull()) {
        return false;
    }
    QFile passwd(dir + "/passwd");
    QFile config(mConfig);
    if (!passwd.open(QIODevice::WriteOnly) || !config.open(QIODevice::WriteOnly)) {
        return false;
    }
    passwd.write("ann:{PLAIN}secret\ncarl:{PLAIN}secret\n");
    config.write(
        QStringLiteral("base_dir = %1/run\nstate_dir = %1/state\nlog_path = %1/log\n"
                       "listen = 127.0.0.1, 127.0.0.2\nprotocols = imap submission\n%2"
                       "first_valid_uid = 1\nfirst_valid_gid = 1\nssl = yes\n"
                       "ssl_cert = <%1/cert.pem\nssl_key = <%1/key.pem\n"
                       "disable_plaintext_auth = no\nauth_mechanisms = plain login\n"
                       "passdb {\n driver = passwd-file\n args = %1/passwd\n}\n"
                       "userdb {\n driver = static\n args = %3 home=%1/home/%u "
                       "mail=maildir:%1/home/%u/Maildir\n}\n"
                       "namespace inbox {\n inbox = yes\n separator = /\n"
                       " mailbox Sent {\n  special_use = \\Sent\n  auto = create\n }\n"
                       " mailbox Trash {\n  special_use = \\Trash\n  auto = create\n }\n"
                       " mailbox Drafts {\n  special_use = \\Drafts\n  auto = create\n }\n}\n"
                       "service imap-login {\n inet_listener imap {\n  port = %4\n }\n"
                       " inet_listener imaps {\n  port = %5\n  ssl = yes\n }\n}\n"
                       "service submission-login {\n inet_listener submission {\n  port = %6\n"
                       " }\n}\nsubmission_relay_host = 127.0.0.1\nsubmission_relay_port = %7\n"
                       "service anvil {\n chroot =\n}\n"
                       "service stats {\n unix_listener stats-writer {\n  mode = 0666\n }\n}\n"
                       "local 127.0.0.2 {\n protocol imap {\n  imap_capability = IMAP4rev1 "
                       "LITERAL+ ID ENABLE IDLE UIDPLUS CONDSTORE NAMESPACE SPECIAL-USE\n }\n}\n")
            .arg(dir,
                 root ? QStringLiteral("default_login_user = dovenull\n"
                                       "default_internal_user = dovecot\n")
                      : QString(),
                 user)
            .arg(imap)
            .arg(imaps)
            .arg(submission)
            .arg(relay)
            .toUtf8());
    config.close();
    if (!resume()) {
        return false;
    }
    mRelay.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    mRelay.start(
        QStringLiteral("/usr/bin/python3"),
        { TestEnvironment::sourcePath("tests/imap/relay.py"), mConfig, QString::number(relay) });
    return mRelay.waitForReadyRead(20000);
}

bool Dovecot::resume()
{
    return !run(QStringLiteral("dovecot"), { "-c", mConfig }).isNull() && waitUntil([this] {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, imaps);
        return socket.waitForConnected(200);
    });
}

// The live processes of the session that `leader` started.
static QList<pid_t> sessionOf(pid_t leader)
{
    QList<pid_t> members;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (entry.toInt() <= 0 || !stat.open(QIODevice::ReadOnly)) {
            continue;
        }
        // After the command in parentheses: state, parent, group, session.
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 3 && fields.at(0) != "Z" && fields.at(3).toInt() == leader) {
            members.append(pid_t(entry.toInt()));
        }
    }
    return members;
}

void Dovecot::stop()
{
    mRelay.kill();
    mRelay.waitForFinished();
    QFile pid(mDir + QStringLiteral("/run/master.pid"));
    if (!pid.open(QIODevice::ReadOnly)) {
        return;
    }
    const pid_t master = pid_t(pid.readAll().trimmed().toInt());
    pid.close();
    ::kill(master, SIGTERM);
    waitUntil([&] { return !pid.exists(); });
    // The master leaves without waiting for the processes that serve open
    // connections (a login process relaying TLS, the imap process behind
    // it): they may serve on for many seconds. A server that goes away
    // takes its connections with it.
    for (pid_t member : sessionOf(master)) {
        ::kill(member, SIGTERM);
    }
    waitUntil([&] { return sessionOf(master).isEmpty(); });
}

quint32 Dovecot::addAccount(const QStringList &settings) const
{
    const quint32 id = AccountsFixture::createAccount(QStringLiteral("imap-mail"));
    const QString account = QString::number(id);
    AccountsFixture::agTool({ "update-account", account, "string:emailaddress=ann@example.org" });
    // ag-tool takes one setting at a time.
    const QStringList all = QStringList { "string:imap/host=127.0.0.1",
                                          "int:imap/port=" + QString::number(imaps),
                                          "string:certificateSha256=" + fingerprint,
                                          "string:imap/username=ann",
                                          "string:smtp/host=127.0.0.1",
                                          "int:smtp/port=" + QString::number(submission) }
        + settings;
    QString password = QStringLiteral("secret");
    for (const QString &setting : all) {
        if (setting.startsWith(QLatin1String("string:password="))) {
            password = setting.section(QLatin1Char('='), 1);
        } else if (AccountsFixture::agTool({ "update-service", account, "imap-email", setting })
                       .isNull()) {
            return 0;
        }
    }
    if (!password.isEmpty() && !setPassword(id, password)) {
        return 0;
    }
    return AccountsFixture::agTool({ "enable-service", account, "imap-email" }).isNull() ? 0 : id;
}

bool Dovecot::mirrored(quint32 account)
{
    return account != 0 && waitUntil([account] {
               return QMailAccount(QMailAccountId(account)).status() & QMailAccount::Enabled;
           });
}

bool Dovecot::setPassword(quint32 account, const QString &password)
{
    return !run(TestEnvironment::binary(QStringLiteral("postvane-password")),
                { QString::number(account) }, password.toUtf8() + '\n')
                .isNull();
}
