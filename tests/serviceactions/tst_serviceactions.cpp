#include "logcapture.h"
#include "messageserverstandin.h"
#include "platform/closurebase.h"
#include "platform/tavikserviceactionmanager.h"
#include "testenvironment.h"
#include "waituntil.h"

#include <qmailmessagesortkey.h>

#include <QPointer>
#include <QtTest>

namespace {

struct Outcome
{
    QMailServiceAction::Activity activity = QMailServiceAction::Pending;
    QMailServiceAction::Status status;
};

// Collects the manager's reports for one serial.
class Reports : public QObject
{
    Q_OBJECT
public:
    explicit Reports(TavikServiceActionManager::Serial serial)
        : mSerial(serial)
    {
        connect(TavikServiceActionManager::instance(), &TavikServiceActionManager::activityChanged,
                this, &Reports::onActivityChanged);
    }

    bool waitForEnd()
    {
        return waitUntil([this] { return ended(); });
    }
    bool ended() const
    {
        return !list.isEmpty()
            && (list.last().activity == QMailServiceAction::Successful
                || list.last().activity == QMailServiceAction::Failed);
    }
    Outcome last() const { return list.value(list.size() - 1); }

    QList<Outcome> list;

private Q_SLOTS:
    void onActivityChanged(TavikServiceActionManager::Serial serial,
                           QMailServiceAction::Activity activity, QMailServiceAction::Status status)
    {
        if (serial == mSerial) {
            list.append({ activity, status });
        }
    }

private:
    TavikServiceActionManager::Serial mSerial;
};

class RecordingClosure : public ClosureBase
{
public:
    explicit RecordingClosure(QList<QMailServiceAction::Status> *log)
        : mLog(log)
    {
        connect(TavikServiceActionManager::instance(),
                SIGNAL(activityChanged(TavikServiceActionManager::Serial,
                                       QMailServiceAction::Activity, QMailServiceAction::Status)),
                this,
                SLOT(onActivityChanged(TavikServiceActionManager::Serial,
                                       QMailServiceAction::Activity, QMailServiceAction::Status)),
                Qt::UniqueConnection);
    }

protected:
    void complete(const QMailServiceAction::Status &status) override { mLog->append(status); }

private:
    QList<QMailServiceAction::Status> *mLog;
};

} // namespace

// The service-action manager against the stand-in message server, which
// serves the adaptor generated from the interface's XML.
class ServiceActionsTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void requestsCarryTheirArguments();
    void outcomes_data();
    void outcomes();
    void serverLeavingFailsRunningActions();
    void closureCompletesOnceAllItsActionsHaveEnded();
    void verboseModeLogsRequestsAndOutcomes();

private:
    TestEnvironment mEnv;
    MessageServerStandIn *mServer = nullptr;
};

void ServiceActionsTest::initTestCase()
{
    QVERIFY(mEnv.isValid());
    QVERIFY(mEnv.startSessionBus());
}

void ServiceActionsTest::init()
{
    mServer = new MessageServerStandIn;
    QVERIFY(mServer->start());
}

void ServiceActionsTest::cleanup()
{
    delete mServer;
    mServer = nullptr;
    QVERIFY(waitUntil([] { return TavikServiceActionManager::instance()->runningActions() == 0; }));
}

void ServiceActionsTest::requestsCarryTheirArguments()
{
    auto *manager = TavikServiceActionManager::instance();
    const QMailAccountId account(7);

    const auto s1 = manager->exportUpdates(account);
    const auto s2 = manager->send(account);
    const auto s3 = manager->retrieveFolderList(account, QMailFolderId(), true);
    const auto s4 = manager->retrieveMessageLists(account, { QMailFolderId(3), QMailFolderId(9) },
                                                  20, QMailMessageSortKey());
    const auto s5 = manager->retrieveMessageLists(
        account, { QMailFolderId(3) }, 5,
        QMailMessageSortKey::timeStamp(Qt::DescendingOrder) & QMailMessageSortKey::id());
    QCOMPARE(QSet<quint32>({ s1, s2, s3, s4, s5 }).size(), 5);
    Reports last(s5);
    QVERIFY(last.waitForEnd());

    const auto requests = mServer->requests();
    QCOMPARE(mServer->methods(),
             QStringList({ "ExportUpdates", "TransmitMessages", "RetrieveFolderList",
                           "RetrieveMessageLists", "RetrieveMessageLists" }));
    for (const auto &request : requests) {
        QCOMPARE(request.accountId, quint64(7));
    }
    QCOMPARE(requests.at(2).folderId, quint64(0));
    QCOMPARE(requests.at(2).descending, true);
    QCOMPARE(requests.at(3).folderIds, QList<quint64>({ 3, 9 }));
    QCOMPARE(requests.at(3).minimum, 20u);
    QVERIFY(requests.at(3).sort.isEmpty());
    QCOMPARE(requests.at(4).minimum, 5u);
    const QList<QPair<int, bool>> sort = { qMakePair(int(QMailMessageSortKey::TimeStamp), false),
                                           qMakePair(int(QMailMessageSortKey::Id), true) };
    QCOMPARE(requests.at(4).sort, sort);
}

void ServiceActionsTest::outcomes_data()
{
    QTest::addColumn<bool>("serverUp");
    QTest::addColumn<bool>("signalsFirst");
    QTest::addColumn<int>("serverCode"); // -1: the action succeeds
    QTest::addColumn<QString>("serverText");
    QTest::addColumn<int>("activity");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text"); // the start of the final status text

    QTest::newRow("success") << true << false << -1 << "" << 2 << 0 << "";
    QTest::newRow("failure carries the server's code")
        << true << false << 1034 << "Cannot connect to imap.example.org" << 3 << 1034
        << "Cannot connect to imap.example.org";
    QTest::newRow("a failure without code is never a success")
        << true << false << 0 << "Broken" << 3 << 1025 << "Broken";
    QTest::newRow("signals before the answer are not lost")
        << true << true << 1038 << "Bad address" << 3 << 1038 << "Bad address";
    QTest::newRow("no server") << false << false << -1 << "" << 3 << 1025
                               << "The message server did not take the request";
}

void ServiceActionsTest::outcomes()
{
    QFETCH(bool, serverUp);
    QFETCH(bool, signalsFirst);
    QFETCH(int, serverCode);
    QFETCH(QString, serverText);
    QFETCH(int, activity);
    QFETCH(int, code);
    QFETCH(QString, text);
    if (!serverUp) {
        mServer->quit();
    }
    mServer->setSignalsBeforeReply(signalsFirst);
    if (serverCode >= 0) {
        mServer->setOutcome("TransmitMessages", MessageServerStandIn::Fail, serverCode, serverText);
    }
    Reports reports(TavikServiceActionManager::instance()->send(QMailAccountId(4)));
    QVERIFY(reports.waitForEnd());
    QCOMPARE(int(reports.last().activity), activity);
    QCOMPARE(int(reports.last().status.errorCode), code);
    QVERIFY2(reports.last().status.text.startsWith(text), qPrintable(reports.last().status.text));
    QCOMPARE(reports.last().status.accountId, QMailAccountId(4));
}

void ServiceActionsTest::serverLeavingFailsRunningActions()
{
    mServer->setOutcome("RetrieveMessageLists", MessageServerStandIn::Never);
    auto *manager = TavikServiceActionManager::instance();
    Reports reports(manager->retrieveMessageLists(QMailAccountId(3), { QMailFolderId(1) }, 20,
                                                  QMailMessageSortKey()));
    QVERIFY(waitUntil([&] { return reports.list.size() == 1; })); // in progress
    QCOMPARE(manager->runningActions(), 1);

    mServer->quit();
    QVERIFY(reports.waitForEnd());
    QCOMPARE(reports.last().activity, QMailServiceAction::Failed);
    QCOMPARE(reports.last().status.errorCode, QMailServiceAction::Status::ErrFrameworkFault);
    QCOMPARE(reports.last().status.text,
             QString("The message server quit before the action ended"));

    // A server that comes back serves new requests.
    QVERIFY(mServer->start());
    mServer->setOutcome("RetrieveMessageLists", MessageServerStandIn::Succeed);
    Reports again(manager->retrieveMessageLists(QMailAccountId(3), { QMailFolderId(1) }, 20,
                                                QMailMessageSortKey()));
    QVERIFY(again.waitForEnd());
    QCOMPARE(again.last().activity, QMailServiceAction::Successful);
}

void ServiceActionsTest::closureCompletesOnceAllItsActionsHaveEnded()
{
    mServer->setOutcome("ExportUpdates", MessageServerStandIn::Never);
    mServer->setOutcome("TransmitMessages", MessageServerStandIn::Never);
    auto *manager = TavikServiceActionManager::instance();
    QList<QMailServiceAction::Status> completed;
    QPointer<RecordingClosure> closure = new RecordingClosure(&completed);
    Reports other(manager->send(QMailAccountId(8)));
    const auto first = manager->exportUpdates(QMailAccountId(8));
    const auto second = manager->send(QMailAccountId(8));
    closure->mSerials << first << second;
    Reports firstReports(first);
    QVERIFY(waitUntil([&] { return mServer->actions().size() == 3; }));

    // The end of an action it does not track leaves it waiting.
    QVERIFY(mServer->finish(mServer->actions().at(0).id, 0));
    QVERIFY(other.waitForEnd());
    // The first failure decides, but only once every action has ended.
    QVERIFY(mServer->finish(mServer->actions().at(0).id, 1029, "Login refused"));
    QVERIFY(firstReports.waitForEnd());
    QVERIFY(completed.isEmpty());
    QVERIFY(mServer->finish(mServer->actions().at(0).id, 0));
    QVERIFY(waitUntil([&] { return closure.isNull(); }));
    QCOMPARE(completed.size(), 1);
    QCOMPARE(completed.first().errorCode, QMailServiceAction::Status::ErrLoginFailed);
    QCOMPARE(completed.first().text, QString("Login refused"));
}

void ServiceActionsTest::verboseModeLogsRequestsAndOutcomes()
{
    mServer->setOutcome("ExportUpdates", MessageServerStandIn::Fail, 1034, "No route");
    auto *manager = TavikServiceActionManager::instance();
    LogCapture log;
    Reports quiet(manager->exportUpdates(QMailAccountId(6)));
    QVERIFY(quiet.waitForEnd());
    manager->setVerbose(true);
    const auto serial = manager->exportUpdates(QMailAccountId(6));
    Reports reports(serial);
    QVERIFY(reports.waitForEnd());
    manager->setVerbose(false);

    const QStringList lines = log.lines().filter("[ServiceActions]");
    QCOMPARE(lines.first(),
             QString("[ServiceActions] request %1 \"ExportUpdates\" for account 6").arg(serial));
    QCOMPARE(lines.last(),
             QString("[ServiceActions] action %1 is \"failed\" with code 1034 \"No route\"")
                 .arg(serial));
}

QTEST_GUILESS_MAIN(ServiceActionsTest)
#include "tst_serviceactions.moc"
