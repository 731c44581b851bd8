#ifndef ACCOUNTMIRROR_H
#define ACCOUNTMIRROR_H

#include "server/mailbackend.h"

#include <Accounts/Manager>

#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTimer>

// Keeps the mail store's accounts in step with the e-mail accounts of the
// accounts database: an accounts-database account N is the store account N
// (same number), created, updated and removed as soon as the accounts
// database says so.
//
// Store accounts this mirror did not make (with `qmfctl account add`, say)
// are left alone: never changed, never removed. The mirror marks the store
// accounts it makes, and keeps their numbers beside the store under the
// store's identity, so an account removed from the accounts database while
// the server was not running is removed at the next start. When the
// accounts database has account N while a store account N made elsewhere
// exists, that store account keeps its name and its mail: account N is not
// served (its requests fail, with one warning naming both) until one of the
// two goes.
class AccountMirror : public QObject
{
    Q_OBJECT
public:
    explicit AccountMirror(QObject *parent = nullptr);
    ~AccountMirror() override;

    // Mirrors every account now and follows the accounts database from here on.
    void start();

    // What the accounts database says about the account, read now.
    AccountConfig config(const QMailAccountId &id) const;
    // The store holds the account afterwards, when the accounts database has
    // it; false when neither has it.
    bool ensureInStore(const QMailAccountId &id);
    // Stores the time of a completed whole-account synchronisation in the
    // e-mail service's "lastSynchronized".
    void recordSynchronized(const QMailAccountId &id);

    // Changes that came while a job held a store transaction are applied now.
    void applyPending();

Q_SIGNALS:
    // The account's configuration may have changed (also when it was removed).
    void configChanged(const QMailAccountId &id);

private Q_SLOTS:
    void onAccountChanged(Accounts::AccountId id);
    void onDatabaseChanged();
    void onAccountRemoved(Accounts::AccountId id);
    void onDatabaseNotice();

private:
    void mirror(Accounts::AccountId id);
    Accounts::Account *liveAccount(quint64 number);
    void loadMirrored();
    void saveMirrored();

    // The process's one manager, for its whole run: libaccounts-glib opens
    // and closes the database file outside SQLite for each manager it makes,
    // and that close drops the SQLite locks of every connection the process
    // has on the file (POSIX locks belong to the process). Another program
    // ending its last connection would then find the database unused and
    // delete the write-ahead log under ours ("disk I/O error").
    Accounts::Manager mEmail;
    QSet<quint64> mMirrored;
    // One account object per account for the whole run: libaccounts brings
    // the changes of other processes into these, while an object loaded
    // afresh may show an old state of the database.
    // Guarded: a removed account's object is deleted later, and the manager
    // may hand it out again until then.
    QHash<quint64, QPointer<Accounts::Account>> mLive;
    mutable QSet<quint64> mRefused; // numbers held by a store account made elsewhere: warned once
    QSet<Accounts::AccountId> mPending;
    QSet<Accounts::AccountId> mPushMarked; // accounts told to be push-capable by this process
    bool mMirroring = false;
    bool mNoticePending = false;
    QTimer mSecondLook;
    QString mStateFile;
};

#endif // ACCOUNTMIRROR_H
