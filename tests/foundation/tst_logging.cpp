#include "settingswriter.h"
#include "testenvironment.h"

#include <QFile>
#include <QSettings>
#include <QtTest>
#include <qmaillog.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

QMAIL_DECLARE_LOG_CATEGORY(Alpha)
QMAIL_DECLARE_LOG_CATEGORY(Beta)

// The framework's categorised logging as the daemon configures it.
class TestLogging : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void switchesAreReadWhenLoggersAreRecreated();
    void outputsReceiveRecordsAndWarnings_data();
    void outputsReceiveRecordsAndWarnings();

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

void TestLogging::outputsReceiveRecordsAndWarnings_data()
{
    QTest::addColumn<QString>("output");
    QTest::addColumn<bool>("journal"); // standard error is the journal's: no time
    QTest::newRow("file") << "FileLog" << false;
    QTest::newRow("standard error") << "StdStreamLog" << false;
    QTest::newRow("standard error, the journal's") << "StdStreamLog" << true;
}

void TestLogging::outputsReceiveRecordsAndWarnings()
{
    QFETCH(QString, output);
    QFETCH(bool, journal);
    const QString logFile = env.path(QStringLiteral("records.log"));
    // Standard error goes into the file while the records are written.
    const int savedStdErr = ::dup(STDERR_FILENO);
    const int fd
        = ::open(QFile::encodeName(logFile).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    struct stat info = {};
    QVERIFY(fd >= 0 && ::fstat(fd, &info) == 0);
    if (output == QLatin1String("StdStreamLog"))
        ::dup2(fd, STDERR_FILENO);
    ::close(fd);
    qputenv("JOURNAL_STREAM",
            journal ? QString("%1:%2").arg(info.st_dev).arg(info.st_ino).toLatin1() : "");
    configure({ { output + QStringLiteral("/Enabled"), 1 },
                { QStringLiteral("FileLog/Path"), logFile },
                { QStringLiteral("Log categories/Alpha"), 1 },
                { QStringLiteral("Log categories/Beta"), 0 } });
    qMailLog(Alpha) << "first record" << 42 << QStringLiteral("quoted value") << true;
    qMailLog(Beta) << "never written";
    qWarning("a warning %d", 7);
    qCritical("a critical message");
    // Back to no output at all, so that nothing else reaches the file.
    configure({});
    ::dup2(savedStdErr, STDERR_FILENO);
    ::close(savedStdErr);
    qunsetenv("JOURNAL_STREAM");

    QFile file(logFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    const QString stamp = journal ? "" : "\\d{4}-\\d\\d-\\d\\dT[\\d:]{8}\\.\\d{3} ";
    for (const QString &line : { QStringLiteral("[Alpha] first record 42 \"quoted value\" true"),
                                 QStringLiteral("[Warning] a warning 7"),
                                 QStringLiteral("[Critical] a critical message") }) {
        const QRegularExpression expected(
            "^" + stamp + "logtest\\[\\d+\\]: " + QRegularExpression::escape(line) + "$",
            QRegularExpression::MultilineOption);
        QVERIFY2(expected.match(text).hasMatch(), qPrintable(text));
    }
    QCOMPARE(text.count(QLatin1Char('\n')), 3);
}

QTEST_GUILESS_MAIN(TestLogging)
#include "tst_logging.moc"
