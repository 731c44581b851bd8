#include "statustexts.h"

#include <QtTest>

// The status texts as they appear in the logs and on screen, typos included.
class TestStatusTexts : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void texts_data();
    void texts();
};

void TestStatusTexts::texts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    const auto row = [](const char *name, const QString &text, const char *expected) {
        QTest::newRow(name) << text << QString::fromUtf8(expected);
    };
    row("error 0", errorCodeText(0), "No error was encountered.");
    row("error 1026", errorCodeText(1026),
        " A system-level error prevented the execution of the request.");
    row("error 1027", errorCodeText(1027), "Unknown error code 1027");
    row("error 1030", errorCodeText(1030), "The operation was cancelled by user intervention.");
    row("error -1", errorCodeText(-1), "Unknown error code -1");
    row("request 3", requestTypeText(3), "Retrieving a list of message");
    row("request 17", requestTypeText(17), "Canceling a QStringansfer");
    row("request 18", requestTypeText(18), "Deleteing a message");
    row("request -5", requestTypeText(-5), "Unrecognized request -5");
    row("activity 1", activityText(1), "In Progress");
    row("activity 3", activityText(3), "The action has failed.");
    row("activity 4", activityText(4), "Unknown");
    row("connectivity 0", connectivityText(0), "Offline");
}

void TestStatusTexts::texts()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(text, expected);
}

QTEST_GUILESS_MAIN(TestStatusTexts)
#include "tst_statustexts.moc"
