#include "accountsfixture.h"
#include "logcapture.h"
#include "storefixture.h"
#include "syncscheduler/syncscheduler.h"
#include "testenvironment.h"

#include <QtTest>

// Reaches the scheduler's private settings reader.
class SyncSchedulerTestAccess
{
public:
    static bool readSettings(SyncScheduler &scheduler, quint32 id, ScheduleSettings &settings)
    {
        return scheduler.readSettings(id, settings);
    }
};

class ReadSettingsTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void missingAccount();
    void disabledAccount();
    void accountWithoutEnabledMailService();
    void xorleAccount();
    void defaults();
    void allKeys();
    void schedulingDisabled();
    void serviceSettingsAreNotRead();

private:
    quint32 mailAccount();

    TestEnvironment mEnv;
};

void ReadSettingsTest::initTestCase()
{
    QVERIFY(mEnv.isValid());
    QVERIFY(mEnv.startSessionBus());
    QVERIFY(AccountsFixture::setUp(mEnv));
}

// An enabled local-mail account with its e-mail service enabled.
quint32 ReadSettingsTest::mailAccount()
{
    const quint32 id = AccountsFixture::createAccount("local-mail");
    if (id == 0
        || AccountsFixture::agTool({ "enable-service", QString::number(id), "local-email" })
               .isNull()) {
        return 0;
    }
    return id;
}

void ReadSettingsTest::missingAccount()
{
    SyncScheduler scheduler;
    LogCapture log;
    ScheduleSettings settings;
    QVERIFY(!SyncSchedulerTestAccess::readSettings(scheduler, 4711, settings));
    QVERIFY2(log.contains("[Warning] Account 4711 not found, error: \""),
             qPrintable(log.lines().join('\n')));
    QVERIFY(!log.contains("Reading schedule settings"));
}

void ReadSettingsTest::disabledAccount()
{
    const quint32 id = AccountsFixture::createAccount("local-mail", false);
    QVERIFY(id != 0);
    QVERIFY(!AccountsFixture::agTool({ "enable-service", QString::number(id), "local-email" })
                 .isNull());
    SyncScheduler scheduler;
    LogCapture log;
    ScheduleSettings settings;
    QVERIFY(!SyncSchedulerTestAccess::readSettings(scheduler, id, settings));
    QVERIFY(
        log.contains(QString("[Scheduler] Reading schedule settings for account %1 ...").arg(id)));
    QVERIFY(log.contains(QString("[Scheduler] Account %1 is disabled").arg(id)));
}

void ReadSettingsTest::accountWithoutEnabledMailService()
{
    const quint32 id = AccountsFixture::createAccount("local-mail");
    QVERIFY(id != 0);
    SyncScheduler scheduler;
    LogCapture log;
    ScheduleSettings settings;
    QVERIFY(!SyncSchedulerTestAccess::readSettings(scheduler, id, settings));
    QVERIFY2(log.contains(QString("[Scheduler] Account %1 doesn't have enabled e-mail services, "
                                  "ignor it.")
                              .arg(id)),
             qPrintable(log.lines().join('\n')));
}

void ReadSettingsTest::xorleAccount()
{
    const quint32 id = AccountsFixture::createAccount("xorle");
    QVERIFY(id != 0);
    QVERIFY(!AccountsFixture::agTool({ "enable-service", QString::number(id), "xorle-email" })
                 .isNull());
    SyncScheduler scheduler;
    LogCapture log;
    ScheduleSettings settings;
    QVERIFY(!SyncSchedulerTestAccess::readSettings(scheduler, id, settings));
    QVERIFY2(log.contains(QString("[Scheduler] Account %1 is a xorle account, skipped").arg(id)),
             qPrintable(log.lines().join('\n')));
}

void ReadSettingsTest::defaults()
{
    const quint32 id = mailAccount();
    QVERIFY(id != 0);
    SyncScheduler scheduler;
    LogCapture log;
    ScheduleSettings settings;
    settings.enabled = false;
    settings.peakSchedule = settings.offPeakSchedule = 99;
    settings.peakDays = settings.peakStart = settings.peakEnd = 99;
    QVERIFY(SyncSchedulerTestAccess::readSettings(scheduler, id, settings));
    QCOMPARE(settings.enabled, true);
    QCOMPARE(settings.peakSchedule, -1);
    QCOMPARE(settings.offPeakSchedule, -1);
    QCOMPARE(settings.peakDays, 0);
    QCOMPARE(settings.peakStart, 0);
    QCOMPARE(settings.peakEnd, 0);
    QVERIFY(log.contains(
        QString("[Scheduler] Successfully read sync settings for account %1").arg(id)));
}

void ReadSettingsTest::allKeys()
{
    const quint32 id = mailAccount();
    QVERIFY(id != 0);
    const QString account = QString::number(id);
    for (const char *value :
         { "int:scheduler/schedule_peak=15", "int:scheduler/schedule_off_peak=60",
           "int:scheduler/schedule_peak_days=31", "int:scheduler/schedule_peak_start_time=480",
           "int:scheduler/schedule_peak_end_time=1020", "bool:scheduler/schedule_enabled=1" }) {
        QVERIFY(!AccountsFixture::agTool({ "update-account", account, QString(value) }).isNull());
    }
    SyncScheduler scheduler;
    ScheduleSettings settings;
    QVERIFY(SyncSchedulerTestAccess::readSettings(scheduler, id, settings));
    QCOMPARE(settings.enabled, true);
    QCOMPARE(settings.peakSchedule, 15);
    QCOMPARE(settings.offPeakSchedule, 60);
    QCOMPARE(settings.peakDays, 31);
    QCOMPARE(settings.peakStart, 480);
    QCOMPARE(settings.peakEnd, 1020);
}

void ReadSettingsTest::schedulingDisabled()
{
    const quint32 id = mailAccount();
    QVERIFY(id != 0);
    const QString account = QString::number(id);
    for (const char *value :
         { "int:scheduler/schedule_peak=15", "int:scheduler/schedule_off_peak=0",
           "int:scheduler/schedule_peak_days=127", "int:scheduler/schedule_peak_start_time=60",
           "int:scheduler/schedule_peak_end_time=120", "bool:scheduler/schedule_enabled=0" }) {
        QVERIFY(!AccountsFixture::agTool({ "update-account", account, QString(value) }).isNull());
    }
    SyncScheduler scheduler;
    LogCapture log;
    ScheduleSettings settings;
    QVERIFY(SyncSchedulerTestAccess::readSettings(scheduler, id, settings));
    QCOMPARE(settings.enabled, false);
    QCOMPARE(settings.peakSchedule, -1);
    QCOMPARE(settings.offPeakSchedule, -1);
    QCOMPARE(settings.peakDays, 0);
    QCOMPARE(settings.peakStart, 0);
    QCOMPARE(settings.peakEnd, 0);
    QVERIFY(log.contains(QString("[Scheduler] Scheduling is disabled for account %1").arg(id)));
    QVERIFY(log.contains(QString("Successfully read sync settings for account %1").arg(id)));
}

void ReadSettingsTest::serviceSettingsAreNotRead()
{
    const quint32 id = mailAccount();
    QVERIFY(id != 0);
    QVERIFY(!AccountsFixture::agTool({ "update-service", QString::number(id), "local-email",
                                       "int:scheduler/schedule_peak=5" })
                 .isNull());
    SyncScheduler scheduler;
    ScheduleSettings settings;
    QVERIFY(SyncSchedulerTestAccess::readSettings(scheduler, id, settings));
    QCOMPARE(settings.peakSchedule, -1);

    // Reading again through the same manager sees a change made meanwhile.
    QVERIFY(!AccountsFixture::agTool(
                 { "update-account", QString::number(id), "int:scheduler/schedule_peak=45" })
                 .isNull());
    QTRY_VERIFY(SyncSchedulerTestAccess::readSettings(scheduler, id, settings)
                && settings.peakSchedule == 45);
}

QTEST_GUILESS_MAIN(ReadSettingsTest)
#include "tst_readsettings.moc"
