#include "passwordstore.h"

#include <Accounts/Account>
#include <Accounts/Service>
#include <SignOn/Identity>
#include <SignOn/IdentityInfo>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QEventLoop>
#include <QTextStream>
#include <QTimer>

#include <cstdio>
#include <termios.h>
#include <unistd.h>

namespace {

const QString CredentialsKey = QStringLiteral("CredentialsId");

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

// Selects the account's e-mail service, where its settings live.
bool selectEmailService(Accounts::Account *account)
{
    const Accounts::ServiceList services = account->services(QStringLiteral("e-mail"));
    if (services.isEmpty()) {
        return false;
    }
    account->selectService(services.first());
    return true;
}

} // namespace

namespace PasswordStore {

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

quint32 credentialsOf(Accounts::Account *account)
{
    if (!selectEmailService(account)) {
        return 0;
    }
    quint64 id = account->valueAsUInt64(CredentialsKey);
    if (id == 0) {
        account->selectService(); // an accounts UI may keep it account-wide
        id = account->valueAsUInt64(CredentialsKey);
    }
    return id > 0xffffffffULL ? 0 : quint32(id);
}

QString store(Accounts::Account *account, const QString &password)
{
    if (!selectEmailService(account)) {
        return QStringLiteral("account %1 has no e-mail service").arg(account->id());
    }
    const quint64 previous = account->valueAsUInt64(CredentialsKey);
    SignOn::IdentityInfo info(QStringLiteral("E-mail account %1").arg(account->id()),
                              account->valueAsString(QStringLiteral("imap/username")),
                              { { QStringLiteral("password"), { QStringLiteral("password") } } });
    info.setSecret(password, true);
    info.setAccessControlList(QStringList { QStringLiteral("*") });
    SignOn::Identity *identity = SignOn::Identity::newIdentity(info, account);
    quint32 stored = 0;
    QObject::connect(identity, &SignOn::Identity::credentialsStored,
                     [&stored](quint32 newId) { stored = newId; });
    identity->storeCredentials();
    QString error = await(identity, &SignOn::Identity::credentialsStored);
    if (!error.isEmpty()) {
        return QStringLiteral("Cannot store the password: %1").arg(error);
    }
    account->setValue(CredentialsKey, stored);
    if (!account->syncAndBlock()) {
        identity->remove();
        await(identity, &SignOn::Identity::removed);
        return QStringLiteral("Cannot write account %1").arg(account->id());
    }
    if (previous != 0 && previous != stored && previous <= 0xffffffffULL) {
        error = remove(quint32(previous));
        if (!error.isEmpty()) {
            std::fprintf(stderr, "%s: the password stored before (credentials %llu) stays: %s\n",
                         qPrintable(QCoreApplication::applicationName()), previous,
                         qPrintable(error));
        }
    }
    return QString();
}

QString remove(quint32 credentialsId)
{
    SignOn::Identity *identity = SignOn::Identity::existingIdentity(credentialsId);
    identity->remove();
    const QString error = await(identity, &SignOn::Identity::removed);
    delete identity;
    return error;
}

void requestSync(quint32 account)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("com.brenmor.Postvane"), QStringLiteral("/com/brenmor/Postvane/Accounts"),
        QStringLiteral("com.brenmor.Postvane.Accounts"), QStringLiteral("Synchronize"));
    call << account;
    // Answered at once: the daemon only starts the sync.
    QDBusConnection::sessionBus().call(call);
}

} // namespace PasswordStore
