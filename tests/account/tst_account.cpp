// postvane-account as a user runs it, beside the real message server and
// daemon on private buses, against a Dovecot of the test's own; the SRV
// answers and the autoconfiguration file come through its test hooks.
#include "accountsfixture.h"
#include "dovecot.h"
#include "maildirfixture.h"
#include "processrunner.h"
#include "settingswriter.h"
#include "testenvironment.h"
#include "waituntil.h"

#include <qmailstore.h>

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QtTest>

class TestAccount : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void cleanup() { mFailed = mFailed || QTest::currentTestFailed(); }
    void addedAccountSynchronises_data();
    void addedAccountSynchronises();
    void commands_data();
    void commands();

private:
    QString expand(QString text) const;
    int tool(QStringList arguments, const QStringList &environment, QString *output);
    int passwords(const QString &account);

    TestEnvironment mEnv;
    Dovecot mDovecot;
    ProcessRunner mServer;
    ProcessRunner mDaemon;
    QProcess mWeb;
    quint16 mWebPort = 0;
    quint16 mClosedPort = 0;
    QHash<QString, QString> mAccounts; // by the row that added it
    bool mFailed = false;
};

void TestAccount::initTestCase()
{
    QVERIFY(AccountsFixture::setUpWithBuses(mEnv, true));
    QVERIFY(mDovecot.start(mEnv.path("dovecot")));
    QVERIFY(!mDovecot.doveadm({ "save", "-u", "ann", "-m", "INBOX" }, MaildirFixture::mail("Hi"))
                 .isNull());
    QVERIFY(MaildirFixture::make(mEnv.path("Maildir")));
    // Sent by "send": without Date and Message-ID, with a blind copy to carl.
    QVERIFY(MaildirFixture::writeFile(mEnv.path("blind.eml"),
                                      "From: Ann <ann@given.test>\nTo: ann@example.org\n"
                                      "Bcc: Carl <carl@example.org>\nSubject: Blind\n\nHi!\n"));
    QVERIFY(MaildirFixture::writeFile(mEnv.path("refused.eml"),
                                      "From: Ann <ann@given.test>\nTo: nobody@example.org\n"
                                      "Subject: Refused\n\nHi!\n"));
    QVERIFY(MaildirFixture::deliver(mEnv.path("Maildir"), "1.local", MaildirFixture::mail("Hi")));

    // Only the second location of the file exists: the first is tried and missed.
    QVERIFY(MaildirFixture::writeFile(
        mEnv.path("www/.well-known/autoconfig/mail/config-v1.1.xml"),
        QStringLiteral("<?xml version=\"1.0\"?>\n<clientConfig version=\"1.1\"><emailProvider "
                       "id=\"auto.test\"><domain>auto.test</domain>"
                       "<incomingServer type=\"pop3\"><hostname>pop.auto.test</hostname>"
                       "<port>995</port><socketType>SSL</socketType></incomingServer>"
                       "<incomingServer type=\"imap\"><hostname>127.0.0.1</hostname><port>%1"
                       "</port><socketType>SSL</socketType><username>%EMAILLOCALPART%</username>"
                       "</incomingServer><outgoingServer type=\"smtp\"><hostname>127.0.0.1"
                       "</hostname><port>%2</port><socketType>STARTTLS</socketType><username>"
                       "%EMAILLOCALPART%</username></outgoingServer></emailProvider>"
                       "</clientConfig>\n")
            .arg(mDovecot.imaps)
            .arg(mDovecot.submission)
            .toUtf8()));
    const QList<quint16> ports = freePorts(2);
    mWebPort = ports.first();
    mClosedPort = ports.last();
    mWeb.start("/usr/bin/python3",
               { "-m", "http.server", "--bind", "127.0.0.1", "--directory", mEnv.path("www"),
                 QString::number(mWebPort) });
    QVERIFY(waitUntil([this] {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, mWebPort);
        return socket.waitForConnected(200);
    }));
    QVERIFY(
        MaildirFixture::writeFile(mEnv.path("srv"),
                                  QStringLiteral("_imap._tcp.srv.test 0 1 143 imap.srv.test.\n"
                                                 "_imaps._tcp.srv.test 10 1 1 elsewhere.test.\n"
                                                 "_imaps._tcp.srv.test 0 5 %1 127.0.0.1.\n"
                                                 "_submission._tcp.srv.test 0 1 %2 127.0.0.1.\n")
                                      .arg(mDovecot.imaps)
                                      .arg(mDovecot.submission)
                                      .toUtf8()));
    qputenv("POSTVANE_SRV_ANSWERS", QFile::encodeName(mEnv.path("srv")));
    qputenv("POSTVANE_AUTOCONFIG_URL", "http://127.0.0.1:" + QByteArray::number(mWebPort));

    QVERIFY(writeSettings(
        mEnv.settingsFile(),
        { { "Syslog/Enabled", 0 }, { "FileLog/Enabled", 0 }, { "StdStreamLog/Enabled", 1 } }));
    QVERIFY(
        writeSettings(mEnv.path("home/.config/Brenmor/MessageServer.conf"),
                      { { "StdStreamLog/Enabled", 1 }, { "Log categories/MessageServer", 1 } }));
    QVERIFY(mServer.start(TestEnvironment::binary("messageserver")));
    QVERIFY(mServer.waitForLine("serving com.brenmor.qmf.MessageServer", 60000));
    qputenv("MAIL_BOOT_NO_WAIT", "1");
    QVERIFY(mDaemon.start(TestEnvironment::binary("postvane")));
    // The scheduler hears of accounts from the end of its start on.
    QVERIFY(mDaemon.waitForLine("is connection allowed:", 60000));
}

void TestAccount::cleanupTestCase()
{
    if (mFailed) {
        qInfo().noquote() << "Daemon:" << mDaemon.lines().join('\n');
        qInfo().noquote() << "Message server:" << mServer.lines().join('\n');
    }
    mWeb.kill();
    mWeb.waitForFinished();
    QVERIFY(mDaemon.terminate());
    QVERIFY(mServer.terminate());
}

// "%NAME" of a row: an account it added, or a port of the test's servers.
QString TestAccount::expand(QString text) const
{
    for (auto it = mAccounts.begin(); it != mAccounts.end(); ++it) {
        text.replace("%" + it.key(), it.value());
    }
    return text.replace("%imaps", QString::number(mDovecot.imaps))
        .replace("%submission", QString::number(mDovecot.submission))
        .replace("%fingerprint", mDovecot.fingerprint)
        .replace("%folder", mEnv.path("Maildir"))
        .replace("%mail", mEnv.path("blind.eml"))
        .replace("%refused", mEnv.path("refused.eml"))
        .replace("%closed", QString::number(mClosedPort));
}

// Runs postvane-account (or the program the arguments begin with, when it is
// postvane-password) with the password "secret" on standard input, or the
// environment's "stdin" instead; its exit code, and its standard output and
// error as lines.
int TestAccount::tool(QStringList arguments, const QStringList &environment, QString *output)
{
    QProcess process;
    QProcessEnvironment variables = QProcessEnvironment::systemEnvironment();
    for (const QString &variable : environment) {
        variables.insert(variable.section('=', 0, 0), expand(variable.section('=', 1)));
    }
    process.setProcessEnvironment(variables);
    const QString program
        = arguments.first() == "postvane-password" ? arguments.takeFirst() : "postvane-account";
    process.start(TestEnvironment::binary(program), expand(arguments.join('\n')).split('\n'));
    process.write(variables.value("stdin", "secret").toUtf8() + "\n");
    process.closeWriteChannel();
    finishWhileServing(process);
    *output = QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

// The passwords the credentials service keeps for the account.
int TestAccount::passwords(const QString &account)
{
    if (!QSqlDatabase::contains("signon")) {
        QSqlDatabase::addDatabase("QSQLITE", "signon")
            .setDatabaseName(mEnv.path("home/.config/signond/signon.db"));
    }
    QSqlDatabase db = QSqlDatabase::database("signon");
    QSqlQuery query(db);
    const bool read = db.open()
        && query.exec("SELECT count(*) FROM CREDENTIALS WHERE caption = 'E-mail account " + account
                      + "'")
        && query.next();
    return read ? query.value(0).toInt() : -1;
}

void TestAccount::addedAccountSynchronises_data()
{
    QTest::addColumn<QStringList>("arguments");
    const QStringList trusted { "--user", "ann", "certificateSha256=%fingerprint" };
    QTest::newRow("given") << QStringList {
        "add", "ann@given.test", "--imap", "127.0.0.1:%imaps", "--smtp", "127.0.0.1:%submission"
    } + trusted;
    QTest::newRow("srv") << QStringList { "add", "ann@srv.test" } + trusted;
    QTest::newRow("autoconfig") << QStringList { "add", "ann@auto.test", trusted.last() };
    QTest::newRow("local") << QStringList { "add", "--maildir", "%folder", "me@local.test" };
}

void TestAccount::addedAccountSynchronises()
{
    QFETCH(QStringList, arguments);
    QString output;
    QCOMPARE(tool(arguments, {}, &output), 0);
    const QString id = output.section('\n', 0, 0); // standard output comes first
    QVERIFY2(id.toUInt() > 0, qPrintable(output));
    mAccounts.insert(QTest::currentDataTag(), id);
    // The first sync, at once, succeeds: the service was enabled last.
    QVERIFY(
        mDaemon.waitForLine(QRegularExpression("sync succeeded in account " + id + "$"), 60000));
    QCOMPARE(QMailStore::instance()->countMessages(
                 QMailMessageKey::parentAccountId(QMailAccountId(id.toULongLong()))
                 & QMailMessageKey::subject("Hi")),
             1);
}

void TestAccount::commands_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<int>("code");
    // Of its output, exactly; "~" and a pattern: the tool runs again until
    // its output has a match (the daemon's state settling).
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("passwords"); // kept for account "given" afterwards
    QTest::newRow("list") << QStringList { "list" } << QStringList() << 0
                          << "%given\tenabled\tann@given.test\tann@given.test\timap "
                             "ann@127.0.0.1:%imaps (tls), smtp ann@127.0.0.1:%submission (starttls)"
                          << 1;
    const QString synchronised = "~(?m)^%given +ann@given.test +\\d{4}-\\d\\d-\\d\\d "
                                 "\\d\\d:\\d\\d:\\d\\d +- +always-on +on +ok$";
    QTest::newRow("status") << QStringList { "status" } << QStringList() << 0 << synchronised << 1;
    QTest::newRow("password refused") << QStringList { "postvane-password", "%given" }
                                      << QStringList { "stdin=wrong" } << 0 << "" << 1;
    QTest::newRow("status, login refused")
        << QStringList { "status" } << QStringList() << 0
        << "~(?m)^%given .* failed\n      error 1029 The external service did not accept the "
           "supplied authentication details. \\(.+\\)\n      waiting for a changed setting$"
        << 1;
    QTest::newRow("password accepted")
        << QStringList { "postvane-password", "%given" } << QStringList() << 0 << "" << 1;
    QTest::newRow("status, synchronised without waiting")
        << QStringList { "status" } << QStringList() << 0 << synchronised << 1;
    QTest::newRow("sync") << QStringList { "sync", "ann@given.test" } << QStringList() << 0
                          << "~(?m)^%given: synchronised$" << 1;
    QTest::newRow("send") << QStringList { "send", "%mail" } << QStringList() << 0 << "Sent" << 1;
    QTest::newRow("send, recipient refused")
        << QStringList { "send", "%refused" } << QStringList() << 1
        << "~(?m)^postvane-account: Sending failed: 1038 .+; the message stays in the outbox$" << 1;
    QTest::newRow("set") << QStringList { "set", "ann@given.test", "imap/port=143",
                                          "imap/encryption=starttls", "name=Work" }
                         << QStringList() << 0 << "" << 1;
    QTest::newRow("list after set")
        << QStringList { "list" } << QStringList() << 0
        << "%given\tenabled\tWork\tann@given.test\timap ann@127.0.0.1:143 (starttls), smtp "
           "ann@127.0.0.1:%submission (starttls)"
        << 1;
    const auto failure = [](const QString &text) { return "postvane-account: " + text; };
    QTest::newRow("set, unknown key")
        << QStringList { "set", "%given", "port=1" } << QStringList() << 1
        << failure("Unknown setting \"port=1\" (KEY=VALUE; see --help for the keys)") << 1;
    QTest::newRow("set, bad port")
        << QStringList { "set", "%given", "smtp/port=70000" } << QStringList() << 1
        << failure("smtp/port must be a port (1 to 65535), not \"70000\"") << 1;
    QTest::newRow("set, key of another provider")
        << QStringList { "set", "%given", "maildir=/tmp" } << QStringList() << 1
        << failure("maildir is not a setting of imap-mail accounts") << 1;
    QTest::newRow("bad address") << QStringList { "add", "ann" } << QStringList() << 1
                                 << failure("\"ann\" is not an e-mail address") << 1;
    QTest::newRow("not a Maildir")
        << QStringList { "add", "--maildir", "/nonexistent" } << QStringList() << 1
        << failure("maildir must be a Maildir (a folder with cur and new), not \"/nonexistent\"")
        << 1;
    QTest::newRow("no servers found, autoconfig unreachable")
        << QStringList { "add", "ann@none.test" }
        << QStringList { "POSTVANE_AUTOCONFIG_URL=http://127.0.0.1:%closed" } << 1
        << failure("No mail servers found for none.test (no SRV records; "
                   "http://127.0.0.1:%closed/mail/config-v1.1.xml: Connection refused; "
                   "http://127.0.0.1:%closed/.well-known/autoconfig/mail/config-v1.1.xml: "
                   "Connection refused)")
        << 1;
    QTest::newRow("remove") << QStringList { "remove", "%given" } << QStringList() << 0 << "" << 0;
    QTest::newRow("remove, unknown account")
        << QStringList { "remove", "%given" } << QStringList() << 1
        << failure("No e-mail account %given in the accounts database") << 0;
}

void TestAccount::commands()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, environment);
    QFETCH(int, code);
    QFETCH(QString, line);
    QFETCH(int, passwords);
    QString output;
    if (line.startsWith('~')) {
        const QRegularExpression pattern(expand(line.mid(1)));
        QVERIFY2(waitUntil(
                     [&] {
                         return tool(arguments, environment, &output) == code
                             && pattern.match(output).hasMatch();
                     },
                     60000),
                 qPrintable(output));
    } else {
        QVERIFY2(tool(arguments, environment, &output) == code, qPrintable(output));
        QVERIFY2(line.isEmpty() || output.split('\n').contains(expand(line)), qPrintable(output));
    }
    QCOMPARE(this->passwords(mAccounts.value("given")), passwords);
    // What was sent is with its recipient, its blind recipient and in Sent,
    // dated and named, and nobody sees the blind copy's recipient.
    const QStringList mailboxes { "ann INBOX", "carl INBOX", "ann Sent" };
    for (const QString &mailbox : arguments.first() == "send" ? mailboxes : QStringList()) {
        const QString header
            = mDovecot.doveadm({ "fetch", "-u", mailbox.section(' ', 0, 0), "hdr", "mailbox",
                                 mailbox.section(' ', 1), "subject", "Blind" });
        // A field, not the letters: a random Message-ID may hold "bcc".
        const QRegularExpression bccField("(^|\n)bcc:", QRegularExpression::CaseInsensitiveOption);
        QVERIFY2(header.contains("Date: ") && header.contains("Message-ID: <")
                     && !bccField.match(header).hasMatch(),
                 qPrintable(mailbox + ": " + header));
    }
}

QTEST_GUILESS_MAIN(TestAccount)
#include "tst_account.moc"
