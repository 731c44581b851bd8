#include "accountsfixture.h"
#include "maildirfixture.h"
#include "processrunner.h"
#include "settingswriter.h"
#include "storefixture.h"
#include "testenvironment.h"
#include "waituntil.h"

#include <Accounts/Account>
#include <Accounts/Manager>

#include <qmailfolder.h>
#include <qmailstore.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The real daemon and message server on private session and system buses,
// NetworkManager and power profiles played by dbusmock, a FIFO in place of
// /dev/rfkill and another as the clock-change source. Accounts are stored the
// way an accounts UI stores them: the account with its e-mail service enabled,
// in one go; the message server mirrors them into the mail store. Each test
// goes on with the daemon of the last.
class SchedulerEndToEnd : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void nothingIsScheduledBeforeInitDone();
    void accountsAreFollowedWhileRunning();
    void pushSettingsFollowTheIntervalInForce_data();
    void pushSettingsFollowTheIntervalInForce();
    void favouriteFoldersArePushedSorted();
    void connectionInputsStopAndResumeSchedules();
    void offPeakAndClockChange();
    void startUpState_data();
    void startUpState();

private:
    // Peak time is the two hours around now on every day; a `maildir`
    // account gets one with three sub-folders.
    quint32 addAccount(const QString &provider, bool serviceEnabled, int peak, int offPeak,
                       int lastSynchronized, QVariantMap serviceSettings = {},
                       bool maildir = false);
    QString pushSetting(quint32 id, const QString &key);
    // The index of the first daemon line from `from` on that contains the
    // text, waiting for it; -1 when it does not come.
    int expect(const QString &text, int from = 0);
    bool startMock(const QString &name, const QString &parameters = QString());
    bool callMock(const QString &path, const QString &method, const QVariantList &arguments);
    // NetworkManager's "State" or "Metered", or the power profile.
    bool setMock(const QString &property, const QVariant &value);
    void writeRfkill(quint8 op, quint8 soft);

    TestEnvironment mEnv;
    ProcessRunner mServer; // the real message server
    QScopedPointer<ProcessRunner> mDaemon;
    QList<QProcess *> mMocks;
    int mRfkill = -1;
    int mClock = -1;
    quint32 mAlwaysOn = 0;
    quint32 mDormant = 0; // always-on, its e-mail service disabled at start
    quint32 mLastAccount = 0;
};

void SchedulerEndToEnd::initTestCase()
{
    QVERIFY(AccountsFixture::setUpWithBuses(mEnv));
    QVERIFY(writeSettings(mEnv.settingsFile(),
                          { { "Syslog/Enabled", 0 },
                            { "FileLog/Enabled", 0 },
                            { "StdStreamLog/Enabled", 1 },
                            { "Log categories/Scheduler", 1 },
                            { "Log categories/Notifications", 0 },
                            { "Log categories/Indexer", 0 },
                            { "Log categories/Queries", 0 } }));

    // Read-write, so that neither FIFO ever reports an end while the test runs.
    const QByteArray rfkill = QFile::encodeName(mEnv.path("rfkill"));
    const QByteArray clock = QFile::encodeName(mEnv.path("clock"));
    QCOMPARE(mkfifo(rfkill.constData(), 0600), 0);
    QCOMPARE(mkfifo(clock.constData(), 0600), 0);
    mRfkill = open(rfkill.constData(), O_RDWR | O_NONBLOCK);
    mClock = open(clock.constData(), O_RDWR | O_NONBLOCK);
    QVERIFY(mRfkill >= 0 && mClock >= 0);
    qputenv("POSTVANE_RFKILL_DEVICE", rfkill);
    qputenv("POSTVANE_CLOCK_CHANGE_SOURCE", clock);
    writeRfkill(0, 0); // one radio, on

    // The message server logs each request it takes on standard error.
    QVERIFY(writeSettings(
        mEnv.path("home/.config/Brenmor/MessageServer.conf"),
        { { "Syslog/Enabled", 0 }, { "FileLog/Enabled", 0 }, { "StdStreamLog/Enabled", 1 } }));
    QVERIFY(mServer.start(TestEnvironment::binary("messageserver")));
    QVERIFY(mServer.waitForLine("serving"));
}

void SchedulerEndToEnd::cleanupTestCase()
{
    if (mDaemon) {
        QVERIFY(mDaemon->terminate());
        QCOMPARE(mDaemon->exitCode(), 0);
    }
    for (QProcess *mock : qAsConst(mMocks)) {
        mock->terminate();
        mock->waitForFinished(5000);
        delete mock;
    }
    close(mRfkill);
    close(mClock);
}

quint32 SchedulerEndToEnd::addAccount(const QString &provider, bool serviceEnabled, int peak,
                                      int offPeak, int lastSynchronized,
                                      QVariantMap serviceSettings, bool maildir)
{
    if (maildir) {
        const QString root = mEnv.path(QString("maildir-%1").arg(mLastAccount + 1));
        MaildirFixture::make(root, { "Work", "archive", "Spam" });
        serviceSettings.insert("maildir", root);
    }
    const QTime now = QTime::currentTime();
    const int minute = now.hour() * 60 + now.minute() + 1440 - 60;
    Accounts::Manager manager; // owns the account it creates
    Accounts::Account *account = manager.createAccount(provider);
    account->setEnabled(true);
    account->setValue("scheduler/schedule_peak", peak);
    account->setValue("scheduler/schedule_off_peak", offPeak);
    account->setValue("scheduler/schedule_peak_days", 127);
    account->setValue("scheduler/schedule_peak_start_time", minute % 1440);
    account->setValue("scheduler/schedule_peak_end_time", (minute + 120) % 1440);
    account->selectService(
        manager.service(provider == "local-mail" ? "local-email" : provider + "-email"));
    account->setEnabled(serviceEnabled);
    account->setValue("lastSynchronized", lastSynchronized);
    for (auto it = serviceSettings.begin(); it != serviceSettings.end(); ++it) {
        account->setValue(it.key(), it.value());
    }
    mLastAccount = account->syncAndBlock() ? account->id() : 0;
    return mLastAccount;
}

QString SchedulerEndToEnd::pushSetting(quint32 id, const QString &key)
{
    const QString out = AccountsFixture::agTool(
        { "get-service", QString::number(id), "local-email", "string:" + key });
    if (out.contains("No value")) {
        return QString();
    }
    // "string:pushFolders = INBOX\nWork" -> the value, line feeds and all.
    return out.section(" = ", 1).chopped(out.endsWith('\n') ? 1 : 0);
}

int SchedulerEndToEnd::expect(const QString &text, int from)
{
    int found = -1;
    waitUntil([&] {
        const QStringList lines = mDaemon->lines();
        for (int i = from; i < lines.size() && found < 0; ++i) {
            found = lines.at(i).contains(text) ? i : -1;
        }
        return found >= 0 || mDaemon->process().state() == QProcess::NotRunning;
    });
    if (found < 0) {
        // Line by line: a single message of the whole log is cut short.
        qWarning() << "No" << text << "from line" << from << "of the daemon's log:";
        const QStringList lines = mDaemon->lines();
        for (int i = qMax(0, from - 5); i < lines.size(); ++i) {
            qWarning("%d: %s", i, qPrintable(lines.at(i)));
        }
    }
    return found;
}

bool SchedulerEndToEnd::startMock(const QString &name, const QString &parameters)
{
    auto *mock = new QProcess;
    mMocks.append(mock);
    QStringList arguments = { "-m", "dbusmock", "--system", "--template", name };
    if (!parameters.isEmpty()) {
        arguments << "--parameters" << parameters;
    }
    // Debian's interpreter, which has the dbusmock package.
    mock->start("/usr/bin/python3", arguments);
    const QString service
        = name == "networkmanager" ? "org.freedesktop.NetworkManager" : "net.hadess.PowerProfiles";
    return waitUntil([&] {
        return QDBusConnection::systemBus().interface()->isServiceRegistered(service).value();
    });
}

bool SchedulerEndToEnd::callMock(const QString &path, const QString &method,
                                 const QVariantList &arguments)
{
    const QString service
        = path.startsWith("/net") ? "net.hadess.PowerProfiles" : "org.freedesktop.NetworkManager";
    QDBusMessage call
        = QDBusMessage::createMethodCall(service, path, "org.freedesktop.DBus.Mock", method);
    call.setArguments(arguments);
    const QDBusMessage reply = QDBusConnection::systemBus().call(call);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        qWarning() << method << reply.errorMessage();
    }
    return reply.type() == QDBusMessage::ReplyMessage;
}

bool SchedulerEndToEnd::setMock(const QString &property, const QVariant &value)
{
    const bool power = property == "ActiveProfile";
    return callMock(power ? "/net/hadess/PowerProfiles" : "/org/freedesktop/NetworkManager",
                    "UpdateProperties",
                    { power ? "net.hadess.PowerProfiles" : "org.freedesktop.NetworkManager",
                      QVariantMap { { property, value } } });
}

void SchedulerEndToEnd::writeRfkill(quint8 op, quint8 soft)
{
    // struct rfkill_event: index 0, type 1 (wlan), operation, soft and hard block.
    const quint8 event[8] = { 0, 0, 0, 0, 1, op, soft, 0 };
    QCOMPARE(write(mRfkill, event, sizeof event), ssize_t(sizeof event));
}

void SchedulerEndToEnd::nothingIsScheduledBeforeInitDone()
{
    const quint32 synced = addAccount("local-mail", true, 15, 15, 1);
    const quint32 never = addAccount("local-mail", true, 15, 15, 0);
    const quint32 xorle = addAccount("xorle", true, 15, 15, 1);
    mDormant = addAccount("local-mail", false, 0, 0, 1, { { "pushCapable", true } });
    QVERIFY(synced && never && xorle && mDormant);
    qputenv("MAIL_BOOT_NO_WAIT", "01"); // not exactly "1"
    mDaemon.reset(new ProcessRunner);
    QVERIFY(mDaemon->start(TestEnvironment::binary("postvane")));
    QVERIFY(expect("[Scheduler] Waiting for init done notification") >= 0);
    // The daemon logs the line before it subscribes: the signal goes out once the
    // bus holds its rule.
    QVERIFY(waitUntil([] {
        const QDBusMessage rules = QDBusConnection::systemBus().call(
            QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                           "org.freedesktop.DBus.Debug.Stats", "GetAllMatchRules"));
        const auto all = qdbus_cast<QMap<QString, QStringList>>(rules.arguments().value(0));
        return std::any_of(all.cbegin(), all.cend(), [](const QStringList &ofOne) {
            return !ofOne.filter("member='init_done'").isEmpty();
        });
    }));

    QDBusMessage initDone = QDBusMessage::createSignal("/com/brenmor/startup/signal",
                                                       "com.brenmor.startup.signal", "init_done");
    QVERIFY(QDBusConnection::systemBus().send(initDone));
    const int started = expect("[Scheduler] Init done received");
    QVERIFY(started >= 0);
    QCOMPARE(mDaemon->lines().mid(0, started).filter("Adding account"), QStringList());

    // Never synchronised: at once, without a scheduler; its schedule then
    // starts without an immediate sync.
    QVERIFY(expect(QString("[Warning] Synchronizing an unknown account %1").arg(never)) > started);
    QVERIFY(
        expect(QString("starting scheduler for account %1 , immediate sync disabled").arg(never))
        > started);
    QVERIFY(expect(QString("Account %1 is a xorle account, skipped").arg(xorle)) > started);
    QVERIFY(expect(QString("Account %1 has been removed from scheduler").arg(xorle)) > started);
    // Synchronised before: a sync one second after its start.
    const int delayed = expect(QString("account %1 : sync delayed for 1 seconds...").arg(synced));
    QVERIFY(delayed > started);
    QVERIFY(expect(QString("Starting synchronization for account %1").arg(synced), delayed) > 0);
    QVERIFY(mServer.waitForLine(
        QRegularExpression(QString("request type \\d+ account %1$").arg(synced))));
}

void SchedulerEndToEnd::accountsAreFollowedWhileRunning()
{
    // Change signals of another layout on both programs' paths are ignored:
    // both serve the next account (the bus replies after passing them on).
    for (const char *path : { "/ServiceType/global", "/ServiceType/e_2dmail" }) {
        QDBusMessage malformed = QDBusMessage::createSignal(
            path, "com.google.code.AccountsSSO.Accounts", "AccountChanged");
        QVERIFY(QDBusConnection::sessionBus().send(malformed << "x"));
    }
    QVERIFY(QDBusConnection::sessionBus().interface()->isServiceRegistered("org.x").isValid());
    const int from = mDaemon->lines().size();
    // Created while the machine is busy: the account is looked for until found.
    QProcess hogs[2];
    for (QProcess &hog : hogs) {
        hog.start("sh", { "-c", "while :; do :; done" });
    }
    const quint32 created = addAccount("local-mail", true, 30, 30, 0);
    QVERIFY(created);
    QVERIFY(expect(QString("[Scheduler] new account %1").arg(created), from) >= 0);
    QVERIFY(mServer.waitForLine(
        QRegularExpression(QString("request type \\d+ account %1$").arg(created))));
    QVERIFY(expect(QString("starting scheduler for account %1").arg(created), from) >= 0);
    for (QProcess &hog : hogs) {
        hog.kill();
        hog.waitForFinished();
    }

    // Its e-mail service enabled now: the update of an account without a scheduler
    // starts one (queued: after the update) with an immediate sync, no delayed check.
    const QString dormant = QString::number(mDormant);
    QVERIFY(!AccountsFixture::agTool({ "enable-service", dormant, "local-email" }).isNull());
    const int added = expect("Account " + dormant + " has been added", from);
    QVERIFY(added > 0);
    const int started
        = expect("starting scheduler for account " + dormant + " , immediate sync allowed", added);
    QVERIFY(started > added);
    const QStringList between = mDaemon->lines().mid(added, started - added);
    QCOMPARE(between.filter("account " + dormant + " : check always-on"), QStringList());
    QVERIFY(mServer.waitForLine(
        QRegularExpression(QString("request type \\d+ account %1$").arg(mDormant))));

    QVERIFY(!AccountsFixture::agTool({ "delete-account", QString::number(created) }).isNull());
    const int deleted = expect(QString("[Scheduler] deleted account %1").arg(created), from);
    QVERIFY(deleted >= 0);
    QVERIFY(expect(QString("Account %1 has been removed from scheduler").arg(created), deleted)
            > 0);
}

void SchedulerEndToEnd::pushSettingsFollowTheIntervalInForce_data()
{
    // Peak 0 (always-on) and off-peak 15, now in peak time. The push key
    // names the prefix of the keys written; the service's own "pushCapable"
    // comes after a prefixed one.
    QTest::addColumn<QString>("capable");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<bool>("writable");
    QTest::newRow("plain key") << "pushCapable"
                               << "" << true;
    QTest::newRow("prefixed key") << "settings/pushCapable"
                                  << "settings/" << true;
    QTest::newRow("read-only database") << "locked/pushCapable"
                                        << "locked/" << false;
}

void SchedulerEndToEnd::pushSettingsFollowTheIntervalInForce()
{
    QFETCH(QString, capable);
    QFETCH(QString, prefix);
    QFETCH(bool, writable);
    if (!writable) {
        // Its push settings cannot be written, as in a read-only database (a
        // trigger: the file's mode does not stop root, who may run the tests).
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "accounts");
        db.setDatabaseName(mEnv.path("home/.config/libaccounts-glib/accounts.db"));
        db.setConnectOptions("QSQLITE_BUSY_TIMEOUT=30000");
        QVERIFY(
            db.open()
            && QSqlQuery(db).exec("CREATE TRIGGER refuse BEFORE INSERT ON Settings WHEN NEW.key "
                                  "GLOB 'locked/push[EF]*' BEGIN SELECT RAISE(ROLLBACK, "
                                  "'read-only'); END"));
    }
    const int from = mDaemon->lines().size();
    const quint32 account = addAccount("local-mail", true, 0, 15, 1, { { capable, true } }, true);
    QVERIFY(account);
    const QString id = QString::number(account);
    if (!writable) {
        // A refused store is no change: no sync now, nor a second later (and
        // so on for ever). An update of the account comes after the check.
        const int refused
            = expect("[Warning] Account " + id + " configuration could not be stored", from);
        QVERIFY(
            refused > 0
            && !AccountsFixture::agTool({ "update-account", id, "int:scheduler/schedule_peak=0" })
                    .isNull());
        const int later = expect("[Scheduler] updated account " + id, refused);
        QVERIFY(later > refused);
        const QStringList lines = mDaemon->lines().mid(from, later - from);
        QCOMPARE(lines.filter("[Scheduler] Starting synchronization for account " + id).size(), 1);
        QCOMPARE(lines.filter("account " + id + " : sync delayed"), QStringList());
        return;
    }
    // The settings are stored before the sync that follows them.
    const int stored = expect("Account " + id + " configuration updated", from);
    QVERIFY(stored >= 0);
    QVERIFY(expect("Starting synchronization for account " + id, stored) > stored);
    QCOMPARE(pushSetting(account, prefix + "pushEnabled"), QString("1"));
    QCOMPARE(pushSetting(account, prefix + "pushFolders"), QString("INBOX"));
    if (prefix.isEmpty()) {
        mAlwaysOn = account;
    }
}

void SchedulerEndToEnd::favouriteFoldersArePushedSorted()
{
    // Marking folders as favourites starts the always-on check, which pushes
    // them with the inbox, sorted by character code.
    const int from = mDaemon->lines().size();
    QMailFolderIdList ids;
    for (const char *path : { "archive", "Work" }) {
        QVERIFY(waitUntil([&] {
            ids = QMailStore::instance()->queryFolders(
                QMailFolderKey::parentAccountId(QMailAccountId(mAlwaysOn))
                & QMailFolderKey::path(QString::fromLatin1(path)));
            return !ids.isEmpty();
        }));
        QVERIFY(StoreFixture::setFolderStatus(ids.first(), QMailFolder::Favourite, true));
    }
    QVERIFY(expect("push folders: \"INBOX\\nWork\\narchive\"", from) >= 0);
    QVERIFY(
        waitUntil([&] { return pushSetting(mAlwaysOn, "pushFolders") == "INBOX\nWork\narchive"; }));

    // An inbox the store cannot load is left out, not pushed as an empty path.
    const int later = mDaemon->lines().size();
    const QMailAccount account { QMailAccountId(mAlwaysOn) };
    QVERIFY(QMailStore::instance()->removeFolder(account.standardFolder(QMailFolder::InboxFolder)));
    QVERIFY(StoreFixture::setFolderStatus(ids.first(), QMailFolder::Favourite, true));
    QVERIFY(expect("push folders: \"Work\\narchive\"", later) >= 0);
}

void SchedulerEndToEnd::connectionInputsStopAndResumeSchedules()
{
    const QString id = QString::number(mAlwaysOn);
    // NetworkManager comes after the daemon, offline: the always-on account
    // falls back to a sync every ten minutes, and returns when online.
    int from = mDaemon->lines().size();
    QVERIFY(startMock("networkmanager", "{\"State\": 20}"));
    QVERIFY(expect("network connection is lost, account " + id, from) >= 0);
    QVERIFY(setMock("State", 70u));
    QVERIFY(expect("network connection appeared, account " + id, from) >= 0);

    // A metered network, then flight mode, then power save: each stops the
    // schedules; its end resumes them and the sync owed runs a second later.
    QVERIFY(callMock("/org/freedesktop/NetworkManager", "AddProperty",
                     { "org.freedesktop.NetworkManager", "Metered",
                       QVariant::fromValue(QDBusVariant(QVariant::fromValue(4u))) }));
    using Flip = std::pair<std::function<void()>, std::function<void()>>; // on, off
    const QList<Flip> flips = {
        { [&] { QVERIFY(setMock("Metered", 1u)); }, [&] { QVERIFY(setMock("Metered", 2u)); } },
        { [&] { writeRfkill(2, 1); }, [&] { writeRfkill(2, 0); } },
        { [&] {
             QVERIFY(startMock("power_profiles_daemon", "{\"ActiveProfile\": \"power-saver\"}"));
         },
          [&] { QVERIFY(setMock("ActiveProfile", "balanced")); } },
    };
    for (const Flip &flip : flips) {
        from = mDaemon->lines().size();
        flip.first();
        const int off = expect("recieved allow connection chaged signal : false", from);
        QVERIFY(off >= 0);
        // The outcome of the sync before may come between the change and its
        // signal, and stop the schedule first.
        QVERIFY(expect("account " + id + " : forced schedule set to -1", from) > 0);
        flip.second();
        const int on = expect("recieved allow connection chaged signal : true", off);
        QVERIFY(on > 0);
        const int owed = expect("account " + id + " : sync delayed for 1 seconds...", on);
        QVERIFY(owed > 0);
        const int started = expect("Starting synchronization for account " + id, owed);
        QVERIFY(started > owed);
        // Its outcome ("succeeded" or "failed") before the next change: a
        // sync still running when the next owed one comes takes its place.
        QVERIFY(expect("ed in account " + id, started) > started);
    }

    // Power save on while in flight mode changes nothing; only the end of
    // both lets the schedules run again.
    from = mDaemon->lines().size();
    writeRfkill(2, 1);
    const int off = expect("recieved allow connection chaged signal : false", from);
    QVERIFY(off >= 0);
    QVERIFY(setMock("ActiveProfile", "power-saver"));
    QVERIFY(expect("onDeviceModeChanged()", off) > off);
    writeRfkill(2, 0);
    const int stillOff = expect("power save mode is  true", off);
    QVERIFY(stillOff > off);
    QVERIFY(setMock("ActiveProfile", "balanced"));
    QVERIFY(expect("recieved allow connection chaged signal : true", stillOff) > 0);
    QCOMPARE(mDaemon->lines().mid(from).filter("recieved allow connection chaged signal").size(),
             2);
}

void SchedulerEndToEnd::offPeakAndClockChange()
{
    // Peak time, always-on; then no peak day any more: off peak, push is off
    // and the folders stay as they were.
    const QString id = QString::number(mAlwaysOn);
    QVERIFY(waitUntil([&] { return pushSetting(mAlwaysOn, "pushEnabled") == "1"; }));
    int from = mDaemon->lines().size();
    // A hundred writes of another program, of a key of each program: the last
    // of each counts in both, and neither logs an I/O error.
    for (int i = 99; i >= 0; --i) {
        const QString write = i % 2
            ? QString("int:scheduler/schedule_peak_days=%1").arg(i > 1 ? 127 : 0)
            : QString("string:signature=%1").arg(i);
        QVERIFY(!AccountsFixture::agTool({ "update-account", id, write }).isNull());
    }
    QVERIFY(expect("Account scheduler " + id + " reset: peak days = 0", from) > 0);
    QVERIFY(waitUntil([&] { return QMailAccount(QMailAccountId(mAlwaysOn)).signature() == "0"; }));
    QVERIFY(waitUntil([&] { return pushSetting(mAlwaysOn, "pushEnabled") == "0"; }));
    QCOMPARE(pushSetting(mAlwaysOn, "pushFolders"), QString("INBOX\nWork\narchive"));
    const QRegularExpression failed("I/O error|locked|Cannot read account");
    QCOMPARE((mDaemon->lines() + mServer.lines()).filter(failed), QStringList());

    from = mDaemon->lines().size();
    QCOMPARE(write(mClock, "x", 1), ssize_t(1));
    const int changed = expect("[Scheduler] recieved time settings chaged signal", from);
    QVERIFY(changed >= 0);
    QVERIFY(expect("account " + id + " : the next schedule switch will happen at", changed)
            > changed);
}

void SchedulerEndToEnd::startUpState_data()
{
    // Read at start: a restriction stops the schedules; no system bus, no answer.
    QTest::addColumn<uint>("metered");
    QTest::addColumn<QString>("profile");
    QTest::addColumn<QString>("background");
    QTest::newRow("metered network") << 1u << "balanced"
                                     << "allow backgr connection value is  false";
    QTest::newRow("power save") << 2u << "power-saver"
                                << "allow backgr connection value is  true";
    QTest::newRow("no system bus") << 2u << "balanced"
                                   << "unable to get value for  network_type";
}

void SchedulerEndToEnd::startUpState()
{
    QFETCH(uint, metered);
    QFETCH(QString, profile);
    QFETCH(QString, background);
    const bool allowed = background.startsWith("unable");
    QVERIFY(mDaemon->terminate());
    QVERIFY(setMock("Metered", QVariant::fromValue(metered)));
    QVERIFY(setMock("ActiveProfile", profile));
    const QByteArray bus = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (allowed) {
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + QFile::encodeName(mEnv.path("no-bus")));
    }
    qputenv("MAIL_BOOT_NO_WAIT", "1");
    mDaemon.reset(new ProcessRunner);
    QVERIFY(mDaemon->start(TestEnvironment::binary("postvane")));
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", bus);
    QVERIFY(expect("[Scheduler] ConnSettings: " + background) >= 0);
    const QString id = QString::number(mAlwaysOn);
    const int started = expect("starting scheduler for account " + id);
    QVERIFY(started >= 0);
    // The schedule is stopped before the account's first always-on check;
    // allowed, it goes on to that check untouched.
    const int check = expect("Checking for always-on for account " + id, started);
    QVERIFY(check > started);
    QCOMPARE(mDaemon->lines()
                 .mid(started, check - started)
                 .filter("account " + id + " : forced schedule set to -1")
                 .size(),
             allowed ? 0 : 1);
    if (allowed) {
        return;
    }
    // The state says why the schedule is off; a sync the user asks for runs
    // all the same.
    QProcess tool;
    tool.start(TestEnvironment::binary("postvane-account"), { "status" });
    QVERIFY(finishWhileServing(tool));
    QVERIFY(tool.readAllStandardOutput().contains(metered == 1 ? "none (metered network)"
                                                               : "none (power save)"));
    QDBusMessage call
        = QDBusMessage::createMethodCall("com.brenmor.Postvane", "/com/brenmor/Postvane/Accounts",
                                         "com.brenmor.Postvane.Accounts", "Synchronize");
    call << uint(mAlwaysOn);
    QCOMPARE(QDBusConnection::sessionBus().call(call).arguments().value(0), QVariant(true));
    QVERIFY(expect("doSync(): Starting synchronization for account " + id, check) > check);
}

QTEST_GUILESS_MAIN(SchedulerEndToEnd)
#include "tst_scheduler_e2e.moc"
