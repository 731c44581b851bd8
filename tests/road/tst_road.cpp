// The road of new mail with the real programs on private buses: an account
// of the accounts database with a Maildir, the message server, the daemon and
// qmfctl; the stand-ins play the notification and job-progress services.
#include "accountsfixture.h"
#include "jobviewserverstandin.h"
#include "maildirfixture.h"
#include "processrunner.h"
#include "settingswriter.h"
#include "standins.h"
#include "testenvironment.h"
#include "waituntil.h"

#include <QDateTime>
#include <QtTest>

class RoadOfNewMail : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void newMailTravelsTheRoad_data();
    void newMailTravelsTheRoad();

private:
    void drop(const QString &from, const QString &subject);
    QString tracker(const QString &query);

    TestEnvironment mEnv;
    NotificationServerStandin mNotifications;
    JobViewServerStandIn mJobs;
    ProcessRunner mServer;
    ProcessRunner mDaemon;
    QString mMaildir;
    quint32 mAccount = 0;
};

void RoadOfNewMail::initTestCase()
{
    QVERIFY(mEnv.isValid());
    QVERIFY(mEnv.startSessionBus());
    QVERIFY(mEnv.startSystemBus());
    QVERIFY(AccountsFixture::setUp(mEnv));
    QVERIFY(writeSettings(
        mEnv.settingsFile(),
        { { "Syslog/Enabled", 0 }, { "FileLog/Enabled", 0 }, { "StdStreamLog/Enabled", 1 } }));
    mMaildir = mEnv.path("Maildir");
    QVERIFY(MaildirFixture::make(mMaildir));
    // Mail that waits in the Maildir is fetched by the first scheduled sync;
    // the account is always-on, so later mail comes by push.
    drop("Ann Road", "Waiting before the start");
    mAccount = AccountsFixture::createAccount("local-mail");
    QVERIFY(mAccount);
    // ag-tool stores one setting a call.
    const QStringList steps = { "update-service %1 local-email string:maildir=" + mMaildir,
                                "update-service %1 local-email int:lastSynchronized=1",
                                "update-account %1 int:scheduler/schedule_peak=0",
                                "update-account %1 int:scheduler/schedule_off_peak=0",
                                "enable-service %1 local-email" };
    for (const QString &step : steps) {
        QVERIFY(!AccountsFixture::agTool(step.arg(mAccount).split(' ')).isNull());
    }

    QVERIFY(mNotifications.start());
    QVERIFY(mJobs.start());
    QVERIFY(mServer.start(TestEnvironment::binary("messageserver")));
    qputenv("MAIL_BOOT_NO_WAIT", "1");
    QVERIFY(mDaemon.start(TestEnvironment::binary("postvane")));
}

void RoadOfNewMail::cleanupTestCase()
{
    QVERIFY(mDaemon.terminate());
    QCOMPARE(mDaemon.exitCode(), 0);
    QVERIFY(mServer.terminate());
    QCOMPARE(mServer.exitCode(), 0);
}

void RoadOfNewMail::drop(const QString &from, const QString &subject)
{
    const QByteArray mail = "From: " + from.toUtf8()
        + " <road@example.org>\nTo: me@example.org\nSubject: " + subject.toUtf8() + "\nDate: "
        + QDateTime::currentDateTime().toString(Qt::RFC2822Date).toUtf8() + "\n\nOn the road.\n";
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

void RoadOfNewMail::newMailTravelsTheRoad_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("subject");
    QTest::addColumn<bool>("dropped");
    QTest::newRow("scheduled sync") << "Ann Road"
                                    << "Waiting before the start" << false;
    QTest::newRow("push") << "Bo Push"
                          << "Pushed while running" << true;
}

void RoadOfNewMail::newMailTravelsTheRoad()
{
    QFETCH(QString, from);
    QFETCH(QString, subject);
    QFETCH(bool, dropped);
    if (dropped) {
        // Push is on once the daemon has stored the push folders.
        QVERIFY(mDaemon.waitForLine(QString("Account %1 configuration updated").arg(mAccount)));
        drop(from, subject);
    }
    // Notified: the stand-in shows the Notify call with the sender.
    QVERIFY(!mNotifications.waitForNewLine(QRegularExpression("^Notify .*summary=.*" + from))
                 .isEmpty());
    // Mirrored into Tracker, found by any Tracker client.
    const QString query
        = "SELECT ?m WHERE { ?m a nmo:Email ; nmo:messageSubject \"" + subject + "\" }";
    QVERIFY(waitUntil([&] { return tracker(query).contains("qmf://mail.brenmor.com/email#"); }));
    // In the mail store, as qmfctl lists it.
    QProcess qmfctl;
    qmfctl.start(TestEnvironment::binary("qmfctl"),
                 { "list", "messages", "--account", QString::number(mAccount) });
    QVERIFY(finishWhileServing(qmfctl));
    QVERIFY(QString::fromUtf8(qmfctl.readAllStandardOutput()).contains(subject));
    if (!dropped) {
        // The scheduled sync showed its transfer, which ended without error.
        QVERIFY(waitUntil([&] { return !mJobs.calls().filter("terminate()").isEmpty(); }));
        QVERIFY(!mJobs.calls().filter("requestView(").isEmpty());
        QVERIFY2(mJobs.calls().filter("setError").isEmpty(), qPrintable(mJobs.calls().join('\n')));
    }
}

QTEST_GUILESS_MAIN(RoadOfNewMail)
#include "tst_road.moc"
