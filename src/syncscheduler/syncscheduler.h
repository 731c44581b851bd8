#ifndef SYNCSCHEDULER_H
#define SYNCSCHEDULER_H

#include "accountscheduler.h"
#include "connsettings.h"
#include "schedulesettings.h"

#include <Accounts/Account>
#include <Accounts/Manager>

#include <qmailfolderkey.h>

#include <QDeadlineTimer>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QSharedPointer>

class NetworkOnlineState;
class QDBusMessage;

namespace MeeGo {
class QmDeviceMode;
}

// Turns the accounts database into running synchronisation schedules: one
// AccountScheduler per e-mail account, created, reset and removed as the
// accounts change. It waits for the platform's "init_done" before it starts
// (unless MAIL_BOOT_NO_WAIT is "1"), turns an account's request to sync into
// the sync strategy's service requests and routes the outcome back, keeps the
// push settings of always-on accounts in the accounts database, and forces
// every schedule off while background connections are not allowed.
class SyncScheduler : public QObject
{
    Q_OBJECT
public:
    explicit SyncScheduler(QObject *parent = nullptr);
    ~SyncScheduler() override;

    // Starts scheduling now, or when start-up has finished.
    void startWhenReady();

    // Whether background connections are allowed now: by the connectivity
    // settings, and neither in flight mode nor in power-save mode.
    static bool isConnectionAllowed();
    // Why background connections are not allowed ("flight mode", "power
    // save" or "metered network"); empty when they are.
    static QString connectionRestriction();

    // What the account status publisher reads.
    QSharedPointer<AccountScheduler> accountScheduler(Accounts::AccountId id) const
    {
        return mSchedulers.value(id);
    }
    QList<Accounts::AccountId> scheduledAccounts() const { return mSchedulers.keys(); }
    // The process's one manager (see mManager).
    Accounts::Manager *accountsManager() { return &mManager; }

Q_SIGNALS:
    void start(Accounts::AccountId id, bool aImmediateSyncAllowed);
    void accountAdded(QMailAccountId);
    void accountDeleted(QMailAccountId);
    void allowConnectionChanged(bool allowed);

public Q_SLOTS:
    void onAccountCreated(Accounts::AccountId id);
    void onAccountUpdated(Accounts::AccountId id);
    void onAccountRemoved(Accounts::AccountId id);
    void onTimeSettingsChanged();
    void onSyncSucceed(Accounts::AccountId id);
    void onSyncFailed(Accounts::AccountId id, QMailServiceAction::Status status);
    void handleInitDone();
    void onAllowConnectionChanged(bool allowed);
    void onDeviceModeChanged();
    void onStart(Accounts::AccountId id, bool aImmediateSyncAllowed);
    void onSync(Accounts::AccountId id);
    void onDelayedCheckAlwaysOn(Accounts::AccountId id);
    void onCheckAlwaysOn(Accounts::AccountId id);
    void onCheckAlwaysOnAndSync(Accounts::AccountId id);

private Q_SLOTS:
    void handleAccountChange(const QDBusMessage &message);

private:
    void init();
    QSharedPointer<AccountScheduler> addAccount(Accounts::AccountId id, bool immediate);
    QSharedPointer<AccountScheduler> updateAccount(Accounts::AccountId id, bool immediate);
    QSharedPointer<AccountScheduler> removeAccount(Accounts::AccountId id);
    bool isFirstSync(Accounts::AccountId id);
    bool readSettings(Accounts::AccountId id, ScheduleSettings &settings);
    void readWhenFound(Accounts::AccountId id, bool created);
    void armRead(Accounts::AccountId id);
    void readIfFound(Accounts::AccountId id, bool paused);
    void keepRestriction(const QSharedPointer<AccountScheduler> &scheduler);
    void sync(Accounts::AccountId id);
    void updateAlwaysOn(Accounts::AccountId id, bool syncNeeded);
    QString pushFoldersValue(Accounts::AccountId id);
    void init_conn();
    void finit_conn();

    static void ConnSettingsNotify(ConnSettingsType type, const char *id, const char *key,
                                   ConnSettingsValue *value, void *user_data);

    // The process's one manager: libaccounts-glib opens and closes the
    // database file outside SQLite each time a manager is made, and that
    // close drops the SQLite locks of every connection the process already
    // has on it (POSIX locks belong to the process). Another program that
    // then ends its last connection finds the database unused, checkpoints
    // and deletes the write-ahead log under ours: "disk I/O error". With one
    // manager there is no connection to lose its lock. Account objects are
    // loaded afresh for every read and write and deleted after use, since
    // an object a manager keeps shows only the changes it was told of.
    Accounts::Manager mManager;
    // Accounts announced by a change signal and not yet found.
    struct PendingRead
    {
        bool created = false;
        int pause = 50; // ms before the next look
        QDeadlineTimer deadline;
    };
    QHash<Accounts::AccountId, PendingRead> mPendingReads;
    QMap<Accounts::AccountId, QSharedPointer<AccountScheduler>> mSchedulers;
    NetworkOnlineState *mNetwork;
    bool mAllowConnection = true;

    static ConnSettings *mConnSettings;
    static bool mAllowBackground;
    static MeeGo::QmDeviceMode *mEnabler;

    friend class SyncSchedulerTestAccess;
};

#endif // SYNCSCHEDULER_H
