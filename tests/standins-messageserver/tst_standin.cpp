#include "processrunner.h"
#include "tavikserviceactionmanager.h"
#include "testenvironment.h"

#include <qmailmessagesortkey.h>

#include <QtTest>

// The stand-in program, driven as a daemon under test would drive it.
class StandInProgramTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void requestsAreAnsweredAndReported();
    void badOptionsAreRefused();

private:
    TestEnvironment mEnv;
};

void StandInProgramTest::initTestCase()
{
    QVERIFY(mEnv.isValid());
    QVERIFY(mEnv.startSessionBus());
}

void StandInProgramTest::requestsAreAnsweredAndReported()
{
    ProcessRunner server;
    QVERIFY(server.start(TestEnvironment::binary("standin-messageserver"),
                         { "--fail", "RetrieveFolderList=1029" }));
    QVERIFY(server.waitForLine("standin-messageserver: ready"));

    auto *manager = TavikServiceActionManager::instance();
    QList<QPair<quint32, QMailServiceAction::Status>> ends;
    connect(manager, &TavikServiceActionManager::activityChanged,
            [&ends](quint32 serial, QMailServiceAction::Activity activity,
                    const QMailServiceAction::Status &status) {
                if (activity == QMailServiceAction::Successful
                    || activity == QMailServiceAction::Failed) {
                    ends.append(qMakePair(serial, status));
                }
            });
    const quint32 folders = manager->retrieveFolderList(QMailAccountId(3), QMailFolderId(), true);
    const quint32 lists = manager->retrieveMessageLists(
        QMailAccountId(3), { QMailFolderId(5), QMailFolderId(6) }, 20, QMailMessageSortKey());
    QTRY_COMPARE(ends.size(), 2);
    QVERIFY(server.waitForLine(
        "request RetrieveFolderList account 3 action 1 folder 0 descending true"));
    QVERIFY(server.waitForLine(
        "request RetrieveMessageLists account 3 action 2 folders 5,6 minimum 20"));
    QCOMPARE(ends.at(0).first, folders);
    QCOMPARE(ends.at(0).second.errorCode, QMailServiceAction::Status::ErrLoginFailed);
    QCOMPARE(ends.at(1).first, lists);
    QCOMPARE(ends.at(1).second.errorCode, QMailServiceAction::Status::ErrNoError);
    QVERIFY(server.terminate());
}

void StandInProgramTest::badOptionsAreRefused()
{
    ProcessRunner server;
    QVERIFY(server.start(TestEnvironment::binary("standin-messageserver"),
                         { "--fail", "RetrieveFolderList" }));
    QVERIFY(server.waitForFinished());
    QCOMPARE(server.exitCode(), 2);
    QVERIFY(!server.linesContaining("expected METHOD=CODE").isEmpty());
}

QTEST_GUILESS_MAIN(StandInProgramTest)
#include "tst_standin.moc"
