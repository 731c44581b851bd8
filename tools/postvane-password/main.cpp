// postvane-password: stores the password of an e-mail account's servers with
// the credentials service (signond), so that it never sits in the accounts
// database's plain settings, and links it to the account.

#include <Accounts/Account>
#include <Accounts/Manager>
#include <Accounts/Service>
#include <SignOn/Identity>
#include <SignOn/IdentityInfo>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTextStream>
#include <QTimer>

#include <cstdio>
#include <termios.h>
#include <unistd.h>

namespace {

const char Usage[] = "Usage: postvane-password ACCOUNT\n"
                     "\n"
                     "Reads a password from standard input (one line) and keeps it with the\n"
                     "credentials service as the password of the IMAP and SMTP servers of the\n"
                     "e-mail account ACCOUNT of the accounts database. A password stored\n"
                     "before is replaced.\n";

const QString CredentialsKey = QStringLiteral("CredentialsId");

int failWith(const QString &text)
{
    std::fprintf(stderr, "postvane-password: %s\n", qPrintable(text));
    return 1;
}

// One line of standard input, without echo when a person types it.
QString readLine()
{
    termios saved {};
    const bool terminal = ::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        std::fputs("Password: ", stderr);
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    QTextStream in(stdin);
    const QString line = in.readLine();
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputs("\n", stderr);
    }
    return line;
}

// Waits for the identity's answer (the signal) or its error: the credentials
// service is reached over D-Bus. The error text is empty on success.
template<typename Answer> QString await(SignOn::Identity *identity, Answer answer)
{
    QEventLoop loop;
    QString error = QStringLiteral("the credentials service does not answer");
    QObject::connect(identity, answer, &loop, [&] {
        error.clear();
        loop.quit();
    });
    QObject::connect(identity, &SignOn::Identity::error, &loop, [&](const SignOn::Error &refusal) {
        error = refusal.message();
        loop.quit();
    });
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    loop.exec();
    return error;
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
    const QString password = readLine();
    if (password.isEmpty()) {
        return failWith(QStringLiteral("The password is empty"));
    }
    const Accounts::Service service = account->services().first();
    account->selectService(service);
    const quint64 previous = account->valueAsUInt64(CredentialsKey);

    // A new identity each time: the message server tries a login it saw
    // refused again only when the account's settings change.
    SignOn::IdentityInfo info(QStringLiteral("E-mail account %1").arg(id),
                              account->valueAsString(QStringLiteral("imap/username")),
                              { { QStringLiteral("password"), { QStringLiteral("password") } } });
    info.setSecret(password, true);
    info.setAccessControlList(QStringList { QStringLiteral("*") });
    SignOn::Identity *identity = SignOn::Identity::newIdentity(info, &app);
    quint32 stored = 0;
    QObject::connect(identity, &SignOn::Identity::credentialsStored,
                     [&stored](quint32 newId) { stored = newId; });
    identity->storeCredentials();
    QString error = await(identity, &SignOn::Identity::credentialsStored);
    if (!error.isEmpty()) {
        return failWith(QStringLiteral("Cannot store the password: %1").arg(error));
    }
    account->setValue(CredentialsKey, stored);
    if (!account->syncAndBlock()) {
        identity->remove();
        await(identity, &SignOn::Identity::removed);
        return failWith(QStringLiteral("Cannot write account %1").arg(id));
    }
    if (previous != 0 && previous != stored && previous <= 0xffffffffULL) {
        SignOn::Identity *old = SignOn::Identity::existingIdentity(quint32(previous), &app);
        old->remove();
        error = await(old, &SignOn::Identity::removed);
        if (!error.isEmpty()) {
            std::fprintf(stderr,
                         "postvane-password: the password stored before (credentials %llu) "
                         "stays: %s\n",
                         previous, qPrintable(error));
        }
    }
    return 0;
}
