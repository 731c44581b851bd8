#ifndef ACCOUNTSTATUS_H
#define ACCOUNTSTATUS_H

#include "accountstate.h"

#include <Accounts/Account>

#include <qmailid.h>

#include <QDBusContext>
#include <QHash>
#include <QObject>
#include <QPointer>

class SyncScheduler;

// Publishes the state of every scheduled e-mail account on the session bus
// (com.brenmor.Postvane, /com/brenmor/Postvane/Accounts): its schedule, why
// that schedule is in force, and how its last synchronisation ended; and
// synchronises an account when asked. It reads the schedulers and tells a
// change as soon as an account scheduler reports one.
class AccountStatus : public QObject, protected QDBusContext
{
    Q_OBJECT
public:
    explicit AccountStatus(SyncScheduler *scheduler, QObject *parent = nullptr);
    ~AccountStatus() override;

    // Owns the bus name and serves the object; false (with a warning) when
    // either is taken.
    bool publish();

    QVariantMap stateOf(Accounts::AccountId id) const;

public Q_SLOTS:
    AccountStateList GetAccounts();
    bool Synchronize(uint account);

Q_SIGNALS:
    void AccountChanged(uint account, const QVariantMap &state);

private Q_SLOTS:
    void onAccountAdded(const QMailAccountId &id);
    void onAccountDeleted(const QMailAccountId &id);

private:
    void tell(Accounts::AccountId id);

    QPointer<SyncScheduler> mScheduler;
    QHash<Accounts::AccountId, QVariantMap> mPublished;
};

#endif // ACCOUNTSTATUS_H
