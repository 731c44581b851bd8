// postvane-password: stores the password of an e-mail account's servers with
// the credentials service (signond), so that it never sits in the accounts
// database's plain settings, and links it to the account.

#include "passwordstore.h"

#include <Accounts/Account>
#include <Accounts/Manager>

#include <QCoreApplication>

#include <cstdio>

namespace {

const char Usage[] = "Usage: postvane-password ACCOUNT\n"
                     "\n"
                     "Reads a password from standard input (one line) and keeps it with the\n"
                     "credentials service as the password of the IMAP and SMTP servers of the\n"
                     "e-mail account ACCOUNT of the accounts database. A password stored\n"
                     "before is replaced, and the running daemon synchronises the account.\n";

int failWith(const QString &text)
{
    std::fprintf(stderr, "postvane-password: %s\n", qPrintable(text));
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    bool ok = false;
    const Accounts::AccountId id = arguments.value(0).toUInt(&ok);
    if (arguments.size() != 1 || !ok || id == 0) {
        std::fputs(Usage, stderr);
        return 2;
    }

    Accounts::Manager manager(QStringLiteral("e-mail"));
    Accounts::Account *account = manager.account(id);
    if (!account || account->services().isEmpty()) {
        return failWith(QStringLiteral("No e-mail account %1 in the accounts database").arg(id));
    }
    const QString password = PasswordStore::readLine();
    if (password.isEmpty()) {
        return failWith(QStringLiteral("The password is empty"));
    }
    const QString error = PasswordStore::store(account, password);
    if (!error.isEmpty()) {
        return failWith(error);
    }
    PasswordStore::requestSync(id);
    return 0;
}
