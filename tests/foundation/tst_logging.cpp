#include "testenvironment.h"

#include <QFile>
#include <QSettings>
#include <QtTest>
#include <qmaillog.h>

QMAIL_DECLARE_LOG_CATEGORY(Alpha)
QMAIL_DECLARE_LOG_CATEGORY(Beta)
QMAIL_DECLARE_LOG_CATEGORY(Gamma)

class TestLogging : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void categorySwitches();
    void flagsAreReadOnceUntilLoggersAreRecreated();
    void fileLogReceivesRecordsAndWarnings();
    void disabledCategoryBuildsNothing();

private:
    void configure(const QByteArray &content);

    TestEnvironment env;
    const QString organisation = QStringLiteral("Brenmor");
    const QString application = QStringLiteral("LogTest");
    QString logFile;
};

void TestLogging::initTestCase()
{
    logFile = env.path(QStringLiteral("records.log"));
}

void TestLogging::configure(const QByteArray &content)
{
    QSettings(organisation, application).clear();
    QSettings settings(organisation, application);
    const QList<QByteArray> lines = content.split('\n');
    for (const QByteArray &line : lines) {
        const int eq = line.indexOf('=');
        if (eq > 0) {
            settings.setValue(QString::fromUtf8(line.left(eq)),
                              QString::fromUtf8(line.mid(eq + 1)));
        }
    }
    settings.sync();
    qMailLoggersRecreate(organisation, application, "logtest");
}

void TestLogging::categorySwitches()
{
    configure("Log categories/Alpha=0\nLog categories/Beta=1\nLog categories/Gamma=false");
    QCOMPARE(qmf_checkLoggingEnabled("Alpha", true), false);
    QCOMPARE(qmf_checkLoggingEnabled("Beta", false), true);
    QCOMPARE(qmf_checkLoggingEnabled("Gamma", true), false);
    // Not mentioned: the caller's default decides.
    QCOMPARE(qmf_checkLoggingEnabled("Delta", true), true);
    QCOMPARE(qmf_checkLoggingEnabled("Delta", false), false);
}

void TestLogging::flagsAreReadOnceUntilLoggersAreRecreated()
{
    configure("Log categories/Alpha=0");
    QCOMPARE(qmf_isCategoryEnabled(qmf_logFlag_Alpha(), "Alpha"), false);
    QCOMPARE(int(qmf_logFlag_Alpha()), 2);
    QCOMPARE(qmf_isCategoryEnabled(qmf_logFlag_Beta(), "Beta"), true);
    QCOMPARE(int(qmf_logFlag_Beta()), 3);

    // A changed file is not seen while the flag is determined...
    QSettings(organisation, application).setValue(QStringLiteral("Log categories/Alpha"), 1);
    QCOMPARE(qmf_isCategoryEnabled(qmf_logFlag_Alpha(), "Alpha"), false);

    // ...recreating the loggers resets every registered flag.
    qMailLoggersRecreate(organisation, application, "logtest");
    QCOMPARE(int(qmf_logFlag_Alpha()), 0);
    QCOMPARE(int(qmf_logFlag_Beta()), 0);
    QCOMPARE(qmf_isCategoryEnabled(qmf_logFlag_Alpha(), "Alpha"), true);
}

void TestLogging::fileLogReceivesRecordsAndWarnings()
{
    QFile::remove(logFile);
    configure("FileLog/Enabled=1\nFileLog/Path=" + QFile::encodeName(logFile)
              + "\nLog categories/Alpha=1\nLog categories/Beta=0");

    qMailLog(Alpha) << "first record" << 42 << QStringLiteral("quoted value") << true;
    qMailLog(Beta) << "never written";
    qWarning("a warning %d", 7);
    qCritical("a critical message");

    QFile file(logFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    QVERIFY2(text.contains(QStringLiteral("[Alpha] first record 42 \"quoted value\" true\n")),
             qPrintable(text));
    QVERIFY(!text.contains(QStringLiteral("never written")));
    QVERIFY(text.contains(QStringLiteral("[Warning] a warning 7\n")));
    QVERIFY(text.contains(QStringLiteral("[Critical] a critical message\n")));
    QCOMPARE(text.count(QLatin1Char('\n')), 3);

    // Back to no output at all, so later cases do not write into the file.
    configure("Log categories/Alpha=1");
}

void TestLogging::disabledCategoryBuildsNothing()
{
    configure("Log categories/Gamma=0");
    int evaluated = 0;
    auto sideEffect = [&evaluated]() { return ++evaluated; };
    qMailLog(Gamma) << "value" << sideEffect();
    QCOMPARE(evaluated, 0);
    qMailLog(Alpha) << "value" << sideEffect();
    QCOMPARE(evaluated, 1);
}

QTEST_GUILESS_MAIN(TestLogging)
#include "tst_logging.moc"
