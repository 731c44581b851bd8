#include "accountscheduler.h"
#include "closurebase.h"
#include "delayedsignal.h"
#include "logcapture.h"
#include "messageserverstandin.h"
#include "storefixture.h"
#include "syncscheduler.h"
#include "tavikserviceactionmanager.h"
#include "testenvironment.h"

#include <qmailaccount.h>
#include <qmailfolder.h>
#include <qmailstore.h>

#include <QSignalSpy>
#include <QtTest>

#include <ctime>
#include <limits>

// Switches the input setForcedSchedule consults; gives a sync scheduler a scheduler.
class SyncSchedulerTestAccess
{
public:
    static void setAllowBackground(bool allowed) { SyncScheduler::mAllowBackground = allowed; }
    static void addScheduler(SyncScheduler &owner, const QSharedPointer<AccountScheduler> &s)
    {
        owner.mSchedulers.insert(s->accountId(), s);
    }
};

namespace {

const QDate Monday(2026, 6, 1);

QDateTime at(int dayOffset, int hour, int minute, int second = 0)
{
    return QDateTime(Monday.addDays(dayOffset), QTime(hour, minute, second));
}

// An account scheduler whose clock the test sets, with its timers in view.
class ClockedScheduler : public AccountScheduler
{
public:
    ClockedScheduler(Accounts::AccountId id, int peakDays, int peakStart, int peakEnd,
                     int peakSchedule, int offPeakSchedule)
        : AccountScheduler(id, peakDays, peakStart, peakEnd, peakSchedule, offPeakSchedule)
    { }

    QDateTime now = at(0, 12, 0);

    bool syncTimerActive() const { return mSyncTimer.isActive(); }
    int syncInterval() const { return mSyncTimer.interval(); }
    bool peakTimerActive() const { return mPeakTimer.isActive(); }
    int peakInterval() const { return mPeakTimer.interval(); }
    int forcedSchedule() const { return mForcedSchedule; }
    bool syncPending() const { return mSyncPending; }

protected:
    QDateTime currentDateTime() const override { return now; }
};

} // namespace

class AccountSchedulerTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void peakWindow_data();
    void peakWindow();
    void switchTimerFollowsTheWeek();
    void windowOutsideTheDayNeverSpins();

    void intervals();
    void resetRestartsOnlyWhenChanged();
    void resetLeavesARunningSyncAlone();

    void switchDropsTheForcedSchedule();

    void failureWhileAlwaysOnFallsBackToTenMinutes();
    void reportsAfterTheFirstAreWarnedAbout();
    void delayedSignalFiresOnceAndGoes();

private:
    TestEnvironment mEnv;
    MessageServerStandIn *mServer = nullptr;
};

void AccountSchedulerTest::initTestCase()
{
    qputenv("TZ", "UTC");
    tzset();
    // As the sync scheduler does before any account scheduler exists.
    qRegisterMetaType<Accounts::AccountId>("Accounts::AccountId");
    QVERIFY(mEnv.isValid());
    QVERIFY(mEnv.startSessionBus());
    QCOMPARE(Monday.dayOfWeek(), 1);
    QVERIFY(QMailStore::instance());
}

void AccountSchedulerTest::init()
{
    SyncSchedulerTestAccess::setAllowBackground(true);
    mServer = new MessageServerStandIn;
    QVERIFY(mServer->start());
}

void AccountSchedulerTest::cleanup()
{
    delete mServer;
    mServer = nullptr;
    QTRY_COMPARE(TavikServiceActionManager::instance()->runningActions(), 0);
    QTRY_COMPARE(ClosureBase::liveCount(), 0);
}

void AccountSchedulerTest::peakWindow_data()
{
    QTest::addColumn<int>("peakDays");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("end");
    QTest::addColumn<QDateTime>("time");
    QTest::addColumn<bool>("peak");

    QTest::newRow("before window") << 31 << 480 << 1020 << at(0, 7, 59, 59) << false;
    QTest::newRow("window start") << 31 << 480 << 1020 << at(0, 8, 0) << true;
    QTest::newRow("window end") << 31 << 480 << 1020 << at(4, 17, 0) << false;
    QTest::newRow("weekend") << 31 << 480 << 1020 << at(5, 10, 0) << false;
    QTest::newRow("night 23:00") << 1 << 1320 << 360 << at(0, 23, 0) << true;
    QTest::newRow("night 05:59") << 1 << 1320 << 360 << at(0, 5, 59) << true;
    QTest::newRow("night 06:00") << 1 << 1320 << 360 << at(0, 6, 0) << false;
    // The day tested is the day of the time itself.
    QTest::newRow("night, next day 05:59") << 1 << 1320 << 360 << at(1, 5, 59) << false;
    QTest::newRow("equal, other day") << 2 << 600 << 600 << at(2, 10, 0) << false;
    QTest::newRow("no peak days") << 0 << 0 << 1440 << at(3, 12, 0) << false;
}

void AccountSchedulerTest::peakWindow()
{
    QFETCH(int, peakDays);
    QFETCH(int, start);
    QFETCH(int, end);
    QFETCH(QDateTime, time);
    QFETCH(bool, peak);
    ClockedScheduler scheduler(1, peakDays, start, end, 15, 60);
    QCOMPARE(scheduler.isPeakTime(time), peak);
    QCOMPARE(scheduler.scheduleAt(time), peak ? 15 : 60);
}

void AccountSchedulerTest::switchTimerFollowsTheWeek()
{
    ClockedScheduler scheduler(1, 31, 480, 1020, 15, 60);
    scheduler.now = at(4, 18, 0);
    scheduler.startScheduler(false);
    QCOMPARE(scheduler.currentSchedule(), 60);
    QCOMPARE(scheduler.syncInterval(), 60 * 60000);

    struct Step
    {
        QDateTime fires;
        int schedule;
        QDateTime next;
    };
    const QList<Step> week = {
        { at(5, 0, 0), 60, at(5, 8, 0) },  { at(5, 8, 0), 60, at(5, 17, 0) },
        { at(5, 17, 0), 60, at(6, 8, 0) }, { at(6, 8, 0), 60, at(6, 17, 0) },
        { at(6, 17, 0), 60, at(7, 0, 0) }, { at(7, 0, 0), 60, at(7, 8, 0) },
        { at(7, 8, 0), 15, at(7, 17, 0) }, { at(7, 17, 0), 60, at(8, 8, 0) },
    };
    QDateTime expectedFire = at(5, 0, 0);
    QDateTime previous = scheduler.now;
    for (const Step &step : week) {
        QCOMPARE(step.fires, expectedFire);
        QVERIFY(scheduler.peakTimerActive());
        QCOMPARE(qint64(scheduler.peakInterval()), previous.secsTo(step.fires) * 1000);
        // The timer fires: the new period is in force and the next switch armed.
        scheduler.now = step.fires;
        scheduler.onPeakTime();
        QCOMPARE(scheduler.currentSchedule(), step.schedule);
        QCOMPARE(scheduler.syncInterval(), step.schedule * 60000);
        previous = step.fires;
        expectedFire = step.next;
    }
}

void AccountSchedulerTest::windowOutsideTheDayNeverSpins()
{
    // A start ten minutes before midnight, written as -10: late in the day its
    // next edge is already past, and the switch timer waits for midnight
    // instead of firing at once for ever.
    ClockedScheduler scheduler(16, 127, -10, 600, 15, 60);
    scheduler.now = at(0, 23, 55);
    LogCapture log;
    QCOMPARE(scheduler.updateSchedule(), 60);
    QVERIFY(scheduler.peakTimerActive());
    QCOMPARE(scheduler.peakInterval(), 5 * 60 * 1000);
    QVERIFY(log.contains("[Warning] account 16 : peak window -10 to 600 is outside the day"));

    // From midnight on the window's edges are ahead again.
    scheduler.now = at(1, 0, 0);
    QCOMPARE(scheduler.updateSchedule(), 15);
    QCOMPARE(qint64(scheduler.peakInterval()), at(1, 0, 0).secsTo(at(1, 10, 0)) * 1000);
}

void AccountSchedulerTest::intervals()
{
    ClockedScheduler scheduler(1, 0, 0, 0, 15, 15);
    const QDateTime before = QDateTime::currentDateTimeUtc();
    scheduler.setSchedule(15, false);
    QVERIFY(scheduler.syncTimerActive());
    QCOMPARE(scheduler.syncInterval(), 15 * 60000);
    // A coarse timer may move its deadline by a twentieth of the interval.
    const QDateTime next = scheduler.nextSyncTime();
    QVERIFY2(next >= before.addSecs(14 * 60)
                 && next <= QDateTime::currentDateTimeUtc().addSecs(16 * 60),
             qPrintable(next.toString(Qt::ISODateWithMs)));
    scheduler.setSchedule(0, false);
    QVERIFY(!scheduler.syncTimerActive());
    QVERIFY(!scheduler.nextSyncTime().isValid());
    {
        // -1 wins over a request for an immediate sync.
        LogCapture log;
        scheduler.setSchedule(-1, true);
        QVERIFY(!scheduler.syncTimerActive());
        // Codes the settings never produce arm nothing either.
        scheduler.setSchedule(-7, true);
        QVERIFY(!scheduler.syncTimerActive());
        QVERIFY(!log.contains("sync delayed"));
    }
    // An interval too long for a timer is cut to the longest one, never
    // wrapped round to a negative period.
    scheduler.setSchedule(100000, false);
    QVERIFY(scheduler.syncTimerActive());
    QCOMPARE(scheduler.syncInterval(), std::numeric_limits<int>::max() / 60000 * 60000);
}

void AccountSchedulerTest::resetRestartsOnlyWhenChanged()
{
    ClockedScheduler scheduler(8, 31, 480, 1020, 0, 60);
    scheduler.now = at(0, 9, 0);
    scheduler.startScheduler(false);
    scheduler.setForcedSchedule(-1);
    QVERIFY(scheduler.syncPending());
    LogCapture log;
    // The same values change nothing, even asked for an immediate sync.
    scheduler.reset(31, 480, 1020, 0, 60, true);
    QCOMPARE(log.lines(),
             QStringList({ "[Scheduler] Sync schedule for account 8 is not changed" }));
    QCOMPARE(scheduler.forcedSchedule(), -1);
    scheduler.reset(31, 480, 1020, 20, 60, false);
    QCOMPARE(scheduler.forcedSchedule(), -2);
    QVERIFY(!scheduler.syncPending());
    QCOMPARE(scheduler.currentSchedule(), 20);
    QCOMPARE(scheduler.syncInterval(), 20 * 60000);
    QVERIFY(log.contains("[Scheduler] stopping scheduler for account 8 ..."));
    QVERIFY(log.contains("[Scheduler] Account scheduler 8 reset: peak days = 31 , start peak =  "
                         "480 , end peak =  1020 , peak schedule =  20 , offpeak schedule =  60"));
}

void AccountSchedulerTest::resetLeavesARunningSyncAlone()
{
    mServer->setOutcome("RetrieveMessageLists", MessageServerStandIn::Never);
    const QMailAccountId account
        = StoreFixture::addAccount(QStringLiteral("Scheduled"), nullptr, true);
    QVERIFY(account.isValid());
    ClockedScheduler scheduler(account.toULongLong(), 0, 0, 0, 15, 15);
    scheduler.startScheduler(false);
    int successes = 0;
    scheduler.doSync(
        [&] {
            ++successes;
            scheduler.onSyncSucceed();
        },
        [&](const QMailServiceAction::Status &s) { scheduler.onSyncFailed(s); });
    // Only the message lists, the chain's last request, keep running.
    QTRY_COMPARE(mServer->methods().size(), 4);
    QTRY_COMPARE(mServer->actions().size(), 1);

    // New settings restart the schedule, but the sync already running still
    // blocks another one until it reports.
    scheduler.reset(0, 0, 0, 30, 30, false);
    QCOMPARE(scheduler.syncInterval(), 30 * 60000);
    QVERIFY(scheduler.isSyncInProgress());
    QVERIFY(mServer->finish(mServer->actions().first().id, 0));
    QTRY_COMPARE(successes, 1);
    QVERIFY(!scheduler.isSyncInProgress());
}

void AccountSchedulerTest::switchDropsTheForcedSchedule()
{
    QSharedPointer<ClockedScheduler> scheduler(new ClockedScheduler(12, 31, 480, 1020, 15, 60));
    SyncScheduler owner;
    SyncSchedulerTestAccess::addScheduler(owner, scheduler);
    scheduler->now = at(0, 7, 0);
    scheduler->startScheduler(false);
    scheduler->setForcedSchedule(10);
    QCOMPARE(scheduler->currentSchedule(), 10);
    scheduler->now = at(0, 8, 0);
    LogCapture log;
    scheduler->onPeakTime();
    QCOMPARE(scheduler->forcedSchedule(), -2);
    QCOMPARE(scheduler->currentSchedule(), 15);
    QCOMPARE(scheduler->syncInterval(), 15 * 60000);
    // A switch syncs at once in the new period.
    QCOMPARE(log.lines().value(0), QString("[Scheduler] account 12 : peak time"));
    QVERIFY(log.contains("[Scheduler] account 12 : sync delayed for 1 seconds..."));

    // So does a clock set into another period.
    scheduler->setForcedSchedule(10);
    scheduler->now = at(0, 17, 0);
    log.clear();
    owner.onTimeSettingsChanged();
    QCOMPARE(scheduler->forcedSchedule(), -2);
    QCOMPARE(scheduler->syncInterval(), 60 * 60000);
    QVERIFY(log.contains("[Scheduler] account 12 : sync delayed for 1 seconds..."));
}

void AccountSchedulerTest::failureWhileAlwaysOnFallsBackToTenMinutes()
{
    mServer->setOutcome("RetrieveFolderList", MessageServerStandIn::Fail, 1034, "Offline");
    const QMailAccountId account
        = StoreFixture::addAccount(QStringLiteral("Scheduled"), nullptr, false);
    const Accounts::AccountId id = account.toULongLong();
    ClockedScheduler scheduler(id, 0, 0, 0, 0, 0);
    scheduler.startScheduler(false);
    LogCapture log;
    scheduler.doSync([&] { scheduler.onSyncSucceed(); },
                     [&](const QMailServiceAction::Status &s) { scheduler.onSyncFailed(s); });
    QTRY_VERIFY(!scheduler.isSyncInProgress());
    QVERIFY(log.contains(
        QString("[Scheduler] sync failed in account %1 with status 1034 \"Offline\"").arg(id)));
    QVERIFY(scheduler.syncPending());
    QCOMPARE(scheduler.forcedSchedule(), 10);
    QCOMPARE(scheduler.currentSchedule(), 10);
    QVERIFY(scheduler.syncTimerActive());
    QCOMPARE(scheduler.syncInterval(), 10 * 60000);
}

void AccountSchedulerTest::reportsAfterTheFirstAreWarnedAbout()
{
    mServer->setOutcome("ExportUpdates", MessageServerStandIn::Fail, 1034);
    mServer->setOutcome("TransmitMessages", MessageServerStandIn::Fail, 1033);
    const QMailAccountId account
        = StoreFixture::addAccount(QStringLiteral("Scheduled"), nullptr, true);
    ClockedScheduler scheduler(account.toULongLong(), 0, 0, 0, 15, 15);
    scheduler.startScheduler(false);
    int successes = 0;
    int failures = 0;
    LogCapture log;
    scheduler.doSync(
        [&] {
            ++successes;
            scheduler.onSyncSucceed();
        },
        [&](const QMailServiceAction::Status &s) {
            ++failures;
            scheduler.onSyncFailed(s);
        });
    QTRY_COMPARE(successes, 1);
    QCOMPARE(failures, 2);
    QVERIFY(!scheduler.isSyncInProgress());
    // The first report (the failed export) ended the sync; the others are warned about.
    QCOMPARE(log.count("with status 1034"), 1);
    QCOMPARE(log.count("got sync failed but sync is not in progress! Skipping it."), 1);
    QCOMPARE(log.count("got sync succeeded but sync is not in progress! Skipping it."), 1);
    // A periodic schedule owes the sync but is not forced to another one.
    QVERIFY(scheduler.syncPending());
    QCOMPARE(scheduler.forcedSchedule(), -2);
    QCOMPARE(scheduler.currentSchedule(), 15);
}

void AccountSchedulerTest::delayedSignalFiresOnceAndGoes()
{
    QObject owner;
    QPointer<DelayedSignal> delayed = new DelayedSignal(1, 42, &owner);
    QSignalSpy fired(delayed.data(), &DelayedSignal::timeout);
    QVERIFY(fired.wait(5000));
    QCOMPARE(fired.first().first().value<Accounts::AccountId>(), 42u);
    QTRY_VERIFY(delayed.isNull());
    QCOMPARE(owner.children().size(), 0);
}

QTEST_GUILESS_MAIN(AccountSchedulerTest)
#include "tst_accountscheduler.moc"
