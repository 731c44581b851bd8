#include <QSignalSpy>
#include <QtTest>
#include <qmailid.h>
#include <qmailserviceaction.h>

// Carries ids and statuses through queued, string-based connections, the way
// the daemon's objects and the store's cross-process signals do.
class Relay : public QObject
{
    Q_OBJECT
Q_SIGNALS:
    void accounts(const QMailAccountIdList &ids);
    void status(const QMailServiceAction::Status &status);
    void finished(QMailAccountId id, QMailServiceAction::Status::ErrorCode code);
};

class TestMailTypes : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void idsTravelInQueuedConnections();
};

void TestMailTypes::idsTravelInQueuedConnections()
{
    Relay relay;
    QSignalSpy accounts(&relay, SIGNAL(accounts(QMailAccountIdList)));
    QSignalSpy status(&relay, SIGNAL(status(QMailServiceAction::Status)));
    QSignalSpy finished(&relay,
                        SIGNAL(finished(QMailAccountId, QMailServiceAction::Status::ErrorCode)));

    Relay source;
    QVERIFY(connect(&source, SIGNAL(accounts(QMailAccountIdList)), &relay,
                    SIGNAL(accounts(QMailAccountIdList)), Qt::QueuedConnection));
    QVERIFY(connect(&source, SIGNAL(status(QMailServiceAction::Status)), &relay,
                    SIGNAL(status(QMailServiceAction::Status)), Qt::QueuedConnection));
    QVERIFY(connect(&source,
                    SIGNAL(finished(QMailAccountId, QMailServiceAction::Status::ErrorCode)), &relay,
                    SIGNAL(finished(QMailAccountId, QMailServiceAction::Status::ErrorCode)),
                    Qt::QueuedConnection));

    Q_EMIT source.accounts({ QMailAccountId(1), QMailAccountId(7) });
    Q_EMIT source.status(QMailServiceAction::Status(QMailServiceAction::Status::ErrConfiguration,
                                                    QStringLiteral("no inbox"), QMailAccountId(7)));
    Q_EMIT source.finished(QMailAccountId(7), QMailServiceAction::Status::ErrCancel);
    QVERIFY(finished.wait(15000));

    QCOMPARE(accounts.count(), 1);
    QCOMPARE(accounts.at(0).at(0).value<QMailAccountIdList>(),
             (QMailAccountIdList { QMailAccountId(1), QMailAccountId(7) }));
    const auto carried = status.at(0).at(0).value<QMailServiceAction::Status>();
    QCOMPARE(int(carried.errorCode), 1037);
    QCOMPARE(carried.text, QStringLiteral("no inbox"));
    QCOMPARE(carried.accountId, QMailAccountId(7));
    QVERIFY(!carried.folderId.isValid());
    QCOMPARE(finished.at(0).at(1).value<QMailServiceAction::Status::ErrorCode>(),
             QMailServiceAction::Status::ErrCancel);
}

QTEST_GUILESS_MAIN(TestMailTypes)
#include "tst_mailtypes.moc"
