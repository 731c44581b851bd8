#include "syncscheduler.h"

#include "accountsdatabase.h"
#include "delayedsignal.h"
#include "enforce.h"
#include "logcategories.h"
#include "networkonlinestate.h"
#include "qmdevicemode.h"
#include "tavikbackendstrategies.h"
#include "tavikutils.h"
#include "timedinterface.h"

#include <Accounts/Error>
#include <Accounts/Service>

#include <qmailfolder.h>
#include <qmailstore.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QMetaType>
#include <QPointer>
#include <QTimer>

#include <algorithm>

namespace {

// The provider of accounts that another service synchronises.
const QString XorleProvider = QStringLiteral("xorle");
const QString MailServiceType = QStringLiteral("e-mail");

const QString InitDonePath = QStringLiteral("/com/brenmor/startup/signal");
const QString InitDoneInterface = QStringLiteral("com.brenmor.startup.signal");
const QString InitDoneSignal = QStringLiteral("init_done");

// How long an account announced by a change signal is looked for, and the
// pauses between looks (doubled each time, up to the longest).
const int AccountReadLimitMs = 5000;
const int AccountReadPauseMaxMs = 1000;

const char NetworkTypeId[] = "network_type";
const char RestrictedModeKey[] = "restricted_mode";

// Class-wide constants, each built on first use.
const QString &pushCapableKey()
{
    static const QString key = QStringLiteral("pushCapable");
    return key;
}
const QString &pushEnabledKey()
{
    static const QString key = QStringLiteral("pushEnabled");
    return key;
}
const QString &pushFoldersKey()
{
    static const QString key = QStringLiteral("pushFolders");
    return key;
}
const QMailFolderKey &favouriteKey()
{
    static const QMailFolderKey key
        = QMailFolderKey::status(QMailFolder::Favourite, QMailDataComparator::Includes);
    return key;
}

// The account as the database holds it now: a fresh object, deleted after use.
struct AccountReading
{
    AccountReading(Accounts::Manager &manager, Accounts::AccountId id, bool warn = true)
        : account(Accounts::Account::fromId(&manager, id))
    {
        if (!account && warn) {
            qWarning() << "Account" << id << "not found, error:" << manager.lastError().message();
        }
    }
    ~AccountReading() { delete account; }
    AccountReading(const AccountReading &) = delete;
    AccountReading &operator=(const AccountReading &) = delete;

    Accounts::Account *const account;
};

} // namespace

ConnSettings *SyncScheduler::mConnSettings = nullptr;
bool SyncScheduler::mAllowBackground = true;
MeeGo::QmDeviceMode *SyncScheduler::mEnabler = nullptr;

SyncScheduler::SyncScheduler(QObject *parent)
    : QObject(parent)
    // Guarded before the first manager listens to the bus.
    , mManager((AccountsDatabase::guardSignals(), QStringLiteral("global")))
    , mNetwork(new NetworkOnlineState(this))
{
    qRegisterMetaType<Accounts::AccountId>("Accounts::AccountId");
    qMailLog(Scheduler) << "SyncScheduler is created";
}

SyncScheduler::~SyncScheduler()
{
    finit_conn();
    mSchedulers.clear();
    // The device-mode object goes with this object's children; nobody may
    // ask the one that is gone.
    if (mEnabler && mEnabler->parent() == this) {
        mEnabler = nullptr;
    }
}

void SyncScheduler::startWhenReady()
{
    auto *timed = new Velmar::Timed::Interface(this);
    timed->settings_changed_connect(this, SLOT(onTimeSettingsChanged()));

    if (qgetenv("MAIL_BOOT_NO_WAIT") == "1") {
        qMailLog(Scheduler) << "Starting scheduller imediatelly";
        init();
        return;
    }
    qMailLog(Scheduler) << "Waiting for init done notification";
    ENFORCE(QDBusConnection::systemBus().connect(QString(), InitDonePath, InitDoneInterface,
                                                 InitDoneSignal, this, SLOT(handleInitDone())));
}

void SyncScheduler::handleInitDone()
{
    qMailLog(Scheduler) << "Init done received";
    ENFORCE(QDBusConnection::systemBus().disconnect(QString(), InitDonePath, InitDoneInterface,
                                                    InitDoneSignal, this, SLOT(handleInitDone())));
    init();
}

void SyncScheduler::init()
{
    qMailLog(Scheduler) << "SyncScheduler::init()";
    ENFORCE(connect(&mManager, SIGNAL(accountCreated(Accounts::AccountId)), this,
                    SLOT(onAccountCreated(Accounts::AccountId)), Qt::QueuedConnection));
    ENFORCE(connect(&mManager, SIGNAL(accountUpdated(Accounts::AccountId)), this,
                    SLOT(onAccountUpdated(Accounts::AccountId)), Qt::QueuedConnection));
    ENFORCE(connect(&mManager, SIGNAL(accountRemoved(Accounts::AccountId)), this,
                    SLOT(onAccountRemoved(Accounts::AccountId)), Qt::QueuedConnection));
    ENFORCE(connect(this, SIGNAL(start(Accounts::AccountId, bool)), this,
                    SLOT(onStart(Accounts::AccountId, bool)), Qt::QueuedConnection));
    ENFORCE(connect(this, SIGNAL(allowConnectionChanged(bool)), this,
                    SLOT(onAllowConnectionChanged(bool)), Qt::QueuedConnection));
    QDBusConnection::sessionBus().connect(
        QString(), QString(), QStringLiteral("com.google.code.AccountsSSO.Accounts"),
        QStringLiteral("AccountChanged"), this, SLOT(handleAccountChange(QDBusMessage)));

    const Accounts::AccountIdList ids = mManager.accountList(MailServiceType);
    for (Accounts::AccountId id : ids) {
        const bool first = isFirstSync(id);
        if (first) {
            sync(id);
        }
        addAccount(id, !first);
    }

    init_conn();
    mAllowConnection = isConnectionAllowed();
}

bool SyncScheduler::isFirstSync(Accounts::AccountId id)
{
    qMailLog(Scheduler) << "Checking if it is the first sync for account" << id;
    const AccountReading reading(mManager, id);
    Accounts::Account *account = reading.account;
    if (!account) {
        return false;
    }
    const Accounts::ServiceList services = account->services(MailServiceType);
    if (services.isEmpty()) {
        qMailLog(Scheduler) << "Account" << id << "doesn't support any e-mail service";
        return false;
    }
    if (account->providerName() == XorleProvider) {
        qMailLog(Scheduler) << "Account" << id << "is a xorle account, skipped";
        return false;
    }
    account->selectService(services.first());
    if (account->valueAsInt(QStringLiteral("lastSynchronized"), 0) == 0) {
        qMailLog(Scheduler) << "This account was never synchronized, first sync is required";
        return true;
    }
    qMailLog(Scheduler) << "This account is already synchronized";
    return false;
}

bool SyncScheduler::readSettings(Accounts::AccountId id, ScheduleSettings &settings)
{
    const AccountReading reading(mManager, id);
    Accounts::Account *account = reading.account;
    if (!account) {
        return false;
    }
    qMailLog(Scheduler) << "Reading schedule settings for account" << id << "...";
    if (!account->enabled()) {
        qMailLog(Scheduler) << "Account" << id << "is disabled";
        return false;
    }
    if (!mManager.accountListEnabled(MailServiceType).contains(id)) {
        qMailLog(Scheduler) << "Account" << id << "doesn't have enabled e-mail services, ignor it.";
        return false;
    }
    if (account->providerName() == XorleProvider) {
        qMailLog(Scheduler) << "Account" << id << "is a xorle account, skipped";
        return false;
    }
    account->selectService();
    settings.enabled = account->valueAsBool(QStringLiteral("scheduler/schedule_enabled"), true);
    if (settings.enabled) {
        settings.peakSchedule = account->valueAsInt(QStringLiteral("scheduler/schedule_peak"), -1);
        settings.offPeakSchedule
            = account->valueAsInt(QStringLiteral("scheduler/schedule_off_peak"), -1);
        settings.peakDays = account->valueAsInt(QStringLiteral("scheduler/schedule_peak_days"), 0);
        settings.peakStart
            = account->valueAsInt(QStringLiteral("scheduler/schedule_peak_start_time"), 0);
        settings.peakEnd
            = account->valueAsInt(QStringLiteral("scheduler/schedule_peak_end_time"), 0);
    } else {
        qMailLog(Scheduler) << "Scheduling is disabled for account" << id;
        settings.peakSchedule = -1;
        settings.offPeakSchedule = -1;
        settings.peakDays = 0;
        settings.peakStart = 0;
        settings.peakEnd = 0;
    }
    qMailLog(Scheduler) << "Successfully read sync settings for account" << id;
    return true;
}

QSharedPointer<AccountScheduler> SyncScheduler::addAccount(Accounts::AccountId id, bool immediate)
{
    qMailLog(Scheduler) << "Adding account" << id << "to the scheduler...";
    ScheduleSettings settings;
    if (!readSettings(id, settings)) {
        removeAccount(id);
        return QSharedPointer<AccountScheduler>();
    }
    QSharedPointer<AccountScheduler> scheduler(
        new AccountScheduler(id, settings.peakDays, settings.peakStart, settings.peakEnd,
                             settings.peakSchedule, settings.offPeakSchedule));
    mSchedulers.insert(id, scheduler);
    Q_EMIT accountAdded(QMailAccountId(id));
    connect(scheduler.data(), SIGNAL(sync(Accounts::AccountId)), this,
            SLOT(onCheckAlwaysOnAndSync(Accounts::AccountId)));
    connect(scheduler.data(), SIGNAL(checkAlwaysOn(Accounts::AccountId)), this,
            SLOT(onCheckAlwaysOn(Accounts::AccountId)));
    connect(mNetwork, SIGNAL(onlineStateChanged(bool)), scheduler.data(),
            SLOT(onOnlineStateChanged(bool)));
    Q_EMIT start(id, immediate);
    qMailLog(Scheduler) << "Account" << id << "has been added";
    return scheduler;
}

QSharedPointer<AccountScheduler> SyncScheduler::updateAccount(Accounts::AccountId id,
                                                              bool immediate)
{
    qMailLog(Scheduler) << "Updating scheduling settings of account" << id << "...";
    const QSharedPointer<AccountScheduler> scheduler = mSchedulers.value(id);
    if (!scheduler) {
        return addAccount(id, immediate);
    }
    ScheduleSettings settings;
    if (!readSettings(id, settings)) {
        removeAccount(id);
        return QSharedPointer<AccountScheduler>();
    }
    scheduler->reset(settings.peakDays, settings.peakStart, settings.peakEnd, settings.peakSchedule,
                     settings.offPeakSchedule, immediate && mAllowConnection);
    keepRestriction(scheduler);
    qMailLog(Scheduler) << "Account" << id << "has been updated";
    onDelayedCheckAlwaysOn(id);
    return scheduler;
}

QSharedPointer<AccountScheduler> SyncScheduler::removeAccount(Accounts::AccountId id)
{
    QSharedPointer<AccountScheduler> scheduler = mSchedulers.value(id);
    if (scheduler) {
        scheduler->stopScheduler();
        mSchedulers.remove(id);
        Q_EMIT accountDeleted(QMailAccountId(id));
    }
    qMailLog(Scheduler) << "Account" << id << "has been removed from scheduler";
    return scheduler;
}

// libaccounts tells other processes of a change before the writer has
// committed it: an account looked up at once may not be there yet. It is
// looked up again on every later change signal and after a growing pause,
// until it is there or for at most five seconds; the outcome is handled (and
// logged) once.
void SyncScheduler::onAccountCreated(Accounts::AccountId id)
{
    qMailLog(Scheduler) << "new account" << id;
    readWhenFound(id, true);
}

void SyncScheduler::onAccountUpdated(Accounts::AccountId id)
{
    qMailLog(Scheduler) << "updated account" << id;
    readWhenFound(id, false);
}

void SyncScheduler::readWhenFound(Accounts::AccountId id, bool created)
{
    const auto it = mPendingReads.find(id);
    if (it != mPendingReads.end()) {
        it->created = it->created || created;
        return; // the next look is already due
    }
    PendingRead &pending = mPendingReads[id];
    pending.created = created;
    pending.deadline.setRemainingTime(AccountReadLimitMs);
    armRead(id);
}

void SyncScheduler::armRead(Accounts::AccountId id)
{
    PendingRead &pending = mPendingReads[id];
    QTimer::singleShot(pending.pause, this, [this, id] { readIfFound(id, true); });
    pending.pause = qMin(pending.pause * 2, AccountReadPauseMaxMs);
}

void SyncScheduler::readIfFound(Accounts::AccountId id, bool paused)
{
    const auto it = mPendingReads.find(id);
    if (it == mPendingReads.end()) {
        return;
    }
    const bool found = AccountReading(mManager, id, false).account;
    if (!found && !it->deadline.hasExpired()) {
        if (paused) {
            armRead(id);
        }
        return;
    }
    const bool created = it->created;
    mPendingReads.erase(it);
    if (!created) {
        updateAccount(id, true);
    } else if (addAccount(id, false)) {
        sync(id);
    }
}

void SyncScheduler::handleAccountChange(const QDBusMessage &message)
{
    // libaccounts' own layout: sender's pid, time, account, created,
    // deleted, provider, then per service its name, type, id, changed and
    // removed settings. Anything else is not a change of the database.
    if (message.signature() != QLatin1String("uuubbsa(ssua{sv}as)")) {
        return;
    }
    const QList<QVariant> arguments = message.arguments();
    const auto ids = mPendingReads.keys();
    for (Accounts::AccountId pending : ids) {
        readIfFound(pending, false);
    }
    if (arguments.at(3).toBool() || arguments.at(4).toBool()) {
        return; // creation and deletion come through the manager
    }
    // An e-mail service enabled or disabled: the "global" manager is not
    // told, and a manager of the "e-mail" kind only of accounts it has
    // loaded.
    const Accounts::AccountId id = arguments.at(2).toUInt();
    const QDBusArgument services = arguments.at(6).value<QDBusArgument>();
    services.beginArray();
    while (!services.atEnd()) {
        QString name, type;
        uint serviceId = 0;
        QVariantMap changed;
        QStringList removed;
        services.beginStructure();
        services >> name >> type >> serviceId >> changed >> removed;
        services.endStructure();
        if (type == MailServiceType && changed.contains(QStringLiteral("enabled"))) {
            onAccountUpdated(id);
            break;
        }
    }
    services.endArray();
}

void SyncScheduler::onAccountRemoved(Accounts::AccountId id)
{
    qMailLog(Scheduler) << "deleted account" << id;
    mPendingReads.remove(id);
    removeAccount(id);
}

void SyncScheduler::onStart(Accounts::AccountId id, bool aImmediateSyncAllowed)
{
    const QSharedPointer<AccountScheduler> scheduler = mSchedulers.value(id);
    if (scheduler) {
        scheduler->startScheduler(aImmediateSyncAllowed && mAllowConnection);
        keepRestriction(scheduler);
    }
}

// A schedule (re)started while connections are not allowed (a metered
// network, flight mode or power save since start-up, or since before an
// account came) is stopped as a change of the inputs would have stopped it.
void SyncScheduler::keepRestriction(const QSharedPointer<AccountScheduler> &scheduler)
{
    if (!mAllowConnection) {
        scheduler->setForcedSchedule(-1);
    }
}

void SyncScheduler::sync(Accounts::AccountId id)
{
    qMailLog(Scheduler) << "Starting synchronization for account" << id;
    const QMailAccountId aid(id);
    TAVIK_FATAL_ASSERT(aid.isValid());

    const QSharedPointer<AccountScheduler> scheduler = mSchedulers.value(id);
    if (scheduler) {
        if (scheduler->isSyncInProgress()) {
            return;
        }
        // The outcome may arrive after this object is gone (teardown while a
        // sync runs): then there is nobody left to tell.
        const QPointer<SyncScheduler> self(this);
        scheduler->doSync(
            [self, id] {
                if (self) {
                    self->onSyncSucceed(id);
                }
            },
            [self, id](const QMailServiceAction::Status &status) {
                if (self) {
                    self->onSyncFailed(id, status);
                }
            });
        return;
    }
    qWarning() << "Synchronizing an unknown account" << id;
    TavikBackendStrategy::SyncAccount<TavikBackendStrategy::IgnoreSuccess,
                                      TavikBackendStrategy::LogError>
        strategy { TavikBackendStrategy::IgnoreSuccess(), TavikBackendStrategy::LogError() };
    strategy(aid, QMailFolderId());
}

void SyncScheduler::onSync(Accounts::AccountId id)
{
    sync(id);
}

void SyncScheduler::onSyncSucceed(Accounts::AccountId id)
{
    const QSharedPointer<AccountScheduler> scheduler = mSchedulers.value(id);
    if (!scheduler) {
        qWarning() << "sync succeed for an unknown account" << id;
        return;
    }
    scheduler->onSyncSucceed();
}

void SyncScheduler::onSyncFailed(Accounts::AccountId id, QMailServiceAction::Status status)
{
    const QSharedPointer<AccountScheduler> scheduler = mSchedulers.value(id);
    if (!scheduler) {
        qWarning() << "sync failed for an unknown account" << id;
        return;
    }
    scheduler->onSyncFailed(status);
}

void SyncScheduler::onTimeSettingsChanged()
{
    qMailLog(Scheduler) << "recieved time settings chaged signal";
    // A copy: a scheduler's reaction cannot change the map under the loop.
    const auto schedulers = mSchedulers;
    for (const QSharedPointer<AccountScheduler> &scheduler : schedulers) {
        const int before = scheduler->currentSchedule();
        const int after = scheduler->updateSchedule();
        if (after != before) {
            scheduler->setSchedule(after, after != -1);
        }
    }
}

// Always-on mode and push folders.

void SyncScheduler::onCheckAlwaysOnAndSync(Accounts::AccountId id)
{
    updateAlwaysOn(id, true);
}

void SyncScheduler::onCheckAlwaysOn(Accounts::AccountId id)
{
    updateAlwaysOn(id, false);
}

void SyncScheduler::onDelayedCheckAlwaysOn(Accounts::AccountId id)
{
    qMailLog(Scheduler) << "account" << id << ": check always-on delayed for" << 5 << "seconds...";
    auto *delayed = new DelayedSignal(5, id, this);
    connect(delayed, SIGNAL(timeout(Accounts::AccountId)), this,
            SLOT(onCheckAlwaysOn(Accounts::AccountId)));
}

void SyncScheduler::updateAlwaysOn(Accounts::AccountId id, bool syncNeeded)
{
    const QSharedPointer<AccountScheduler> scheduler = mSchedulers.value(id);
    if (!scheduler || scheduler->isSyncInProgress()) {
        return;
    }
    qMailLog(Scheduler) << "Checking for always-on for account" << id
                        << (syncNeeded ? ", sync needed..." : "...");
    const int schedule = scheduler->currentSchedule();
    const AccountReading reading(mManager, id, false);
    Accounts::Account *account = reading.account;
    if (!account) {
        return;
    }

    QString prefix;
    bool capable = false;
    const Accounts::ServiceList services = account->services(MailServiceType);
    for (const Accounts::Service &service : services) {
        account->selectService(service);
        const QStringList keys = account->allKeys();
        for (const QString &key : keys) {
            if (key == pushCapableKey() || key.endsWith(QLatin1Char('/') + pushCapableKey())) {
                qMailLog(Scheduler)
                    << "Account" << id << "has a service which supports always-on mode";
                prefix = key.left(key.size() - pushCapableKey().size());
                capable = true;
                break;
            }
        }
        if (capable) {
            break;
        }
    }
    if (!capable) {
        qMailLog(Scheduler) << "Account" << id
                            << "doesn't have any service which supports always-on mode";
        if (syncNeeded) {
            sync(id);
        }
        return;
    }

    bool changed = false;
    const QString enabledKey = prefix + pushEnabledKey();
    const QString enabled = account->valueAsString(enabledKey, QStringLiteral("0"));
    qMailLog(Scheduler) << "Account" << id << ": sync schedule" << schedule
                        << "current config:" << pushEnabledKey() << "=" << enabled;
    const QString wanted = schedule == 0 ? QStringLiteral("1") : QStringLiteral("0");
    if (enabled != wanted) {
        qMailLog(Scheduler) << (schedule == 0 ? "Enabling" : "Disabling")
                            << "always-on mode for account" << id;
        account->setValue(enabledKey, QVariant(wanted));
        changed = true;
    } else {
        qMailLog(Scheduler) << "always-on mode for account" << id << "already"
                            << (schedule == 0 ? "enabled" : "disabled");
    }
    if (schedule == 0) {
        const QString foldersKey = prefix + pushFoldersKey();
        const QString folders = account->valueAsString(foldersKey, QString());
        const QString value = pushFoldersValue(id);
        if (folders != value) {
            qMailLog(Scheduler) << "push folders:" << value;
            account->setValue(foldersKey, QVariant(value));
            changed = true;
        } else {
            qMailLog(Scheduler) << "push folders list is not changed";
        }
    }
    // Stored before the account object goes: a store left to run after it
    // would be cancelled with it. A store that fails is not a change: the
    // next check would fail again and sync again a second later, for ever.
    if (changed && !account->syncAndBlock()) {
        qWarning() << "Account" << id << "configuration could not be stored";
        changed = false;
    }
    if (changed) {
        qMailLog(Scheduler) << "Account" << id << "configuration updated";
        syncNeeded = true;
    }
    if (syncNeeded) {
        if (changed) {
            qMailLog(Scheduler) << "account" << id << ": sync delayed for" << 1 << "seconds...";
            auto *delayed = new DelayedSignal(1, id, this);
            connect(delayed, SIGNAL(timeout(Accounts::AccountId)), this,
                    SLOT(onSync(Accounts::AccountId)));
        } else {
            sync(id);
        }
    }
}

QString SyncScheduler::pushFoldersValue(Accounts::AccountId id)
{
    const QMailAccountId aid(id);
    QMailFolderIdList ids = QMailStore::instance()->queryFolders(
        QMailFolderKey::parentAccountId(aid) & favouriteKey());
    const QMailFolderId inbox = TavikUtils::getInboxFolder(aid);
    if (!ids.contains(inbox)) {
        ids.append(inbox);
    }
    QStringList paths;
    for (const QMailFolderId &folderId : qAsConst(ids)) {
        const QMailFolder folder(folderId);
        if (folder.id().isValid()) {
            paths.append(folder.path());
        }
    }
    std::sort(paths.begin(), paths.end());
    return paths.join(QLatin1Char('\n'));
}

// Connectivity and device mode.

bool SyncScheduler::isConnectionAllowed()
{
    bool allowed = mAllowBackground;
    if (allowed) {
        const bool flightMode = mEnabler && mEnabler->getMode() == MeeGo::QmDeviceMode::Flight;
        qMailLog(Scheduler) << " flight mode is " << flightMode;
        if (flightMode) {
            allowed = false;
        } else {
            const bool powerSave
                = mEnabler && mEnabler->getPSMState() == MeeGo::QmDeviceMode::PSMStateOn;
            qMailLog(Scheduler) << "power save mode is " << powerSave;
            allowed = !powerSave;
        }
    }
    qMailLog(Scheduler) << "is connection allowed: " << allowed;
    return allowed;
}

QString SyncScheduler::connectionRestriction()
{
    if (mEnabler && mEnabler->getMode() == MeeGo::QmDeviceMode::Flight) {
        return QStringLiteral("flight mode");
    }
    if (mEnabler && mEnabler->getPSMState() == MeeGo::QmDeviceMode::PSMStateOn) {
        return QStringLiteral("power save");
    }
    return mAllowBackground ? QString() : QStringLiteral("metered network");
}

void SyncScheduler::init_conn()
{
    qMailLog(Scheduler) << "ConnSettings: init_conn()";
    if (mConnSettings) {
        qMailLog(Scheduler) << "ConnSettings: already initialized";
    } else {
        mConnSettings = conn_settings_open(CONN_SETTINGS_NETWORK_TYPE, NetworkTypeId);
        if (!mConnSettings) {
            qMailLog(Scheduler) << "ConnSettings: cannot open settings for  " << NetworkTypeId;
            return;
        }
        if (!conn_settings_add_notify(mConnSettings, ConnSettingsNotify, this)) {
            qMailLog(Scheduler) << "ConnSettings: notifier is NOT installed";
            // Closed rather than forgotten: nothing uses it afterwards.
            conn_settings_close(mConnSettings);
            mConnSettings = nullptr;
            return;
        }
        qMailLog(Scheduler) << "ConnSettings: notifier is installed";
        int value = 0;
        const int error = conn_settings_get_bool(mConnSettings, RestrictedModeKey, &value);
        if (error == CONN_SETTINGS_E_NO_ERROR) {
            mAllowBackground = value == 0;
            qMailLog(Scheduler) << "ConnSettings: allow backgr connection value is "
                                << mAllowBackground;
        } else {
            qMailLog(Scheduler) << "ConnSettings: unable to get value for " << NetworkTypeId
                                << " :error " << error;
        }
    }
    if (mEnabler) {
        qMailLog(Scheduler) << "MeeGo::QmDeviceMode* mEnabler is already initialized";
        return;
    }
    mEnabler = new MeeGo::QmDeviceMode(this);
    connect(mEnabler, SIGNAL(deviceModeChanged(MeeGo::QmDeviceMode::DeviceMode)), this,
            SLOT(onDeviceModeChanged()));
    connect(mEnabler, SIGNAL(devicePSMStateChanged(MeeGo::QmDeviceMode::PSMState)), this,
            SLOT(onDeviceModeChanged()));
}

void SyncScheduler::finit_conn()
{
    qMailLog(Scheduler) << "ConnSettings: finit_conn()";
    if (mConnSettings) {
        conn_settings_del_notify(mConnSettings);
        conn_settings_close(mConnSettings);
        mConnSettings = nullptr;
    }
}

void SyncScheduler::ConnSettingsNotify(ConnSettingsType type, const char *id, const char *key,
                                       ConnSettingsValue *value, void *user_data)
{
    qMailLog(Scheduler) << "ConnSettingsNotify: notifier is called for type " << int(type)
                        << ", id=" << id << ", key =" << key;
    if (type != CONN_SETTINGS_NETWORK_TYPE || qstrcmp(id, NetworkTypeId) != 0
        || qstrcmp(key, RestrictedModeKey) != 0) {
        qMailLog(Scheduler) << "invalid type or id or key";
        return;
    }
    if (!value || value->type != CONN_SETTINGS_VALUE_BOOL) {
        qMailLog(Scheduler) << "invalid value";
        return;
    }
    mAllowBackground = value->value.bool_val == 0;
    qMailLog(Scheduler) << "value is changed to " << mAllowBackground;
    if (user_data) {
        static_cast<SyncScheduler *>(user_data)->onDeviceModeChanged();
    }
}

void SyncScheduler::onDeviceModeChanged()
{
    qMailLog(Scheduler) << "onDeviceModeChanged()";
    const bool allowed = isConnectionAllowed();
    qMailLog(Scheduler) << " connection allowed is " << allowed;
    if (allowed != mAllowConnection) {
        mAllowConnection = allowed;
        Q_EMIT allowConnectionChanged(allowed);
        qMailLog(Scheduler) << " emitting signal";
    }
}

void SyncScheduler::onAllowConnectionChanged(bool allowed)
{
    qMailLog(Scheduler) << "recieved allow connection chaged signal :" << allowed;
    const auto schedulers = mSchedulers;
    for (const QSharedPointer<AccountScheduler> &scheduler : schedulers) {
        scheduler->setForcedSchedule(allowed ? -2 : -1);
    }
}
