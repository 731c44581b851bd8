#include "actionswatcher.h"
#include "jobviewserverstandin.h"
#include "logcapture.h"
#include "messageserverstandin.h"
#include "qtn_mail.h"
#include "storefixture.h"
#include "testenvironment.h"
#include "transfermanager.h"
#include "waituntil.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QSignalSpy>
#include <QtTest>

// The transfer manager through the real transfer layer and a stand-in
// job-progress server; the action watcher against a stand-in message server.
class TransferTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void stateTable_data();
    void stateTable();
    void failureTextOnAFreshEntry();
    void cancelFromTheViewEndsWithTheCancelledActions();
    void withoutTheServiceTheManagerIsInert();
    void watcherTurnsActionsIntoAccountTransfers();

private:
    // Runs "add 1; start 1; prog 1 3 4; end 1 0; del 1" on the manager.
    void play(TransferManager &manager, const QString &script);
    bool expectCalls(const QStringList &expected);

    TestEnvironment mEnv;
    JobViewServerStandIn *mJobs = nullptr;
};

namespace {

QString view(int number, const QString &name = "Work")
{
    return QStringLiteral("requestView(%1, icon-m-content-email, 1) -> %2").arg(name).arg(number);
}

// What every new entry shows first: active at 0, then the small start fraction.
QStringList opened(int number, const QString &name = "Work")
{
    return { view(number, name), QStringLiteral("%1: setPercent(0)").arg(number),
             QStringLiteral("%1: setPercent(1)").arg(number) };
}

QStringList failure(int number, const QString &detail)
{
    return { QStringLiteral("%1: setInfoMessage(Mail transfer failed)").arg(number),
             QStringLiteral("%1: setDescriptionField(0, Mail transfer failed, %2)")
                 .arg(number)
                 .arg(detail) };
}

} // namespace

void TransferTest::initTestCase()
{
    QVERIFY(mEnv.isValid());
    QVERIFY(mEnv.startSessionBus());
    QVERIFY(qtn_mail::init_translation_package());
    QCOMPARE(StoreFixture::addAccount("Work"), QMailAccountId(1));
    QCOMPARE(StoreFixture::addAccount("Home"), QMailAccountId(2));
}

void TransferTest::init()
{
    mJobs = new JobViewServerStandIn;
    QVERIFY(mJobs->start());
}

void TransferTest::cleanup()
{
    delete mJobs;
    mJobs = nullptr;
}

void TransferTest::play(TransferManager &manager, const QString &script)
{
    for (const QString &step : script.split(';', Qt::SkipEmptyParts)) {
        const QStringList word = step.simplified().split(' ');
        const QMailAccountId id(word.value(1).toULongLong());
        if (word[0] == "add") {
            manager.onAccountAdded(id);
        } else if (word[0] == "del") {
            manager.onAccountDeleted(id);
        } else if (word[0] == "start") {
            manager.onTransferStarted(id, true);
        } else if (word[0] == "prog") {
            manager.onTransferProgress(id, word.value(2).toUInt(), word.value(3).toUInt());
        } else if (word[0] == "quit") {
            // Once every view asked for has come (its first percent follows it).
            QVERIFY(waitUntil([&] {
                const QStringList calls = mJobs->calls();
                const int views = calls.filter("requestView").size();
                return views > 0 && calls.filter(": setPercent(1)").size() == views;
            }));
            QVERIFY(QMetaObject::invokeMethod(QCoreApplication::instance(), "aboutToQuit"));
        } else if (word[0] == "end") {
            manager.onTransferFinished(
                id, QMailServiceAction::Status::ErrorCode(word.value(2).toInt()));
        } else {
            QFAIL(qPrintable("unknown step " + step));
        }
    }
}

bool TransferTest::expectCalls(const QStringList &expected)
{
    // Views come and go independently: calls are in order within each view.
    auto byView = [](QStringList calls) {
        auto number = [](const QString &call) {
            return call.startsWith("requestView") ? call.section("-> ", 1).toInt()
                                                  : call.section(':', 0, 0).toInt();
        };
        std::stable_sort(calls.begin(), calls.end(),
                         [&](const QString &a, const QString &b) { return number(a) < number(b); });
        return calls;
    };
    // Each list ends with a call that only comes after every call before it.
    if (!waitUntil([&] { return mJobs->calls().size() >= expected.size(); })) {
        qWarning() << "calls so far:" << mJobs->calls();
        return false;
    }
    [&] { QCOMPARE(byView(mJobs->calls()), byView(expected)); }();
    return !QTest::currentTestFailed();
}

void TransferTest::stateTable_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QStringList>("calls");

    QTest::newRow("progress shows as percent; 0 of nothing is ignored; success closes")
        << "add 1; start 1; prog 1 3 4; prog 1 5 4; prog 1 3 0; prog 1 1 2; end 1 0"
        << opened(1)
            + QStringList { "1: setPercent(75)", "1: setPercent(100)", "1: setPercent(50)",
                            "1: terminate()" };
    QTest::newRow("a failure stays in view with its progress; a success closes it")
        << "add 1; start 1; end 1 1038; prog 1 1 2; end 1 0; start 1"
        << opened(1) + failure(1, "Invalid e-mail address")
            + QStringList { "1: setPercent(50)", "1: terminate()" } + opened(2);
    QTest::newRow("a second failure shows its text; a restart reuses the view")
        << "add 1; start 1; end 1 1027; end 1 1040; start 1; end 1 1030"
        << opened(1) + failure(1, "Something went wrong with the mail transfer.")
            + failure(1, "The mail server did not answer in time.")
            + QStringList { "1: setInfoMessage()", "1: clearDescriptionField(0)",
                            "1: setPercent(0)", "1: setPercent(1)", "1: terminate()" };
    QTest::newRow("quitting ends the entries still in view, failed or not")
        << "add 1; start 1; end 1 1024; add 2; start 2; quit"
        << opened(1) + failure(1, "Something went wrong with the mail transfer.")
            + QStringList { "1: terminate()" } + opened(2, "Home")
            + QStringList { "2: terminate()" };
    QTest::newRow("two actions share one entry; the first end closes it")
        << "add 1; start 1; start 1; end 1 0; prog 1 1 4"
        << opened(1) + QStringList { "1: setPercent(0)", "1: setPercent(1)", "1: terminate()" }
            + opened(2) + QStringList { "2: setPercent(25)" };
    QTest::newRow("progress alone opens an entry; a start resets it")
        << "add 1; prog 1 1 2; start 1"
        << opened(1) + QStringList { "1: setPercent(50)", "1: setPercent(0)", "1: setPercent(1)" };
    QTest::newRow("deletion of a failed entry closes it and forgets the account")
        << "add 1; start 1; end 1 1035; del 1; start 1; prog 1 1 2; add 2; start 2"
        << opened(1) + failure(1, "The mail server is in use by another connection.")
            + QStringList { "1: terminate()" } + opened(2, "Home");
    QTest::newRow("an account announced twice keeps its transfer")
        << "add 1; prog 1 1 2; add 1; prog 1 3 4"
        << opened(1) + QStringList { "1: setPercent(50)", "1: setPercent(75)" };
    QTest::newRow("events of unknown and invalid accounts are dropped")
        << "start 2; prog 0 1 2; end 2 1034; add 0; start 0; add 1; start 1" << opened(1);
}

void TransferTest::stateTable()
{
    QFETCH(QString, script);
    QFETCH(QStringList, calls);
    TransferManager manager;
    play(manager, script);
    QVERIFY(expectCalls(calls));
}

void TransferTest::failureTextOnAFreshEntry()
{
    // Each code on an entry of its own (the success after it closes it).
    const QString connect = "Cannot connect to the mail server.";
    const QString generic = "Something went wrong with the mail transfer.";
    const QList<QPair<int, QString>> texts = {
        { 1024, generic },
        { 1025, generic },
        { 1026, connect },
        { 1027, generic },
        { 1028, connect },
        { 1029, connect },
        { 1031, "Not enough storage space for the mail." },
        { 1032, "The message is no longer available." },
        { 1033, "The message could not be processed." },
        { 1034, connect },
        { 1035, "The mail server is in use by another connection." },
        { 1036, connect },
        { 1037, connect },
        { 1038, "Invalid e-mail address" },
        { 1039, generic },
        { 1040, "The mail server did not answer in time." },
        { 1041, generic },
        { 7, generic },
    };
    TransferManager manager;
    QStringList calls;
    for (const auto &text : texts) {
        play(manager, QStringLiteral("add 1; start 1; end 1 %1; end 1 0").arg(text.first));
        const int view = calls.size() / 6 + 1; // six calls per entry
        calls << opened(view) + failure(view, text.second)
                + QStringList { QStringLiteral("%1: terminate()").arg(view) };
    }
    QVERIFY(expectCalls(calls));
}

void TransferTest::cancelFromTheViewEndsWithTheCancelledActions()
{
    TransferManager manager;
    QSignalSpy cancels(&manager, &TransferManager::accountCancelRequest);
    play(manager, "add 1; start 1");
    QVERIFY(expectCalls(opened(1)));
    QVERIFY(mJobs->requestCancel(1));
    QVERIFY(cancels.wait());
    QCOMPARE(cancels.takeFirst().at(0).value<QMailAccountId>(), QMailAccountId(1));
    // The entry stays until the cancelled actions end, without a failure.
    play(manager, "end 1 1030");
    QVERIFY(expectCalls(opened(1) + QStringList { "1: terminate()" }));
}

void TransferTest::withoutTheServiceTheManagerIsInert()
{
    mJobs->quit();
    LogCapture log;
    TransferManager manager;
    play(manager, "add 1; start 1; prog 1 1 2");
    QVERIFY(log.contains("[Critical] TransferManager::TransferManager(QObject*) :Cannot "
                         "initialize TUI Client"));
    QCOMPARE(log.count("[Transfer] TransferManager: mClient is not initialized"), 3);
    QVERIFY(mJobs->calls().isEmpty());
}

void TransferTest::watcherTurnsActionsIntoAccountTransfers()
{
    MessageServerStandIn server;
    QVERIFY(server.start());
    for (const char *method : { "ExportUpdates", "TransmitMessages" }) {
        server.setOutcome(method, MessageServerStandIn::Never);
    }
    LogCapture log;
    ActionsWatcher watcher;
    QStringList ends; // starts and ends, in order
    connect(&watcher, &ActionsWatcher::transferStarted, [&](QMailAccountId id, bool download) {
        ends << QStringLiteral("started %1 %2").arg(id.toULongLong()).arg(download);
    });
    connect(&watcher, &ActionsWatcher::transferFinished,
            [&](QMailAccountId id, QMailServiceAction::Status::ErrorCode code) {
                ends << QStringLiteral("finished %1 %2").arg(id.toULongLong()).arg(int(code));
            });
    QStringList progress;
    connect(&watcher, &ActionsWatcher::transferProgress,
            [&](QMailAccountId id, uint value, uint total) {
                progress << QStringLiteral("%1 %2/%3").arg(id.toULongLong()).arg(value).arg(total);
            });
    QDBusConnection bus = QDBusConnection::sessionBus();
    auto request = [&](const char *method, quint64 account) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QMF_MESSAGESERVER_SERVICE, QMF_MESSAGESERVER_PATH, QMF_MESSAGESERVER_SERVICE, method);
        call << qulonglong(account);
        bus.send(call);
    };
    request("ExportUpdates", 0); // action 1 names no account
    request("TransmitMessages", 5); // action 2, an upload
    QVERIFY(waitUntil([&] { return ends.contains("started 5 0"); }));
    QVERIFY(waitUntil([&] { return log.contains("[Watcher] Account is invalid, doing nothing"); }));

    // Action 1 names its account while running; a rebuild of the list keeps it.
    server.announceAccount(1, 7);
    request("ExportUpdates", 8); // action 3
    QVERIFY(waitUntil([&] { return ends.contains("started 8 1"); }));
    QVERIFY(log.contains("[Watcher] Bug fix: restoring account  QMailAccountId(7)  for action  1"));

    // Cancels match the learnt account; action 3 is left to end by itself.
    watcher.onAccountCancelRequest(QMailAccountId(7));
    watcher.onAccountCancelRequest(QMailAccountId(5));
    QVERIFY(waitUntil([&] { return ends.contains("finished 5 1030"); }));
    QVERIFY(server.progress(3, 3, 4));
    QVERIFY(waitUntil([&] { return progress.contains("8 3/4"); }));
    QVERIFY(server.finish(3, 0));
    QVERIFY(waitUntil([&] { return ends.contains("finished 8 0"); }));
    QCOMPARE(server.cancelled(), QList<quint64>({ 1, 2 }));

    // A success that carries an error code is a success.
    server.setOutcome("ExportUpdates", MessageServerStandIn::Succeed, 1027);
    request("ExportUpdates", 9); // action 4
    QVERIFY(waitUntil([&] { return ends.size() == 8; }));
    QCOMPARE(ends,
             QStringList({ "started 5 0", "started 7 1", "started 8 1", "finished 7 1030",
                           "finished 5 1030", "finished 8 0", "started 9 1", "finished 9 0" }));
}

QTEST_GUILESS_MAIN(TransferTest)
#include "tst_transfer.moc"
