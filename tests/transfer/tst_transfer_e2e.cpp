// The real daemon on private buses with an e-mail account, the stand-in
// message server and the stand-in job-progress server, both in this process.
#include "accountsfixture.h"
#include "jobviewserverstandin.h"
#include "messageserverstandin.h"
#include "processrunner.h"
#include "settingswriter.h"
#include "storefixture.h"
#include "testenvironment.h"
#include "waituntil.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QtTest>

class TransferEndToEnd : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void actionShowsItsEntryAndTheEntryCancelsIt();
    void withoutJobProgressServiceTheManagerStaysInert();

private:
    bool startDaemon();
    // The index of the daemon's first line that contains the text; -1 when it
    // does not come.
    int expect(const QString &text);

    TestEnvironment mEnv;
    QScopedPointer<ProcessRunner> mDaemon;
};

void TransferEndToEnd::initTestCase()
{
    QVERIFY(mEnv.isValid());
    QVERIFY(mEnv.startSessionBus());
    QVERIFY(mEnv.startSystemBus());
    QVERIFY(AccountsFixture::setUp(mEnv));
    // One account, number 1 in the mail store and in the accounts database.
    QCOMPARE(StoreFixture::addAccount("Work"), QMailAccountId(1));
    QCOMPARE(AccountsFixture::createAccount("local-mail"), 1u);
    QVERIFY(!AccountsFixture::agTool({ "enable-service", "1", "local-email" }).isNull());
    QVERIFY(writeSettings(mEnv.settingsFile(),
                          { { "Syslog/Enabled", 0 },
                            { "FileLog/Enabled", 0 },
                            { "StdStreamLog/Enabled", 1 },
                            { "Log categories/Notifications", 0 },
                            { "Log categories/Indexer", 0 },
                            { "Log categories/Queries", 0 } }));
    qputenv("MAIL_BOOT_NO_WAIT", "1");
}

void TransferEndToEnd::cleanup()
{
    if (mDaemon) {
        QVERIFY(mDaemon->terminate());
        QCOMPARE(mDaemon->exitCode(), 0);
        mDaemon.reset();
    }
}

bool TransferEndToEnd::startDaemon()
{
    mDaemon.reset(new ProcessRunner);
    return mDaemon->start(TestEnvironment::binary("postvane"));
}

int TransferEndToEnd::expect(const QString &text)
{
    int found = -1;
    waitUntil([&] {
        found = mDaemon->lines().indexOf(
            QRegularExpression(".*" + QRegularExpression::escape(text) + ".*"));
        return found >= 0 || mDaemon->process().state() == QProcess::NotRunning;
    });
    if (found < 0) {
        qWarning() << "No" << text << "in" << mDaemon->lines();
    }
    return found;
}

void TransferEndToEnd::actionShowsItsEntryAndTheEntryCancelsIt()
{
    JobViewServerStandIn jobs;
    QVERIFY(jobs.start());
    MessageServerStandIn server;
    QVERIFY(server.start());
    server.setOutcome("TransmitMessages", MessageServerStandIn::Never);
    QVERIFY(startDaemon());
    QVERIFY(expect("TransferManager: account is inserted in the map") >= 0);

    // Any client's action shows, here one of this test's own.
    QDBusMessage call
        = QDBusMessage::createMethodCall(QMF_MESSAGESERVER_SERVICE, QMF_MESSAGESERVER_PATH,
                                         QMF_MESSAGESERVER_SERVICE, "TransmitMessages");
    call << qulonglong(1);
    QVERIFY(QDBusConnection::sessionBus().send(call));
    QVERIFY(waitUntil([&] { return server.actions().size() == 1; }));
    const quint64 action = server.actions().first().id;
    QVERIFY(waitUntil([&] { return !jobs.calls().filter("requestView(Work, ").isEmpty(); }));
    QVERIFY(server.progress(action, 1, 2));
    // The account's other actions (its first synchronisation) may come and go
    // meanwhile, so the entry that shows the progress is found by it.
    QString shown;
    QVERIFY(waitUntil([&] {
        shown = jobs.calls().filter(": setPercent(50)").value(0).section(':', 0, 0);
        return !shown.isEmpty();
    }));

    // The user cancels the entry: the action ends cancelled, which closes it.
    QVERIFY(jobs.requestCancel(shown.toInt()));
    QVERIFY(waitUntil([&] { return jobs.calls().contains(shown + ": terminate()"); }));
    QCOMPARE(server.cancelled(), QList<quint64>({ action }));
    QVERIFY2(jobs.calls().filter("setError").isEmpty(), qPrintable(jobs.calls().join('\n')));
}

void TransferEndToEnd::withoutJobProgressServiceTheManagerStaysInert()
{
    QVERIFY(startDaemon());
    const int critical = expect("TransferManager::TransferManager(QObject*) :Cannot initialize TUI "
                                "Client");
    QVERIFY(critical >= 0);
    const int created = expect("SyncScheduler is created");
    QVERIFY(created >= 0);
    QVERIFY(created < critical);
    QVERIFY(expect("TransferManager: mClient is not initialized") > critical);
}

QTEST_GUILESS_MAIN(TransferEndToEnd)
#include "tst_transfer_e2e.moc"
