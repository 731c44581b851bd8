#include <QSet>
#include <QSignalSpy>
#include <QtTest>
#include <qmailheartbeattimer.h>
#include <qmailid.h>
#include <qmailserviceaction.h>

// Carries ids and statuses through queued, string-based connections, the way
// the daemon's objects and the store's cross-process signals do.
class Relay : public QObject
{
    Q_OBJECT
Q_SIGNALS:
    void accounts(const QMailAccountIdList &ids);
    void folder(const QMailFolderId &id);
    void status(const QMailServiceAction::Status &status);
    void finished(QMailAccountId id, QMailServiceAction::Status::ErrorCode code);
};

class TestMailTypes : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void idValueSemantics();
    void idDebugForm();
    void idsTravelInQueuedConnections();
    void statusCodes();
    void heartbeatTimer();
};

void TestMailTypes::idValueSemantics()
{
    QVERIFY(!QMailMessageId().isValid());
    QCOMPARE(QMailMessageId().toULongLong(), quint64(0));
    QVERIFY(!QMailFolderId(0).isValid());
    const quint64 big = Q_UINT64_C(18446744073709551615);
    QVERIFY(QMailAccountId(big).isValid());
    QCOMPARE(QMailAccountId(big).toULongLong(), big);

    QVERIFY(QMailFolderId(3) == QMailFolderId(3));
    QVERIFY(QMailFolderId(3) != QMailFolderId(4));
    QVERIFY(QMailFolderId(3) < QMailFolderId(4));
    QVERIFY(!(QMailFolderId(4) < QMailFolderId(3)));

    QMap<QMailMessageId, int> ordered { { QMailMessageId(9), 9 },
                                        { QMailMessageId(2), 2 },
                                        { QMailMessageId(5), 5 } };
    QCOMPARE(ordered.keys(),
             (QMailMessageIdList { QMailMessageId(2), QMailMessageId(5), QMailMessageId(9) }));

    QSet<QMailAccountId> set { QMailAccountId(1), QMailAccountId(1), QMailAccountId(2) };
    QCOMPARE(set.size(), 2);
    QVERIFY(set.contains(QMailAccountId(2)));
}

void TestMailTypes::idDebugForm()
{
    QString text;
    QDebug(&text) << QMailAccountId(5) << QMailFolderId(0) << QMailMessageId(12);
    QCOMPARE(text, QStringLiteral("QMailAccountId(5) QMailFolderId(0) QMailMessageId(12) "));
}

void TestMailTypes::idsTravelInQueuedConnections()
{
    Relay relay;
    QSignalSpy accounts(&relay, SIGNAL(accounts(QMailAccountIdList)));
    QSignalSpy folder(&relay, SIGNAL(folder(QMailFolderId)));
    QSignalSpy status(&relay, SIGNAL(status(QMailServiceAction::Status)));
    QSignalSpy finished(&relay,
                        SIGNAL(finished(QMailAccountId, QMailServiceAction::Status::ErrorCode)));

    Relay source;
    QVERIFY(connect(&source, SIGNAL(accounts(QMailAccountIdList)), &relay,
                    SIGNAL(accounts(QMailAccountIdList)), Qt::QueuedConnection));
    QVERIFY(connect(&source, SIGNAL(folder(QMailFolderId)), &relay, SIGNAL(folder(QMailFolderId)),
                    Qt::QueuedConnection));
    QVERIFY(connect(&source, SIGNAL(status(QMailServiceAction::Status)), &relay,
                    SIGNAL(status(QMailServiceAction::Status)), Qt::QueuedConnection));
    QVERIFY(connect(&source,
                    SIGNAL(finished(QMailAccountId, QMailServiceAction::Status::ErrorCode)), &relay,
                    SIGNAL(finished(QMailAccountId, QMailServiceAction::Status::ErrorCode)),
                    Qt::QueuedConnection));

    Q_EMIT source.accounts({ QMailAccountId(1), QMailAccountId(7) });
    Q_EMIT source.folder(QMailFolderId(3));
    Q_EMIT source.status(QMailServiceAction::Status(QMailServiceAction::Status::ErrConfiguration,
                                                    QStringLiteral("no inbox"), QMailAccountId(7)));
    Q_EMIT source.finished(QMailAccountId(7), QMailServiceAction::Status::ErrCancel);
    QVERIFY(finished.wait(5000) || finished.count() == 1);

    QCOMPARE(accounts.count(), 1);
    QCOMPARE(accounts.at(0).at(0).value<QMailAccountIdList>(),
             (QMailAccountIdList { QMailAccountId(1), QMailAccountId(7) }));
    QCOMPARE(folder.at(0).at(0).value<QMailFolderId>(), QMailFolderId(3));
    const auto carried = status.at(0).at(0).value<QMailServiceAction::Status>();
    QCOMPARE(int(carried.errorCode), 1037);
    QCOMPARE(carried.text, QStringLiteral("no inbox"));
    QCOMPARE(carried.accountId, QMailAccountId(7));
    QVERIFY(!carried.folderId.isValid());
    QCOMPARE(finished.at(0).at(1).value<QMailServiceAction::Status::ErrorCode>(),
             QMailServiceAction::Status::ErrCancel);
}

void TestMailTypes::statusCodes()
{
    using S = QMailServiceAction::Status;
    QCOMPARE(int(S::ErrNoError), 0);
    QCOMPARE(int(S::ErrorCodeMinimum), 1024);
    QCOMPARE(int(S::ErrCancel), 1030);
    QCOMPARE(int(S::ErrConfiguration), 1037);
    QCOMPARE(int(S::ErrInvalidAddress), 1038);
    QCOMPARE(int(S::ErrorCodeMaximum), 1041);
    QCOMPARE(int(S().errorCode), 0);
    QCOMPARE(int(QMailServiceAction::Failed), 3);
    QCOMPARE(int(QMailServiceAction::Disconnected), 3);
}

void TestMailTypes::heartbeatTimer()
{
    QMailHeartbeatTimer single;
    single.setSingleShot(true);
    single.setInterval(10);
    QSignalSpy fired(&single, SIGNAL(timeout()));
    single.start();
    QVERIFY(single.isActive());
    QVERIFY(fired.wait(5000));
    QVERIFY(!single.isActive());

    QMailHeartbeatTimer repeating;
    QSignalSpy ticks(&repeating, SIGNAL(timeout()));
    repeating.start(5);
    QTRY_VERIFY_WITH_TIMEOUT(ticks.count() >= 3, 5000);
    QVERIFY(repeating.isActive());
    repeating.stop();
    QVERIFY(!repeating.isActive());
    QCOMPARE(repeating.interval(), 5);
}

QTEST_GUILESS_MAIN(TestMailTypes)
#include "tst_mailtypes.moc"
