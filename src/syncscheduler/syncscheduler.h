#ifndef SYNCSCHEDULER_H
#define SYNCSCHEDULER_H

#include "accountscheduler.h"
#include "schedulesettings.h"

#include <Accounts/Account>
#include <Accounts/Manager>

#include <QMap>
#include <QObject>
#include <QSharedPointer>

// Turns the accounts database into running synchronisation schedules: one
// AccountScheduler per e-mail account.
//
// This class is being built up in steps; so far it reads an account's schedule
// settings, synchronises an account and routes the outcome to the account's
// scheduler, and answers whether background connections are allowed.
class SyncScheduler : public QObject
{
    Q_OBJECT
public:
    explicit SyncScheduler(QObject *parent = nullptr);
    ~SyncScheduler() override;

    // Whether background connections are allowed now: by the connectivity
    // settings, and neither in flight mode nor in power-save mode.
    static bool isConnectionAllowed();

public Q_SLOTS:
    void onSyncSucceed(Accounts::AccountId id);
    void onSyncFailed(Accounts::AccountId id, QMailServiceAction::Status status);
    void onSync(Accounts::AccountId id);

private:
    bool readSettings(Accounts::AccountId id, ScheduleSettings &settings);
    void sync(Accounts::AccountId id);

    Accounts::Manager mManager;
    QMap<Accounts::AccountId, QSharedPointer<AccountScheduler>> mSchedulers;
    bool mAllowConnection = true;

    static bool mAllowBackground;

    friend class SyncSchedulerTestAccess;
};

#endif // SYNCSCHEDULER_H
