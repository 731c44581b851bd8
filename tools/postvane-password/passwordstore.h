#ifndef PASSWORDSTORE_H
#define PASSWORDSTORE_H

// The password of an e-mail account's servers, kept with the credentials
// service (signond) rather than in the accounts database's plain settings;
// the account's e-mail service names it by its "CredentialsId". Shared by the
// command-line tools that set accounts up.

#include <QString>

namespace Accounts {
class Account;
}

namespace PasswordStore {

// One line of standard input, without echo (and after a prompt on standard
// error) when a person types it.
QString readLine();

// Keeps the password under a new identity, writes its number into the
// account's e-mail service and removes the identity of the password before.
// A new identity each time: the message server tries a login it saw refused
// again only when the account's settings change. The error text is empty on
// success; a password before that cannot be removed is only warned about.
QString store(Accounts::Account *account, const QString &password);

// Removes a stored password; the error text is empty on success.
QString remove(quint32 credentialsId);

// The identity that holds the account's password, 0 when none.
quint32 credentialsOf(Accounts::Account *account);

// Asks the running daemon to synchronise the account now, so that a changed
// password or setting is tried at once rather than at the next scheduled
// sync. Nothing happens when no daemon runs or it does not schedule the
// account.
void requestSync(quint32 account);

} // namespace PasswordStore

#endif // PASSWORDSTORE_H
