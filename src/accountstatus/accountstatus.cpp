#include "accountstatus.h"

#include "accountsadaptor.h"
#include "statustexts.h"
#include "syncscheduler.h"

#include <Accounts/Manager>
#include <Accounts/Service>

#include <QDBusConnection>
#include <QDBusMetaType>

namespace {

const QString ServiceName = QStringLiteral("com.brenmor.Postvane");
const QString ObjectPath = QStringLiteral("/com/brenmor/Postvane/Accounts");
const QString PushCapable = QStringLiteral("pushCapable");

qint64 secondsOf(const QDateTime &time)
{
    return time.isValid() ? time.toSecsSinceEpoch() : 0;
}

} // namespace

AccountStatus::AccountStatus(SyncScheduler *scheduler, QObject *parent)
    : QObject(parent)
    , mScheduler(scheduler)
{
    qDBusRegisterMetaType<AccountState>();
    qDBusRegisterMetaType<AccountStateList>();
    new AccountsAdaptor(this);
    connect(scheduler, &SyncScheduler::accountAdded, this, &AccountStatus::onAccountAdded);
    connect(scheduler, &SyncScheduler::accountDeleted, this, &AccountStatus::onAccountDeleted);
}

AccountStatus::~AccountStatus() = default;

bool AccountStatus::publish()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject(ObjectPath, this)) {
        qWarning() << "AccountStatus: cannot serve" << ObjectPath << bus.lastError().message();
        return false;
    }
    if (!bus.registerService(ServiceName)) {
        qWarning() << "AccountStatus: cannot own" << ServiceName << bus.lastError().message();
        return false;
    }
    return true;
}

QVariantMap AccountStatus::stateOf(Accounts::AccountId id) const
{
    const QSharedPointer<AccountScheduler> scheduler
        = mScheduler ? mScheduler->accountScheduler(id) : QSharedPointer<AccountScheduler>();
    if (!scheduler) {
        return {};
    }
    QVariantMap state;
    QString name;
    bool pushCapable = false;
    qint64 lastSync = secondsOf(scheduler->lastSuccessTime());
    Accounts::Account *account = Accounts::Account::fromId(mScheduler->accountsManager(), id);
    if (account) {
        // libaccounts hands out the one object it has of an account while
        // anybody holds it, service selection included: the caller's
        // selection is put back.
        const Accounts::Service selected = account->selectedService();
        name = account->displayName();
        const Accounts::ServiceList services = account->services(QStringLiteral("e-mail"));
        for (const Accounts::Service &service : services) {
            account->selectService(service);
            const QStringList keys = account->allKeys();
            for (const QString &key : keys) {
                pushCapable = pushCapable || key == PushCapable
                    || key.endsWith(QLatin1Char('/') + PushCapable);
            }
            // The message server records every sync, also one the daemon
            // ran before this account had a scheduler.
            if (lastSync == 0) {
                lastSync = account->valueAsInt(QStringLiteral("lastSynchronized"), 0);
            }
        }
        account->selectService(selected);
        delete account;
    }
    const int interval = scheduler->currentSchedule();
    const int forced = scheduler->forcedSchedule();
    QString reason;
    if (forced == -1) {
        reason = SyncScheduler::connectionRestriction();
    } else if (forced != -2) {
        reason = QStringLiteral("always-on fallback");
    } else if (interval == 0) {
        reason = QStringLiteral("always-on");
    } else {
        reason = scheduler->isPeakInForce() ? QStringLiteral("peak") : QStringLiteral("off-peak");
    }
    const QMailServiceAction::Status &status = scheduler->lastStatus();
    state.insert(QStringLiteral("name"), name);
    state.insert(QStringLiteral("lastSync"), lastSync);
    state.insert(QStringLiteral("nextSync"), secondsOf(scheduler->nextSyncTime()));
    state.insert(QStringLiteral("interval"), interval);
    state.insert(QStringLiteral("reason"), reason);
    state.insert(QStringLiteral("push"), pushCapable && interval == 0);
    state.insert(QStringLiteral("syncing"), scheduler->isSyncInProgress());
    state.insert(QStringLiteral("errorCode"), int(status.errorCode));
    state.insert(QStringLiteral("errorText"), errorCodeText(status.errorCode));
    state.insert(QStringLiteral("serverText"), status.text);
    state.insert(QStringLiteral("waiting"),
                 status.errorCode == QMailServiceAction::Status::ErrLoginFailed
                     ? QStringLiteral("a changed setting")
                     : QString());
    return state;
}

AccountStateList AccountStatus::GetAccounts()
{
    AccountStateList accounts;
    const auto ids = mScheduler ? mScheduler->scheduledAccounts() : QList<Accounts::AccountId>();
    for (Accounts::AccountId id : ids) {
        accounts.append({ id, stateOf(id) });
    }
    return accounts;
}

bool AccountStatus::Synchronize(uint account)
{
    const QSharedPointer<AccountScheduler> scheduler
        = mScheduler ? mScheduler->accountScheduler(account) : QSharedPointer<AccountScheduler>();
    if (!scheduler) {
        sendErrorReply(QStringLiteral("com.brenmor.Postvane.Error.UnknownAccount"),
                       QStringLiteral("Account %1 is not a scheduled e-mail account").arg(account));
        return false;
    }
    if (scheduler->isSyncInProgress()) {
        return false;
    }
    // A sync asked for by the user runs whatever restricts background data,
    // as a manual refresh does.
    mScheduler->onSync(account);
    return true;
}

void AccountStatus::onAccountAdded(const QMailAccountId &id)
{
    const auto account = Accounts::AccountId(id.toULongLong());
    const QSharedPointer<AccountScheduler> scheduler = mScheduler->accountScheduler(account);
    if (scheduler) {
        // A scheduler may outlive this object.
        const QPointer<AccountStatus> self(this);
        scheduler->setStateObserver([self, account] {
            if (self) {
                self->tell(account);
            }
        });
    }
    tell(account);
}

void AccountStatus::onAccountDeleted(const QMailAccountId &id)
{
    const auto account = Accounts::AccountId(id.toULongLong());
    mPublished.remove(account);
    Q_EMIT AccountChanged(account, QVariantMap());
}

// Only a state that differs from the one last told goes out: a scheduler
// reports each step of a change.
void AccountStatus::tell(Accounts::AccountId id)
{
    const QVariantMap state = stateOf(id);
    if (state.isEmpty() || mPublished.value(id) == state) {
        return;
    }
    mPublished.insert(id, state);
    Q_EMIT AccountChanged(id, state);
}
