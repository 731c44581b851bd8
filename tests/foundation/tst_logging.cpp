#include "settingswriter.h"
#include "testenvironment.h"

#include <QFile>
#include <QSettings>
#include <QtTest>
#include <qmaillog.h>

QMAIL_DECLARE_LOG_CATEGORY(Alpha)
QMAIL_DECLARE_LOG_CATEGORY(Beta)

// The framework's categorised logging as the daemon configures it.
class TestLogging : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void switchesAreReadWhenLoggersAreRecreated();
    void fileLogReceivesRecordsAndWarnings();

private:
    void configure(const QVariantMap &values)
    {
        QVERIFY(writeSettings(QSettings(organisation, application).fileName(), values));
        qMailLoggersRecreate(organisation, application, "logtest");
    }

    TestEnvironment env;
    const QString organisation = QStringLiteral("Brenmor");
    const QString application = QStringLiteral("LogTest");
};

void TestLogging::switchesAreReadWhenLoggersAreRecreated()
{
    configure({ { QStringLiteral("Log categories/Alpha"), QStringLiteral("false") },
                { QStringLiteral("Log categories/Beta"), 1 } });
    QCOMPARE(qmf_checkLoggingEnabled("Alpha", true), false);
    QCOMPARE(qmf_checkLoggingEnabled("Beta", false), true);
    // Not mentioned: the caller's default decides.
    QCOMPARE(qmf_checkLoggingEnabled("Delta", true), true);
    QCOMPARE(qmf_checkLoggingEnabled("Delta", false), false);
    // A switched-off record builds nothing.
    int evaluated = 0;
    qMailLog(Alpha) << "value" << ++evaluated;
    qMailLog(Beta) << "value" << ++evaluated;
    QCOMPARE(evaluated, 1);
    // A changed file is not seen until the loggers are recreated.
    QSettings(organisation, application).setValue(QStringLiteral("Log categories/Alpha"), 1);
    QCOMPARE(qmf_isCategoryEnabled(qmf_logFlag_Alpha(), "Alpha"), false);
    qMailLoggersRecreate(organisation, application, "logtest");
    QCOMPARE(qmf_isCategoryEnabled(qmf_logFlag_Alpha(), "Alpha"), true);
}

void TestLogging::fileLogReceivesRecordsAndWarnings()
{
    const QString logFile = env.path(QStringLiteral("records.log"));
    configure({ { QStringLiteral("FileLog/Enabled"), 1 },
                { QStringLiteral("FileLog/Path"), logFile },
                { QStringLiteral("Log categories/Alpha"), 1 },
                { QStringLiteral("Log categories/Beta"), 0 } });
    qMailLog(Alpha) << "first record" << 42 << QStringLiteral("quoted value") << true;
    qMailLog(Beta) << "never written";
    qWarning("a warning %d", 7);
    qCritical("a critical message");
    // Back to no output at all, so that nothing else reaches the file.
    configure({});

    QFile file(logFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    for (const QString &line : { QStringLiteral("[Alpha] first record 42 \"quoted value\" true\n"),
                                 QStringLiteral("[Warning] a warning 7\n"),
                                 QStringLiteral("[Critical] a critical message\n") }) {
        QVERIFY2(text.contains(line), qPrintable(text));
    }
    QCOMPARE(text.count(QLatin1Char('\n')), 3);
}

QTEST_GUILESS_MAIN(TestLogging)
#include "tst_logging.moc"
