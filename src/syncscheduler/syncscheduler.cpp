#include "syncscheduler.h"

#include "logcategories.h"
#include "tavikbackendstrategies.h"

#include <Accounts/Error>

#include <QMetaType>
#include <QPointer>

#include <memory>

namespace {

// The provider of accounts that another service synchronises.
const QString XorleProvider = QStringLiteral("xorle");

} // namespace

bool SyncScheduler::mAllowBackground = true;

SyncScheduler::SyncScheduler(QObject *parent)
    : QObject(parent)
    , mManager(QStringLiteral("global"))
{
    qRegisterMetaType<Accounts::AccountId>("Accounts::AccountId");
    qMailLog(Scheduler) << "SyncScheduler is created";
}

SyncScheduler::~SyncScheduler() = default;

bool SyncScheduler::isConnectionAllowed()
{
    bool allowed = mAllowBackground;
    if (allowed) {
        // Without a device-mode source flight mode and power save count as off.
        const bool flightMode = false;
        qMailLog(Scheduler) << " flight mode is " << flightMode;
        if (flightMode) {
            allowed = false;
        } else {
            const bool powerSave = false;
            qMailLog(Scheduler) << "power save mode is " << powerSave;
            allowed = !powerSave;
        }
    }
    qMailLog(Scheduler) << "is connection allowed: " << allowed;
    return allowed;
}

bool SyncScheduler::readSettings(Accounts::AccountId id, ScheduleSettings &settings)
{
    std::unique_ptr<Accounts::Account> account(mManager.account(id));
    if (!account) {
        qWarning() << "Account" << id << "not found, error:" << mManager.lastError().message();
        return false;
    }
    qMailLog(Scheduler) << "Reading schedule settings for account" << id << "...";
    if (!account->enabled()) {
        qMailLog(Scheduler) << "Account" << id << "is disabled";
        return false;
    }
    if (!mManager.accountListEnabled(QStringLiteral("e-mail")).contains(id)) {
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
