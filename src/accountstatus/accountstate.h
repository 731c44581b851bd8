#ifndef ACCOUNTSTATE_H
#define ACCOUNTSTATE_H

#include <QDBusArgument>
#include <QList>
#include <QMetaType>
#include <QVariantMap>

// One account's entry of com.brenmor.Postvane.Accounts.GetAccounts: its
// number and its state (the keys are described in the interface's XML).
struct AccountState
{
    uint account = 0;
    QVariantMap state;
};
typedef QList<AccountState> AccountStateList;

inline QDBusArgument &operator<<(QDBusArgument &argument, const AccountState &entry)
{
    argument.beginStructure();
    argument << entry.account << entry.state;
    argument.endStructure();
    return argument;
}

inline const QDBusArgument &operator>>(const QDBusArgument &argument, AccountState &entry)
{
    argument.beginStructure();
    argument >> entry.account >> entry.state;
    argument.endStructure();
    return argument;
}

Q_DECLARE_METATYPE(AccountState)
Q_DECLARE_METATYPE(AccountStateList)

#endif // ACCOUNTSTATE_H
