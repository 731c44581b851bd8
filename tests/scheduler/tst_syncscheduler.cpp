#include "accountsfixture.h"
#include "closurebase.h"
#include "logcapture.h"
#include "messageserverstandin.h"
#include "storefixture.h"
#include "syncscheduler.h"
#include "tavikserviceactionmanager.h"
#include "testenvironment.h"

#include <qmailstore.h>

#include <QtTest>

// Gives the test the scheduler's map and its private sync operation.
class SyncSchedulerTestAccess
{
public:
    static void addScheduler(SyncScheduler &owner, const QSharedPointer<AccountScheduler> &s)
    {
        owner.mSchedulers.insert(s->accountId(), s);
    }
    static void sync(SyncScheduler &owner, Accounts::AccountId id) { owner.sync(id); }
    static bool readSettings(SyncScheduler &owner, quint32 id, ScheduleSettings &settings)
    {
        return owner.readSettings(id, settings);
    }
};

class SyncSchedulerSyncTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void secondSyncWhileRunningIsDropped();
    void outcomesForUnknownAccountsAreWarnedAbout();
    void outcomeAfterTeardownIsDropped();
    void readSettings_data();
    void readSettings();

private:
    TestEnvironment mEnv;
    MessageServerStandIn *mServer = nullptr;
};

void SyncSchedulerSyncTest::initTestCase()
{
    QVERIFY(mEnv.isValid());
    QVERIFY(mEnv.startSessionBus());
    QVERIFY(AccountsFixture::setUp(mEnv));
    QVERIFY(QMailStore::instance());
}

void SyncSchedulerSyncTest::init()
{
    mServer = new MessageServerStandIn;
    QVERIFY(mServer->start());
}

void SyncSchedulerSyncTest::cleanup()
{
    delete mServer;
    mServer = nullptr;
    QTRY_COMPARE(TavikServiceActionManager::instance()->runningActions(), 0);
    QTRY_COMPARE(ClosureBase::liveCount(), 0);
}

void SyncSchedulerSyncTest::secondSyncWhileRunningIsDropped()
{
    const QMailAccountId account
        = StoreFixture::addAccount(QStringLiteral("Scheduled"), nullptr, true);
    const Accounts::AccountId id = account.toULongLong();
    mServer->setOutcome("RetrieveFolderList", MessageServerStandIn::Never);
    SyncScheduler owner;
    QSharedPointer<AccountScheduler> scheduler(new AccountScheduler(id, 0, 0, 0, 15, 15));
    SyncSchedulerTestAccess::addScheduler(owner, scheduler);

    SyncSchedulerTestAccess::sync(owner, id);
    SyncSchedulerTestAccess::sync(owner, id);
    QTRY_COMPARE(mServer->methods().size(), 3);
    QTRY_COMPARE(mServer->actions().size(), 1);
    QCOMPARE(mServer->methods(),
             QStringList({ "ExportUpdates", "TransmitMessages", "RetrieveFolderList" }));

    mServer->setOutcome("RetrieveMessageLists", MessageServerStandIn::Fail, 1040);
    LogCapture log;
    QVERIFY(mServer->finish(mServer->actions().first().id, 0));
    QTRY_VERIFY(!scheduler->isSyncInProgress());
    QVERIFY(
        log.contains(QString("[Scheduler] sync failed in account %1 with status 1040").arg(id)));
}

void SyncSchedulerSyncTest::outcomesForUnknownAccountsAreWarnedAbout()
{
    SyncScheduler owner;
    LogCapture log;
    owner.onSyncSucceed(99);
    owner.onSyncFailed(98, QMailServiceAction::Status(QMailServiceAction::Status::ErrCancel));
    QCOMPARE(log.lines(),
             QStringList({ "[Warning] sync succeed for an unknown account 99",
                           "[Warning] sync failed for an unknown account 98" }));
}

void SyncSchedulerSyncTest::outcomeAfterTeardownIsDropped()
{
    const QMailAccountId account
        = StoreFixture::addAccount(QStringLiteral("Scheduled"), nullptr, true);
    const Accounts::AccountId id = account.toULongLong();
    mServer->setOutcome("RetrieveMessageLists", MessageServerStandIn::Never);
    auto *owner = new SyncScheduler;
    QSharedPointer<AccountScheduler> scheduler(new AccountScheduler(id, 0, 0, 0, 15, 15));
    SyncSchedulerTestAccess::addScheduler(*owner, scheduler);
    SyncSchedulerTestAccess::sync(*owner, id);
    QTRY_COMPARE(mServer->methods().size(), 4);
    delete owner;
    scheduler.clear();
    // The chain still ends, and reaches nobody.
    QVERIFY(mServer->finish(mServer->actions().first().id, 0));
    QTRY_COMPARE(ClosureBase::liveCount(), 0);
}

void SyncSchedulerSyncTest::readSettings_data()
{
    // ag-tool steps after the account's creation ("%1" is its id), whether the
    // read succeeds, the record read (peak, off-peak, days, start, end), and
    // the text that tells why.
    QTest::addColumn<QString>("provider");
    QTest::addColumn<bool>("accountEnabled");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QList<int>>("record");
    QTest::addColumn<QString>("log");
    const QString mail = "enable-service %1 local-email";
    QTest::newRow("missing") << QString() << true << QStringList() << false << QList<int>()
                             << "[Warning] Account 4711 not found, error: \"";
    QTest::newRow("disabled") << "local-mail" << false << QStringList { mail } << false
                              << QList<int>() << "[Scheduler] Account %1 is disabled";
    QTest::newRow("no enabled e-mail service")
        << "local-mail" << true << QStringList() << false << QList<int>()
        << "[Scheduler] Account %1 doesn't have enabled e-mail services, ignor it.";
    QTest::newRow("defaults; service settings are not read")
        << "local-mail" << true
        << QStringList { mail, "update-service %1 local-email int:scheduler/schedule_peak=5" }
        << true << QList<int> { -1, -1, 0, 0, 0 }
        << "[Scheduler] Successfully read sync settings for account %1";
    const QStringList keys = { mail,
                               "update-account %1 int:scheduler/schedule_peak=15",
                               "update-account %1 int:scheduler/schedule_off_peak=60",
                               "update-account %1 int:scheduler/schedule_peak_days=31",
                               "update-account %1 int:scheduler/schedule_peak_start_time=480",
                               "update-account %1 int:scheduler/schedule_peak_end_time=1020" };
    QTest::newRow("every key") << "local-mail" << true << keys << true
                               << QList<int> { 15, 60, 31, 480, 1020 }
                               << "[Scheduler] Successfully read sync settings for account %1";
    QTest::newRow("scheduling disabled")
        << "local-mail" << true
        << (QStringList(keys) << "update-account %1 bool:scheduler/schedule_enabled=0") << true
        << QList<int> { -1, -1, 0, 0, 0 } << "[Scheduler] Scheduling is disabled for account %1";
}

void SyncSchedulerSyncTest::readSettings()
{
    QFETCH(QString, provider);
    QFETCH(bool, accountEnabled);
    QFETCH(QStringList, steps);
    QFETCH(bool, ok);
    QFETCH(QList<int>, record);
    QFETCH(QString, log);
    const quint32 id
        = provider.isEmpty() ? 4711 : AccountsFixture::createAccount(provider, accountEnabled);
    QVERIFY(id != 0);
    for (const QString &step : qAsConst(steps)) {
        QVERIFY(!AccountsFixture::agTool(step.arg(id).split(' ')).isNull());
    }
    SyncScheduler scheduler;
    LogCapture capture;
    ScheduleSettings settings;
    QCOMPARE(SyncSchedulerTestAccess::readSettings(scheduler, id, settings), ok);
    QVERIFY2(capture.contains(log.arg(id)), qPrintable(capture.lines().join('\n')));
    if (ok) {
        QCOMPARE(QList<int>({ settings.peakSchedule, settings.offPeakSchedule, settings.peakDays,
                              settings.peakStart, settings.peakEnd }),
                 record);
    }
}

QTEST_GUILESS_MAIN(SyncSchedulerSyncTest)
#include "tst_syncscheduler.moc"
