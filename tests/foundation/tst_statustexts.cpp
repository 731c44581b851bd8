#include "statustexts.h"

#include <QtTest>

class TestStatusTexts : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void errorCodes_data();
    void errorCodes();
    void requestTypes_data();
    void requestTypes();
    void activitiesAndConnectivity();
};

void TestStatusTexts::errorCodes_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("0") << 0 << QStringLiteral("No error was encountered.");
    QTest::newRow("1024") << 1024
                          << QStringLiteral("The requested operation is not implemented by the "
                                            "relevant service component.");
    QTest::newRow("1026 leading blank")
        << 1026 << QStringLiteral(" A system-level error prevented the execution of the request.");
    QTest::newRow("1027 has no text") << 1027 << QStringLiteral("Unknown error code 1027");
    QTest::newRow("1029") << 1029
                          << QStringLiteral(" The external service did not accept the supplied "
                                            "authentication details.");
    QTest::newRow("1030") << 1030
                          << QStringLiteral("The operation was cancelled by user intervention.");
    QTest::newRow("1037") << 1037
                          << QStringLiteral("The configuration needed for the requested action "
                                            "is invalid.");
    QTest::newRow("1040") << 1040
                          << QStringLiteral(" The service failed to report any activity for an "
                                            "extended period.");
    QTest::newRow("1041") << 1041
                          << QStringLiteral("The service was reset due to state change, such as "
                                            "an external process modifying the owner account.");
    QTest::newRow("-1") << -1 << QStringLiteral("Unknown error code -1");
    QTest::newRow("1042") << 1042 << QStringLiteral("Unknown error code 1042");
    QTest::newRow("1") << 1 << QStringLiteral("Unknown error code 1");
}

void TestStatusTexts::errorCodes()
{
    QFETCH(int, code);
    QFETCH(QString, text);
    QCOMPARE(errorCodeText(code), text);
}

void TestStatusTexts::requestTypes_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("text");
    QTest::newRow("0") << 0 << QStringLiteral("Acknowledging new messages");
    QTest::newRow("1") << 1 << QStringLiteral("Transmitting new messages");
    QTest::newRow("3") << 3 << QStringLiteral("Retrieving a list of message");
    QTest::newRow("9") << 9 << QStringLiteral("Exporting updates");
    QTest::newRow("17") << 17 << QStringLiteral("Canceling a QStringansfer");
    QTest::newRow("18") << 18 << QStringLiteral("Deleteing a message");
    QTest::newRow("22") << 22 << QStringLiteral("Direct protocol request");
    QTest::newRow("23") << 23 << QStringLiteral("Unrecognized request 23");
    QTest::newRow("-5") << -5 << QStringLiteral("Unrecognized request -5");
}

void TestStatusTexts::requestTypes()
{
    QFETCH(int, type);
    QFETCH(QString, text);
    QCOMPARE(requestTypeText(type), text);
}

void TestStatusTexts::activitiesAndConnectivity()
{
    const QStringList activities { QStringLiteral("Pending"), QStringLiteral("In Progress"),
                                   QStringLiteral("The action has completed successfully."),
                                   QStringLiteral("The action has failed.") };
    const QStringList connectivity { QStringLiteral("Offline"), QStringLiteral("Connecting"),
                                     QStringLiteral("Connected"), QStringLiteral("Disconnected") };
    for (int value = 0; value < 4; ++value) {
        QCOMPARE(activityText(value), activities.at(value));
        QCOMPARE(connectivityText(value), connectivity.at(value));
    }
    QCOMPARE(activityText(4), QStringLiteral("Unknown"));
    QCOMPARE(activityText(-1), QStringLiteral("Unknown"));
    QCOMPARE(connectivityText(4), QStringLiteral("Unknown"));
    QCOMPARE(connectivityText(-1), QStringLiteral("Unknown"));
}

QTEST_GUILESS_MAIN(TestStatusTexts)
#include "tst_statustexts.moc"
