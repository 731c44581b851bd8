#include "accountsfixture.h"
#include "logcapture.h"
#include "messageserverstandin.h"
#include "platform/closurebase.h"
#include "platform/tavikserviceactionmanager.h"
#include "storefixture.h"
#include "syncscheduler/syncscheduler.h"
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
};

class SyncSchedulerSyncTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void unknownAccountIsSynchronisedWithLogOnlyHandlers();
    void scheduledAccountGetsItsOutcome();
    void secondSyncWhileRunningIsDropped();
    void outcomesForUnknownAccountsAreWarnedAbout();
    void outcomeAfterTeardownIsDropped();

private:
    TestEnvironment mEnv;
    MessageServerStandIn *mServer = nullptr;
};

void SyncSchedulerSyncTest::initTestCase()
{
    QVERIFY(mEnv.isValid());
    QVERIFY(mEnv.startSessionBus());
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

void SyncSchedulerSyncTest::unknownAccountIsSynchronisedWithLogOnlyHandlers()
{
    const QMailAccountId account
        = StoreFixture::addAccount(QStringLiteral("Scheduled"), nullptr, true);
    QVERIFY(account.isValid());
    const Accounts::AccountId id = account.toULongLong();
    mServer->setOutcome("RetrieveFolderList", MessageServerStandIn::Fail, 1034, "No route");
    SyncScheduler scheduler;
    LogCapture log;
    SyncSchedulerTestAccess::sync(scheduler, id);
    QVERIFY(log.contains(QString("[Scheduler] Starting synchronization for account %1").arg(id)));
    QVERIFY(log.contains(QString("[Warning] Synchronizing an unknown account %1").arg(id)));
    QTRY_VERIFY(log.contains("[Critical] Sync error 1034 \"No route\""));
    QCOMPARE(mServer->methods(),
             QStringList({ "ExportUpdates", "TransmitMessages", "RetrieveFolderList" }));
}

void SyncSchedulerSyncTest::scheduledAccountGetsItsOutcome()
{
    const QMailAccountId account
        = StoreFixture::addAccount(QStringLiteral("Scheduled"), nullptr, true);
    const Accounts::AccountId id = account.toULongLong();
    SyncScheduler owner;
    QSharedPointer<AccountScheduler> scheduler(new AccountScheduler(id, 0, 0, 0, 0, 0));
    SyncSchedulerTestAccess::addScheduler(owner, scheduler);
    scheduler->startScheduler(false);
    scheduler->setForcedSchedule(10);

    LogCapture log;
    owner.onSync(id);
    QVERIFY(scheduler->isSyncInProgress());
    QTRY_VERIFY(!scheduler->isSyncInProgress());
    QVERIFY(log.contains(QString("[Scheduler] sync succeeded in account %1").arg(id)));
    // The success restored the normal (always-on) schedule.
    QCOMPARE(scheduler->currentSchedule(), 0);
    QVERIFY(!log.contains("Synchronizing an unknown account"));
    QCOMPARE(mServer->methods().last(), QString("RetrieveMessageLists"));
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

QTEST_GUILESS_MAIN(SyncSchedulerSyncTest)
#include "tst_syncscheduler.moc"
