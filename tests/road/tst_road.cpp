// The road of mail with the real programs on private buses: accounts of the
// accounts database (a Maildir, and a mailbox on a Dovecot of the test's own),
// the message server, the daemon and qmfctl; the stand-ins play the
// notification and job-progress services.
#include "accountsfixture.h"
#include "dovecot.h"
#include "jobviewserverstandin.h"
#include "maildirfixture.h"
#include "processrunner.h"
#include "settingswriter.h"
#include "standins.h"
#include "testenvironment.h"
#include "waituntil.h"

#include <qmailaccount.h>
#include <qmailstore.h>

#include <QDateTime>
#include <QtTest>

namespace {

const QString SyncStarted = QStringLiteral("doSync\\(\\): Starting synchronization for account %1");
const QString SyncSucceeded = QStringLiteral("sync succeeded in account %1");

// A whole log line (QStringList::indexOf matches whole lines) with the
// text; "%1" in it stands for the account's number.
QRegularExpression lineOf(const QString &text, quint32 account)
{
    return QRegularExpression(".*" + (account ? text.arg(QString::number(account) + "\\b") : text)
                              + ".*");
}

} // namespace

class RoadOfNewMail : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void cleanup() { mFailed = mFailed || QTest::currentTestFailed(); }
    void newMailTravelsTheRoad_data();
    void newMailTravelsTheRoad();
    void readElsewhere_data();
    void readElsewhere();
    void sentMailArrives();

private:
    void drop(const QString &kind, const QString &from, const QString &subject);
    QString tracker(const QString &query);
    int count(ProcessRunner &program, const QString &pattern, quint32 account = 0);
    bool pushSettled(const QString &kind);
    bool syncNow(const QString &kind);

    TestEnvironment mEnv;
    NotificationServerStandin mNotifications;
    JobViewServerStandIn mJobs;
    Dovecot mDovecot;
    ProcessRunner mServer;
    ProcessRunner mDaemon;
    QString mMaildir;
    QHash<QString, quint32> mAccounts; // by kind: "maildir", "imap"
    int mPeakDays = 0;
    bool mFailed = false;
};

void RoadOfNewMail::initTestCase()
{
    QVERIFY(AccountsFixture::setUpWithBuses(mEnv, true));
    QVERIFY(writeSettings(
        mEnv.settingsFile(),
        { { "Syslog/Enabled", 0 }, { "FileLog/Enabled", 0 }, { "StdStreamLog/Enabled", 1 } }));
    QVERIFY(
        writeSettings(mEnv.path("home/.config/Brenmor/MessageServer.conf"),
                      { { "StdStreamLog/Enabled", 1 }, { "Log categories/MessageServer", 1 } }));
    mMaildir = mEnv.path("Maildir");
    QVERIFY(MaildirFixture::make(mMaildir));
    QVERIFY(mDovecot.start(mEnv.path("dovecot")));
    // Waiting mail comes with the first scheduled sync, later mail by push.
    drop("maildir", "Ann Road", "Waiting before the start");
    drop("imap", "Cy Imap", "Waiting on the server");
    // ag-tool stores one setting a call.
    QStringList steps
        = { "update-service %1 local-email string:maildir=" + mMaildir,
            "update-service %1 local-email int:lastSynchronized=1", "enable-service %1 local-email",
            "update-account %1 int:scheduler/schedule_peak=0",
            "update-account %1 int:scheduler/schedule_off_peak=0" };
    for (const QString &kind : QStringList { "maildir", "imap" }) {
        if (kind == "imap") {
            QVERIFY(mNotifications.start());
            QVERIFY(mJobs.start());
            QVERIFY(mServer.start(TestEnvironment::binary("messageserver")));
            // Serving first: a write while it opens the accounts database has broken its reads.
            QVERIFY(mServer.waitForLine("serving com.brenmor.qmf.MessageServer", 60000));
            QVERIFY((mAccounts[kind] = mDovecot.addAccount({ "int:lastSynchronized=1" })));
            steps = steps.mid(3);
        } else {
            QVERIFY((mAccounts[kind] = AccountsFixture::createAccount("local-mail")));
        }
        for (const QString &step : qAsConst(steps)) {
            QVERIFY(!AccountsFixture::agTool(step.arg(mAccounts[kind]).split(' ')).isNull());
        }
    }
    QVERIFY(Dovecot::mirrored(mAccounts["imap"]));
    qputenv("MAIL_BOOT_NO_WAIT", "1");
    QVERIFY(mDaemon.start(TestEnvironment::binary("postvane")));
}

void RoadOfNewMail::cleanupTestCase()
{
    if (mFailed) {
        qInfo().noquote() << "Daemon:" << mDaemon.lines().join('\n');
        qInfo().noquote() << "Message server:" << mServer.lines().join('\n');
        QFile log(mEnv.path("dovecot/log"));
        if (log.open(QIODevice::ReadOnly)) {
            qInfo().noquote() << "Dovecot:" << log.readAll();
        }
    }
    QVERIFY(mDaemon.terminate());
    QCOMPARE(mDaemon.exitCode(), 0);
    QVERIFY(mServer.terminate());
    QCOMPARE(mServer.exitCode(), 0);
}

void RoadOfNewMail::drop(const QString &kind, const QString &from, const QString &subject)
{
    const QByteArray mail = "From: " + from.toUtf8()
        + " <road@example.org>\nTo: me@example.org\nSubject: " + subject.toUtf8() + "\nDate: "
        + QDateTime::currentDateTime().toString(Qt::RFC2822Date).toUtf8() + "\n\nOn the road.\n";
    if (kind == "imap") {
        QVERIFY(!mDovecot.doveadm({ "save", "-u", "ann", "-m", "INBOX" }, mail).isNull());
        return;
    }
    QVERIFY(MaildirFixture::deliver(
        mMaildir, QString::number(QDateTime::currentMSecsSinceEpoch()) + ".road", mail));
}

QString RoadOfNewMail::tracker(const QString &query)
{
    QProcess process;
    process.start("tracker3",
                  { "sparql", "--dbus-service", "com.brenmor.Postvane.Tracker", "-q", query });
    finishWhileServing(process);
    return QString::fromUtf8(process.readAllStandardOutput());
}

int RoadOfNewMail::count(ProcessRunner &program, const QString &pattern, quint32 account)
{
    return program.lines().filter(lineOf(pattern, account)).size();
}

// Push is on for good once the daemon has stored the push folders (the
// server watches them) and the sync that the change brought has ended. The
// daemon's own lines decide: the server may see the change before they come.
bool RoadOfNewMail::pushSettled(const QString &kind)
{
    const quint32 account = mAccounts[kind];
    const QStringList lines = mDaemon.lines();
    const int stored = lines.lastIndexOf(lineOf("Account %1 configuration updated", account));
    return count(mServer, "account %1 (IDLE on|push folder) ", account) > 0
        && lines.value(stored - 1).contains("push folders: ")
        && stored < lines.lastIndexOf(lineOf(SyncStarted, account))
        && count(mDaemon, SyncStarted, account) == count(mDaemon, SyncSucceeded, account);
}

// The account's schedule changes: its scheduler starts afresh, with a sync.
bool RoadOfNewMail::syncNow(const QString &kind)
{
    const quint32 account = mAccounts[kind];
    const int before = count(mDaemon, SyncSucceeded, account);
    const QString step = "update-account %1 int:scheduler/schedule_peak_days=%2";
    return !AccountsFixture::agTool(step.arg(account).arg(++mPeakDays).split(' ')).isNull()
        && waitUntil([&] { return count(mDaemon, SyncSucceeded, account) > before; }, 60000);
}

void RoadOfNewMail::newMailTravelsTheRoad_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("subject");
    QTest::addColumn<bool>("dropped");
    QTest::newRow("maildir, scheduled sync") << "maildir"
                                             << "Ann Road"
                                             << "Waiting before the start" << false;
    QTest::newRow("maildir, push") << "maildir"
                                   << "Bo Push"
                                   << "Pushed while running" << true;
    QTest::newRow("imap, scheduled sync") << "imap"
                                          << "Cy Imap"
                                          << "Waiting on the server" << false;
    QTest::newRow("imap, push by IDLE") << "imap"
                                        << "Di Idle"
                                        << "Pushed through IDLE" << true;
}

void RoadOfNewMail::newMailTravelsTheRoad()
{
    QFETCH(QString, kind);
    QFETCH(QString, from);
    QFETCH(QString, subject);
    QFETCH(bool, dropped);
    const quint32 account = mAccounts[kind];
    int syncs = 0;
    if (dropped) {
        // Bounded to outlast a watcher's connection that stalls and is tried again.
        QVERIFY(waitUntil([&] { return pushSettled(kind); }, 150000));
        syncs = count(mDaemon, SyncStarted, account);
        drop(kind, from, subject);
    }
    // Notified: the stand-in shows a Notify call with the sender.
    QVERIFY(waitUntil(
        [&] { return count(mNotifications.runner(), "^Notify .*summary=.*" + from) > 0; }, 30000));
    // Mirrored into Tracker, found by any Tracker client.
    const QString query
        = "SELECT ?m WHERE { ?m a nmo:Email ; nmo:messageSubject \"" + subject + "\" }";
    QVERIFY(waitUntil([&] { return tracker(query).contains("qmf://mail.brenmor.com/email#"); }));
    // In the mail store, as qmfctl lists it.
    QProcess qmfctl;
    qmfctl.start(TestEnvironment::binary("qmfctl"),
                 { "list", "messages", "--account", QString::number(account) });
    QVERIFY(finishWhileServing(qmfctl));
    QVERIFY(QString::fromUtf8(qmfctl.readAllStandardOutput()).contains(subject));
    if (dropped) {
        // Pushed: the daemon asked for no sync meanwhile.
        QCOMPARE(count(mDaemon, SyncStarted, account), syncs);
    } else {
        // The scheduled sync showed its transfer, which ended without error.
        QVERIFY(waitUntil([&] { return !mJobs.calls().filter("terminate()").isEmpty(); }));
        QVERIFY(!mJobs.calls().filter("requestView(").isEmpty());
        QVERIFY2(mJobs.calls().filter("setDescriptionField").isEmpty(),
                 qPrintable(mJobs.calls().join('\n')));
    }
}

void RoadOfNewMail::readElsewhere_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("subject");
    QTest::newRow("imap, flag set during IDLE") << "imap"
                                                << "Di Idle"
                                                << "Pushed through IDLE";
    QTest::newRow("maildir, file renamed with its flag") << "maildir"
                                                         << "Bo Push"
                                                         << "Pushed while running";
}

void RoadOfNewMail::readElsewhere()
{
    // Read in another client: the flag reaches the store by push, with no
    // sync asked for, and the notification lets the message go.
    QFETCH(QString, kind);
    QFETCH(QString, from);
    QFETCH(QString, subject);
    const int syncs = count(mDaemon, SyncStarted, mAccounts[kind]);
    mNotifications.markSeen();
    if (kind == "imap") {
        QVERIFY(!mDovecot
                     .doveadm({ "flags", "add", "-u", "ann", "\\Seen", "mailbox", "INBOX", "header",
                                "Subject", subject })
                     .isNull());
    } else {
        QDirIterator files(mMaildir + "/new", QDir::Files);
        QString name;
        while (files.hasNext() && name.isEmpty()) {
            QFile file(files.next());
            name = file.open(QIODevice::ReadOnly) && file.readAll().contains(subject.toUtf8())
                ? files.fileName()
                : QString();
        }
        QVERIFY(QFile::rename(mMaildir + "/new/" + name, mMaildir + "/cur/" + name + ":2,S"));
    }
    QVERIFY(!mNotifications
                 .waitForNewLine(
                     QRegularExpression("^(CloseNotification|Notify (?!.*" + from + "))"), 30000)
                 .isEmpty());
    QCOMPARE(count(mDaemon, SyncStarted, mAccounts[kind]), syncs);
}

void RoadOfNewMail::sentMailArrives()
{
    const QMailAccount account { QMailAccountId(mAccounts["imap"]) };
    QMailMessage message = QMailMessage::fromRfc2822(
        "From: Ann <ann@example.org>\nTo: ann@example.org\nSubject: Sent down the road\n\nBye.\n");
    message.setParentAccountId(account.id());
    message.setParentFolderId(account.standardFolder(QMailFolder::OutboxFolder));
    message.setStatus(QMailMessageMetaData::Outbox | QMailMessageMetaData::Outgoing, true);
    QVERIFY(QMailStore::instance()->addMessage(&message));
    QVERIFY(syncNow("imap"));
    // Delivered to the recipient's mailbox, copied to the Sent folder on the
    // server and moved to it in the store.
    for (const char *mailbox : { "INBOX", "Sent" }) {
        QCOMPARE(
            mDovecot.fetch("hdr.subject", mailbox, { "header", "Subject", "Sent down the road" }),
            QStringLiteral("hdr.subject=Sent down the road"));
    }
    const QMailMessageMetaData sent(message.id());
    QCOMPARE(sent.parentFolderId(), account.standardFolder(QMailFolder::SentFolder));
    QVERIFY(!sent.serverUid().isEmpty());
}

QTEST_GUILESS_MAIN(RoadOfNewMail)
#include "tst_road.moc"
