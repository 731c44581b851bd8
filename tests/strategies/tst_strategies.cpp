#include "closurebase.h"
#include "logcapture.h"
#include "messageserverstandin.h"
#include "tavikbackendstrategies.h"
#include "tavikserviceactionmanager.h"
#include "testenvironment.h"

#include <qmailaccount.h>
#include <qmailfolder.h>
#include <qmailstore.h>

#include <QtTest>

#include <functional>

using namespace TavikBackendStrategy;

namespace {

typedef std::function<void()> Success;
typedef std::function<void(const QMailServiceAction::Status &)> Failure;

// The outcome handlers of one synchronisation.
struct Outcomes
{
    int successes = 0;
    QList<QMailServiceAction::Status> failures;

    Success success()
    {
        return [this] { ++successes; };
    }
    Failure failure()
    {
        return [this](const QMailServiceAction::Status &status) { failures.append(status); };
    }
};

void settle(int rounds = 30)
{
    for (int i = 0; i < rounds; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

} // namespace

class StrategiesTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void firstSyncSetsUpTheInbox();
    void laterSyncIssuesExportSendAndFolderListAtOnce();
    void failingFolderListStopsTheChain();
    void unloadableInboxIsAConfigurationError();
    void serverDyingMidActionRunsTheFailureHandler();
    void logOnlyHandlersReportAFailureAsCritical();

private:
    enum Inbox { NoInbox, PlainInbox, FavouriteInbox };
    // An account with two folders, "INBOX" and "Lists"; the first is its
    // inbox unless NoInbox, and a favourite folder with FavouriteInbox.
    QMailAccountId addAccount(Inbox inboxKind);
    QMailFolderId inboxOf(const QMailAccountId &id);

    TestEnvironment mEnv;
    MessageServerStandIn *mServer = nullptr;
    QScopedPointer<LogCapture> mLog;
};

void StrategiesTest::initTestCase()
{
    QVERIFY(mEnv.isValid());
    QVERIFY(mEnv.startSessionBus());
    QVERIFY(QMailStore::instance());
    QCOMPARE(QMailStore::initializationState(), QMailStore::Initialized);
}

void StrategiesTest::init()
{
    mLog.reset(); // one capture at a time
    mLog.reset(new LogCapture);
    mServer = new MessageServerStandIn;
    QVERIFY(mServer->start());
}

void StrategiesTest::cleanup()
{
    delete mServer;
    mServer = nullptr;
    QTRY_COMPARE(TavikServiceActionManager::instance()->runningActions(), 0);
    // Every closure has been disposed of once its chain ended.
    QTRY_COMPARE(ClosureBase::liveCount(), 0);
}

QMailAccountId StrategiesTest::addAccount(Inbox inboxKind)
{
    QMailAccount account;
    account.setName(QStringLiteral("Test"));
    if (!QMailStore::instance()->addAccount(&account)) {
        return QMailAccountId();
    }
    QMailFolder inbox(QStringLiteral("INBOX"), QMailFolderId(), account.id());
    inbox.setStatus(QMailFolder::Favourite, inboxKind == FavouriteInbox);
    QMailFolder other(QStringLiteral("Lists"), QMailFolderId(), account.id());
    if (!QMailStore::instance()->addFolder(&inbox) || !QMailStore::instance()->addFolder(&other)) {
        return QMailAccountId();
    }
    if (inboxKind != NoInbox) {
        account.setStandardFolder(QMailFolder::InboxFolder, inbox.id());
        QMailStore::instance()->updateAccount(&account);
    }
    return account.id();
}

QMailFolderId StrategiesTest::inboxOf(const QMailAccountId &id)
{
    return QMailAccount(id).standardFolder(QMailFolder::InboxFolder);
}

void StrategiesTest::firstSyncSetsUpTheInbox()
{
    const QMailAccountId account = addAccount(PlainInbox);
    QVERIFY(account.isValid());
    const QMailFolderId inbox = inboxOf(account);
    QVERIFY(inbox.isValid());
    QVERIFY(TavikUtils::getFavouriteFolders(account).isEmpty());
    mServer->setOutcome("RetrieveFolderList", MessageServerStandIn::Never);

    Outcomes outcomes;
    SyncAccount<Success, Failure>(outcomes.success(), outcomes.failure())(account, QMailFolderId());
    QTRY_COMPARE(mServer->actions().size(), 1);
    settle();
    // Nothing but the folder list until it has arrived.
    QCOMPARE(mServer->methods(), QStringList({ "RetrieveFolderList" }));
    QCOMPARE(mServer->requests().first().accountId, account.toULongLong());
    QCOMPARE(mServer->requests().first().folderId, quint64(0));
    QCOMPARE(mServer->requests().first().descending, true);
    QVERIFY(!(QMailFolder(inbox).status() & QMailFolder::Favourite));

    QVERIFY(mServer->finish(mServer->actions().first().id, 0));
    QTRY_COMPARE(outcomes.successes, 1);
    QVERIFY(outcomes.failures.isEmpty());
    QCOMPARE(mServer->methods(), QStringList({ "RetrieveFolderList", "RetrieveMessageLists" }));
    const auto lists = mServer->requests().at(1);
    QCOMPARE(lists.accountId, account.toULongLong());
    QCOMPARE(lists.folderIds, QList<quint64>({ inbox.toULongLong() }));
    QCOMPARE(lists.minimum, 20u);
    QVERIFY(lists.sort.isEmpty());
    // The inbox is a favourite in the store now.
    QVERIFY(QMailFolder(inbox).status() & QMailFolder::Favourite);
    QCOMPARE(TavikUtils::getFavouriteFolders(account), QList<QMailFolderId>({ inbox }));

    // The next synchronisation of the account takes the favourites' path.
    mServer->clearRequests();
    mServer->setOutcome("RetrieveFolderList", MessageServerStandIn::Succeed);
    SyncAccount<Success, Failure>(outcomes.success(), outcomes.failure())(account, QMailFolderId());
    QTRY_COMPARE(outcomes.successes, 2);
    QVERIFY(outcomes.failures.isEmpty());
    QCOMPARE(mServer->methods(),
             QStringList({ "ExportUpdates", "TransmitMessages", "RetrieveFolderList",
                           "RetrieveMessageLists" }));
    QCOMPARE(mServer->requests().at(2).folderId, quint64(0));
    QCOMPARE(mServer->requests().at(2).descending, true);
    QCOMPARE(mServer->requests().at(3).folderIds, QList<quint64>({ inbox.toULongLong() }));
    QCOMPARE(mServer->requests().at(3).minimum, 20u);
}

void StrategiesTest::laterSyncIssuesExportSendAndFolderListAtOnce()
{
    const QMailAccountId account = addAccount(FavouriteInbox);
    QVERIFY(account.isValid());
    mServer->setOutcome("ExportUpdates", MessageServerStandIn::Never);
    mServer->setOutcome("TransmitMessages", MessageServerStandIn::Never);
    mServer->setOutcome("RetrieveFolderList", MessageServerStandIn::Never);

    Outcomes outcomes;
    SyncAccount<Success, Failure>(outcomes.success(), outcomes.failure())(account, QMailFolderId());
    QTRY_COMPARE(mServer->actions().size(), 3);
    settle();
    QCOMPARE(mServer->methods(),
             QStringList({ "ExportUpdates", "TransmitMessages", "RetrieveFolderList" }));
    // The folder list, not export or send, holds the chain.
    QVERIFY(mServer->finish(mServer->actions().at(2).id, 0));
    QTRY_COMPARE(mServer->requests().size(), 4);
    QCOMPARE(mServer->requests().at(3).method, QString("RetrieveMessageLists"));
    QCOMPARE(mServer->requests().at(3).folderIds,
             QList<quint64>({ inboxOf(account).toULongLong() }));
    QCOMPARE(mServer->requests().at(3).minimum, 20u);
    QVERIFY(mServer->requests().at(3).sort.isEmpty());
    QTRY_COMPARE(outcomes.successes, 1);
    QVERIFY(outcomes.failures.isEmpty());

    // Export and send end later; their success is never reported.
    QVERIFY(mServer->finish(mServer->actions().at(0).id, 0));
    QVERIFY(mServer->finish(mServer->actions().at(0).id, 0));
    settle();
    QCOMPARE(outcomes.successes, 1);
    QVERIFY(outcomes.failures.isEmpty());
}

void StrategiesTest::failingFolderListStopsTheChain()
{
    const QMailAccountId account = addAccount(FavouriteInbox);
    QVERIFY(account.isValid());
    mServer->setOutcome("RetrieveFolderList", MessageServerStandIn::Fail, 1029, "Login refused");

    Outcomes outcomes;
    SyncAccount<Success, Failure>(outcomes.success(), outcomes.failure())(account, QMailFolderId());
    QTRY_COMPARE(outcomes.failures.size(), 1);
    settle();
    QCOMPARE(outcomes.failures.size(), 1);
    QCOMPARE(outcomes.failures.first().errorCode, QMailServiceAction::Status::ErrLoginFailed);
    QCOMPARE(outcomes.failures.first().text, QString("Login refused"));
    QCOMPARE(outcomes.successes, 0);
    QVERIFY(!mServer->methods().contains("RetrieveMessageLists"));
}

void StrategiesTest::unloadableInboxIsAConfigurationError()
{
    const QMailAccountId account = addAccount(NoInbox);
    QVERIFY(account.isValid());
    Outcomes outcomes;
    SyncAccount<Success, Failure>(outcomes.success(), outcomes.failure())(account, QMailFolderId());
    QTRY_COMPARE(outcomes.failures.size(), 1);
    settle();
    const QMailServiceAction::Status status = outcomes.failures.first();
    QCOMPARE(status.errorCode, QMailServiceAction::Status::ErrConfiguration);
    QVERIFY(status.text.isEmpty());
    QCOMPARE(status.accountId, account);
    QVERIFY(!status.folderId.isValid());
    QVERIFY(!status.messageId.isValid());
    QCOMPARE(outcomes.successes, 0);
    QCOMPARE(mServer->methods(), QStringList({ "RetrieveFolderList" }));
    QVERIFY(TavikUtils::getFavouriteFolders(account).isEmpty());
    const QStringList warned = mLog->lines().filter(
        QRegularExpression("^\\[Warning\\] .*InitInbox.*TavikUtils::getInboxFolder have "
                           "return an invalid id$"));
    QCOMPARE(warned.size(), 1);
}

void StrategiesTest::serverDyingMidActionRunsTheFailureHandler()
{
    const QMailAccountId account = addAccount(PlainInbox);
    QVERIFY(account.isValid());
    mServer->setOutcome("RetrieveFolderList", MessageServerStandIn::Never);
    Outcomes outcomes;
    SyncAccount<Success, Failure>(outcomes.success(), outcomes.failure())(account, QMailFolderId());
    QTRY_COMPARE(mServer->actions().size(), 1);
    settle();
    QVERIFY(outcomes.failures.isEmpty());
    QCOMPARE(ClosureBase::liveCount(), 1);

    mServer->quit();
    QTRY_COMPARE(outcomes.failures.size(), 1);
    QCOMPARE(outcomes.failures.first().errorCode, QMailServiceAction::Status::ErrFrameworkFault);
    QCOMPARE(outcomes.successes, 0);
}

void StrategiesTest::logOnlyHandlersReportAFailureAsCritical()
{
    const QMailAccountId account = addAccount(PlainInbox);
    QVERIFY(account.isValid());
    mServer->setOutcome("RetrieveFolderList", MessageServerStandIn::Fail, 1034, "No route");
    SyncAccount<IgnoreSuccess, LogError>(IgnoreSuccess(), LogError())(account, QMailFolderId());
    QTRY_VERIFY(mLog->contains("[Critical] Sync error 1034 \"No route\""));

    // A status without error is logged as the end of a sync.
    LogError()(QMailServiceAction::Status(QMailServiceAction::Status::ErrNoError, "done"));
    QVERIFY(mLog->contains("[Scheduler] Sync end: \"done\""));
}

QTEST_GUILESS_MAIN(StrategiesTest)
#include "tst_strategies.moc"
