// postvane-account: the e-mail accounts of the accounts database, one command
// per task: add (with its password and its servers, found as mail clients
// find them when not given), list, set and remove; and, through the running
// daemon and message server, status, sync and send.

#include "accountsproxy.h"
#include "discovery.h"
#include "passwordstore.h"

#include <Accounts/Account>
#include <Accounts/Manager>
#include <Accounts/Service>

#include <qmailaccount.h>
#include <qmailfolder.h>
#include <qmailmessage.h>
#include <qmailmessageserverinterface.h>
#include <qmailstore.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QUuid>

#include <cstdio>

namespace {

const char Usage[]
    = "Usage: postvane-account COMMAND ...\n"
      "\n"
      "  add ADDRESS [OPTION...] [KEY=VALUE...]\n"
      "      Adds an IMAP account and prints its id. Reads the password of its servers\n"
      "      from standard input (one line). Servers not given are found from the\n"
      "      domain's SRV records, then from its autoconfiguration file.\n"
      "        --imap HOST[:PORT]        IMAP server (port 993, or 143 with starttls)\n"
      "        --imap-encryption E       tls (default), starttls, or none (loopback only)\n"
      "        --smtp HOST[:PORT]        SMTP server (port 587, or 465 with tls)\n"
      "        --smtp-encryption E       starttls (default), tls, or none\n"
      "        --user NAME               user name on both servers (default: the address)\n"
      "        --imap-user, --smtp-user  a user name for one server\n"
      "        --name NAME               the account's name (default: the address)\n"
      "        --full-name NAME          the sender's name on mail sent\n"
      "  add --maildir PATH [ADDRESS] [--name NAME] [--full-name NAME] [KEY=VALUE...]\n"
      "      Adds a local account of the Maildir PATH and prints its id.\n"
      "  list\n"
      "      One line per e-mail account: id, state, name, address, where its mail is.\n"
      "  set ACCOUNT KEY=VALUE...\n"
      "      Changes settings of an account (its id, or its address when only one\n"
      "      account has it).\n"
      "  remove ACCOUNT\n"
      "      Removes the account and its stored password; its mail stays where it is.\n"
      "  status [--watch]\n"
      "      The running daemon's view of each account: last and next sync, the\n"
      "      interval in force and why, push, and the last sync's error. --watch\n"
      "      then prints each account's new state as it changes (Ctrl-C ends it).\n"
      "  sync [ACCOUNT]\n"
      "      Synchronises the account (every account when none is named) now, also\n"
      "      while background data is restricted, and reports the outcome.\n"
      "  send [--account ACCOUNT] [FILE]\n"
      "      Sends the message in FILE (standard input by default) from the account\n"
      "      (by default the one whose address is the message's From): queues it in\n"
      "      the account's outbox, asks the message server to send it and reports\n"
      "      the outcome. Bcc recipients get it without seeing the Bcc field; Date,\n"
      "      Message-ID and From are added when the message has none.\n"
      "\n"
      "New accounts are always-on (scheduler/schedule_peak=0, schedule_off_peak=0).\n"
      "Settings: name, enabled, emailaddress, fullName, signature,\n"
      "scheduler/schedule_enabled, scheduler/schedule_peak, scheduler/schedule_off_peak,\n"
      "scheduler/schedule_peak_days, scheduler/schedule_peak_start_time,\n"
      "scheduler/schedule_peak_end_time; IMAP accounts: imap/host, imap/port,\n"
      "imap/encryption, imap/username, the same for smtp/, smtp/authentication (login\n"
      "or none), certificateSha256, timeout, syncDays;\n"
      "local accounts: maildir. After set, the running daemon synchronises the account.\n";

const QString EmailType = QStringLiteral("e-mail");
const QString ImapProvider = QStringLiteral("imap-mail");
const QString LocalProvider = QStringLiteral("local-mail");

int usage()
{
    std::fputs(Usage, stderr);
    return 2;
}

int failWith(const QString &text)
{
    std::fprintf(stderr, "postvane-account: %s\n", qPrintable(text));
    return 1;
}

enum class Kind { Text, Number, Flag, Port, Encryption, Authentication, Fingerprint, Maildir };

struct Setting
{
    const char *key;
    Kind kind;
    bool accountWide; // read by the scheduler and the sender account-wide
    const QString *provider; // the only provider it belongs to, or none
};

const Setting Settings[] = {
    { "name", Kind::Text, true, nullptr },
    { "enabled", Kind::Flag, false, nullptr },
    { "emailaddress", Kind::Text, true, nullptr },
    { "fullName", Kind::Text, true, nullptr },
    { "signature", Kind::Text, true, nullptr },
    { "scheduler/schedule_enabled", Kind::Flag, true, nullptr },
    { "scheduler/schedule_peak", Kind::Number, true, nullptr },
    { "scheduler/schedule_off_peak", Kind::Number, true, nullptr },
    { "scheduler/schedule_peak_days", Kind::Number, true, nullptr },
    { "scheduler/schedule_peak_start_time", Kind::Number, true, nullptr },
    { "scheduler/schedule_peak_end_time", Kind::Number, true, nullptr },
    { "imap/host", Kind::Text, false, &ImapProvider },
    { "imap/port", Kind::Port, false, &ImapProvider },
    { "imap/encryption", Kind::Encryption, false, &ImapProvider },
    { "imap/username", Kind::Text, false, &ImapProvider },
    { "smtp/host", Kind::Text, false, &ImapProvider },
    { "smtp/port", Kind::Port, false, &ImapProvider },
    { "smtp/encryption", Kind::Encryption, false, &ImapProvider },
    { "smtp/username", Kind::Text, false, &ImapProvider },
    { "smtp/authentication", Kind::Authentication, false, &ImapProvider },
    { "certificateSha256", Kind::Fingerprint, false, &ImapProvider },
    { "timeout", Kind::Number, false, &ImapProvider },
    { "syncDays", Kind::Number, false, &ImapProvider },
    { "maildir", Kind::Maildir, false, &LocalProvider },
};

// The value as the setting's kind stores it; invalid when it is not one.
QVariant parseValue(Kind kind, const QString &text)
{
    bool ok = false;
    switch (kind) {
    case Kind::Text:
        return text;
    case Kind::Number: {
        const int number = text.toInt(&ok);
        return ok ? QVariant(number) : QVariant();
    }
    case Kind::Port: {
        const int port = text.toInt(&ok);
        return ok && port > 0 && port < 65536 ? QVariant(port) : QVariant();
    }
    case Kind::Flag:
        return QStringList { "1", "true" }.contains(text) ? QVariant(true)
            : QStringList { "0", "false" }.contains(text) ? QVariant(false)
                                                          : QVariant();
    case Kind::Encryption:
        return QStringList { "tls", "starttls", "none" }.contains(text) ? QVariant(text)
                                                                        : QVariant();
    case Kind::Authentication:
        return QStringList { "login", "none" }.contains(text) ? QVariant(text) : QVariant();
    case Kind::Fingerprint: {
        const QString hex = text.toLower().remove(QLatin1Char(':'));
        return QRegularExpression(QStringLiteral("^[0-9a-f]{64}$")).match(hex).hasMatch()
            ? QVariant(hex)
            : QVariant();
    }
    case Kind::Maildir: {
        const QDir folder(text);
        return folder.exists(QStringLiteral("cur")) && folder.exists(QStringLiteral("new"))
            ? QVariant(folder.absolutePath())
            : QVariant();
    }
    }
    return QVariant();
}

QString kindText(Kind kind)
{
    switch (kind) {
    case Kind::Number:
        return QStringLiteral("a whole number");
    case Kind::Port:
        return QStringLiteral("a port (1 to 65535)");
    case Kind::Flag:
        return QStringLiteral("1 or 0");
    case Kind::Encryption:
        return QStringLiteral("tls, starttls or none");
    case Kind::Authentication:
        return QStringLiteral("login or none");
    case Kind::Fingerprint:
        return QStringLiteral("a SHA-256 in hex");
    case Kind::Maildir:
        return QStringLiteral("a Maildir (a folder with cur and new)");
    case Kind::Text:
        break;
    }
    return QStringLiteral("text");
}

// Checks one KEY=VALUE and writes it into the account (stored by the next
// sync); the error text is empty on success.
QString applySetting(Accounts::Account *account, const Accounts::Service &service,
                     const QString &assignment)
{
    const QString key = assignment.section(QLatin1Char('='), 0, 0);
    const QString text = assignment.section(QLatin1Char('='), 1);
    const Setting *setting = nullptr;
    for (const Setting &known : Settings) {
        setting = key == QLatin1String(known.key) ? &known : setting;
    }
    if (!assignment.contains(QLatin1Char('=')) || !setting) {
        return QStringLiteral("Unknown setting \"%1\" (KEY=VALUE; see --help for the keys)")
            .arg(assignment);
    }
    if (setting->provider && *setting->provider != account->providerName()) {
        return QStringLiteral("%1 is not a setting of %2 accounts")
            .arg(key, account->providerName());
    }
    const QVariant value = parseValue(setting->kind, text);
    if (!value.isValid()) {
        return QStringLiteral("%1 must be %2, not \"%3\"").arg(key, kindText(setting->kind), text);
    }
    if (setting->accountWide) {
        account->selectService();
    } else {
        account->selectService(service);
    }
    if (key == QLatin1String("name")) {
        account->setDisplayName(text);
    } else if (key == QLatin1String("enabled")) {
        // The account itself too, so that enabling always brings it back.
        account->setEnabled(value.toBool());
        if (value.toBool()) {
            account->selectService();
            account->setEnabled(true);
        }
    } else if (text.isEmpty()) {
        account->remove(key);
    } else {
        account->setValue(key, value);
    }
    return QString();
}

QString applySettings(Accounts::Account *account, const QStringList &assignments)
{
    const Accounts::ServiceList services = account->services(EmailType);
    if (services.isEmpty()) {
        return QStringLiteral("The accounts database knows no e-mail service of the %1 provider "
                              "(AG_PROVIDERS and AG_SERVICES name the folders of "
                              "data/accounts)")
            .arg(account->providerName());
    }
    for (const QString &assignment : assignments) {
        const QString error = applySetting(account, services.first(), assignment);
        if (!error.isEmpty()) {
            return error;
        }
    }
    return QString();
}

// The account named by its id or, when only one account has it, its address.
Accounts::Account *findAccount(Accounts::Manager &manager, const QString &which, QString *error)
{
    const Accounts::AccountIdList ids = manager.accountList(EmailType);
    bool number = false;
    const Accounts::AccountId wanted = which.toUInt(&number);
    QList<Accounts::Account *> found;
    for (Accounts::AccountId id : ids) {
        Accounts::Account *account = manager.account(id);
        if (!account) {
            continue;
        }
        account->selectService();
        if (number ? id == wanted
                   : account->valueAsString(QStringLiteral("emailaddress"))
                         .compare(which, Qt::CaseInsensitive)
                    == 0) {
            found.append(account);
        }
    }
    if (found.size() == 1) {
        return found.first();
    }
    QStringList numbers;
    for (Accounts::Account *account : qAsConst(found)) {
        numbers.append(QString::number(account->id()));
    }
    *error = found.isEmpty()
        ? QStringLiteral("No e-mail account %1 in the accounts database").arg(which)
        : QStringLiteral("%1 is the address of accounts %2: name one by its id")
              .arg(which, numbers.join(QStringLiteral(", ")));
    return nullptr;
}

bool isAddress(const QString &text)
{
    static const QRegularExpression address(
        QStringLiteral("^[^@\\s]+@[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?(\\.[A-Za-z0-9]([A-Za-z0-9-"
                       "]*[A-Za-z0-9])?)*$"));
    return address.match(text).hasMatch();
}

// HOST[:PORT] into the server; false when the port is not one.
bool parseServer(const QString &text, MailServer *server)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon < 0 || text.count(QLatin1Char(':')) > 1) {
        server->host = text;
        return !text.isEmpty();
    }
    bool ok = false;
    server->host = text.left(colon);
    server->port = text.mid(colon + 1).toInt(&ok);
    return ok && !server->host.isEmpty() && server->port > 0 && server->port < 65536;
}

QString serverText(const MailServer &server)
{
    return QStringLiteral("%1@%2:%3 (%4)")
        .arg(server.userName, server.host)
        .arg(server.port)
        .arg(server.encryption);
}

// The IMAP and SMTP settings of a new account: the servers given, and those
// found for the ones not given.
QStringList serverSettings(const QCommandLineParser &options, const QString &address,
                           QString *error)
{
    MailServers servers;
    MailServer given[2];
    const char *names[2] = { "imap", "smtp" };
    for (int i = 0; i < 2; ++i) {
        const QString name = QLatin1String(names[i]);
        if (options.isSet(name) && !parseServer(options.value(name), &given[i])) {
            *error = QStringLiteral("\"%1\" is not HOST or HOST:PORT").arg(options.value(name));
            return {};
        }
    }
    if (given[0].host.isEmpty() || given[1].host.isEmpty()) {
        if (!discoverServers(address, &servers, error)) {
            return {};
        }
    } else {
        servers.imap.encryption = QStringLiteral("tls");
        servers.smtp.encryption = QStringLiteral("starttls");
        servers.imap.userName = servers.smtp.userName = address;
    }
    const auto option = [&options](const QString &name, const QString &otherwise) {
        return options.isSet(name) ? options.value(name) : otherwise;
    };
    QStringList settings;
    for (int i = 0; i < 2; ++i) {
        const QString name = QLatin1String(names[i]);
        MailServer &server = i == 0 ? servers.imap : servers.smtp;
        if (!given[i].host.isEmpty()) {
            server.host = given[i].host;
            server.port = given[i].port;
        }
        server.encryption = option(name + QStringLiteral("-encryption"), server.encryption);
        if (server.port == 0) {
            const bool tls = server.encryption == QLatin1String("tls");
            server.port = i == 0 ? (tls ? 993 : 143) : (tls ? 465 : 587);
        }
        server.userName = option(name + QStringLiteral("-user"),
                                 option(QStringLiteral("user"), server.userName));
        settings << name + QStringLiteral("/host=") + server.host
                 << name + QStringLiteral("/port=") + QString::number(server.port)
                 << name + QStringLiteral("/encryption=") + server.encryption
                 << name + QStringLiteral("/username=") + server.userName;
    }
    if (!servers.source.isEmpty()) {
        std::fprintf(stderr, "postvane-account: found in %s: IMAP %s, SMTP %s\n",
                     qPrintable(servers.source), qPrintable(serverText(servers.imap)),
                     qPrintable(serverText(servers.smtp)));
    }
    return settings;
}

int add(const QStringList &arguments)
{
    QCommandLineParser options;
    for (const char *name : { "imap", "imap-encryption", "imap-user", "smtp", "smtp-encryption",
                              "smtp-user", "user", "name", "full-name", "maildir" }) {
        options.addOption(QCommandLineOption(QLatin1String(name), QString(), QStringLiteral("V")));
    }
    if (!options.parse(arguments)) {
        failWith(options.errorText());
        return 2;
    }
    QString address;
    QStringList assignments;
    const QStringList positional = options.positionalArguments();
    for (const QString &argument : positional) {
        if (!argument.contains(QLatin1Char('=')) && address.isEmpty()) {
            address = argument;
        } else {
            assignments.append(argument);
        }
    }
    const bool local = options.isSet(QStringLiteral("maildir"));
    if (!local && address.isEmpty()) {
        return usage();
    }
    if (!address.isEmpty() && !isAddress(address)) {
        return failWith(QStringLiteral("\"%1\" is not an e-mail address").arg(address));
    }
    QString error;
    QStringList settings { QStringLiteral("scheduler/schedule_peak=0"),
                           QStringLiteral("scheduler/schedule_off_peak=0") };
    settings << QStringLiteral("name=")
            + (address.isEmpty() ? QDir(options.value(QStringLiteral("maildir"))).absolutePath()
                                 : address);
    if (!address.isEmpty()) {
        settings << QStringLiteral("emailaddress=") + address;
    }
    for (const char *name : { "name", "full-name" }) {
        if (options.isSet(QLatin1String(name))) {
            settings << QLatin1String(name[0] == 'n' ? "name=" : "fullName=")
                    + options.value(QLatin1String(name));
        }
    }
    if (local) {
        settings << QStringLiteral("maildir=") + options.value(QStringLiteral("maildir"));
    } else {
        const QStringList servers = serverSettings(options, address, &error);
        if (servers.isEmpty()) {
            return failWith(error);
        }
        settings << servers;
    }

    Accounts::Manager manager(EmailType);
    Accounts::Account *account = manager.createAccount(local ? LocalProvider : ImapProvider);
    account->setEnabled(true);
    error = applySettings(account, settings + assignments);
    if (!error.isEmpty()) {
        return failWith(error);
    }
    // The service is enabled last, once everything it needs is stored: the
    // first sync starts as soon as it is.
    const Accounts::Service service = account->services(EmailType).first();
    account->selectService(service);
    account->setEnabled(false);
    const QString password = local ? QString() : PasswordStore::readLine();
    if (!local && password.isEmpty()) {
        return failWith(QStringLiteral("The password is empty"));
    }
    if (!account->syncAndBlock()) {
        return failWith(QStringLiteral("Cannot write the new account"));
    }
    error = local ? QString() : PasswordStore::store(account, password);
    if (error.isEmpty()) {
        account->selectService(service);
        account->setEnabled(true);
        if (!account->syncAndBlock()) {
            error = QStringLiteral("Cannot enable account %1").arg(account->id());
        }
    }
    if (!error.isEmpty()) {
        const quint32 credentials = PasswordStore::credentialsOf(account);
        account->remove();
        account->syncAndBlock();
        if (credentials != 0) {
            PasswordStore::remove(credentials);
        }
        return failWith(error);
    }
    std::printf("%u\n", account->id());
    return 0;
}

int list()
{
    Accounts::Manager manager(EmailType);
    const Accounts::AccountIdList ids = manager.accountList(EmailType);
    for (Accounts::AccountId id : ids) {
        Accounts::Account *account = manager.account(id);
        if (!account || account->services(EmailType).isEmpty()) {
            continue;
        }
        const Accounts::Service service = account->services(EmailType).first();
        bool enabled = false;
        for (const Accounts::Service &on : account->enabledServices()) {
            enabled = enabled || on.name() == service.name();
        }
        account->selectService();
        enabled = enabled && account->enabled();
        const QString address = account->valueAsString(QStringLiteral("emailaddress"));
        account->selectService(service);
        QString where
            = QStringLiteral("maildir ") + account->valueAsString(QStringLiteral("maildir"));
        if (account->providerName() != LocalProvider && account->providerName() != ImapProvider) {
            where = QStringLiteral("provider ") + account->providerName();
        } else if (account->providerName() == ImapProvider) {
            QStringList servers;
            for (const QString &kind : { QStringLiteral("imap"), QStringLiteral("smtp") }) {
                MailServer server;
                server.host = account->valueAsString(kind + QStringLiteral("/host"));
                server.port = account->valueAsInt(kind + QStringLiteral("/port"));
                server.encryption = account->valueAsString(kind + QStringLiteral("/encryption"));
                server.userName = account->valueAsString(kind + QStringLiteral("/username"));
                servers << kind + QLatin1Char(' ') + serverText(server);
            }
            where = servers.join(QStringLiteral(", "));
        }
        std::printf("%u\t%s\t%s\t%s\t%s\n", id, enabled ? "enabled" : "disabled",
                    qPrintable(account->displayName()), qPrintable(address), qPrintable(where));
    }
    return 0;
}

int set(const QStringList &arguments)
{
    if (arguments.size() < 2) {
        return usage();
    }
    Accounts::Manager manager(EmailType);
    QString error;
    Accounts::Account *account = findAccount(manager, arguments.first(), &error);
    if (!account) {
        return failWith(error);
    }
    error = applySettings(account, arguments.mid(1));
    if (!error.isEmpty()) {
        return failWith(error);
    }
    if (!account->syncAndBlock()) {
        return failWith(QStringLiteral("Cannot write account %1").arg(account->id()));
    }
    PasswordStore::requestSync(account->id());
    return 0;
}

int remove(const QStringList &arguments)
{
    if (arguments.size() != 1) {
        return usage();
    }
    Accounts::Manager manager(EmailType);
    QString error;
    Accounts::Account *account = findAccount(manager, arguments.first(), &error);
    if (!account) {
        return failWith(error);
    }
    const Accounts::AccountId id = account->id();
    const quint32 credentials = PasswordStore::credentialsOf(account);
    account->remove();
    if (!account->syncAndBlock()) {
        return failWith(QStringLiteral("Cannot remove account %1").arg(id));
    }
    error = credentials == 0 ? QString() : PasswordStore::remove(credentials);
    return error.isEmpty() ? 0
                           : failWith(QStringLiteral("Account %1 is removed, but its password "
                                                     "(credentials %2) stays: %3")
                                          .arg(id)
                                          .arg(credentials)
                                          .arg(error));
}

// The daemon's account state interface, and what a person reads of it.

const QString DaemonService = QStringLiteral("com.brenmor.Postvane");

ComBrenmorPostvaneAccountsInterface *daemonProxy(QObject *parent)
{
    qDBusRegisterMetaType<AccountState>();
    qDBusRegisterMetaType<AccountStateList>();
    return new ComBrenmorPostvaneAccountsInterface(DaemonService,
                                                   QStringLiteral("/com/brenmor/Postvane/Accounts"),
                                                   QDBusConnection::sessionBus(), parent);
}

QString timeText(qint64 seconds)
{
    return seconds == 0
        ? QStringLiteral("-")
        : QDateTime::fromSecsSinceEpoch(seconds).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

// "ERROR: TEXT (SERVER'S TEXT)" of a failed sync's state.
QString errorText(const QVariantMap &state)
{
    QString text = QStringLiteral("%1 %2")
                       .arg(state.value(QStringLiteral("errorCode")).toInt())
                       .arg(state.value(QStringLiteral("errorText")).toString().trimmed());
    const QString server = state.value(QStringLiteral("serverText")).toString();
    return server.isEmpty() ? text : text + QStringLiteral(" (") + server + QLatin1Char(')');
}

// One account as rows of the status table: the account's line, then its
// last error and what it waits for, indented.
QStringList statusRows(uint id, const QVariantMap &state)
{
    if (state.isEmpty()) {
        return { QStringLiteral("%1  not scheduled").arg(id, -4) };
    }
    const int interval = state.value(QStringLiteral("interval")).toInt();
    const QString reason = state.value(QStringLiteral("reason")).toString();
    const QString schedule = interval == 0 ? reason
        : interval < 0                     ? QStringLiteral("none (%1)").arg(reason)
                       : QStringLiteral("%1 min (%2)").arg(interval).arg(reason);
    const int code = state.value(QStringLiteral("errorCode")).toInt();
    const qint64 last = state.value(QStringLiteral("lastSync")).toLongLong();
    const QString now = state.value(QStringLiteral("syncing")).toBool() ? QStringLiteral("syncing")
        : code != 0                                                     ? QStringLiteral("failed")
        : last == 0                                                     ? QStringLiteral("waiting")
                                                                        : QStringLiteral("ok");
    QStringList rows { QStringLiteral("%1  %2  %3  %4  %5  %6  %7")
                           .arg(id, -4)
                           .arg(state.value(QStringLiteral("name")).toString(), -20)
                           .arg(timeText(last), -19)
                           .arg(timeText(state.value(QStringLiteral("nextSync")).toLongLong()), -19)
                           .arg(schedule, -28)
                           .arg(state.value(QStringLiteral("push")).toBool() ? "on" : "off", -4)
                           .arg(now) };
    if (code != 0) {
        rows << QStringLiteral("      error ") + errorText(state);
    }
    const QString waiting = state.value(QStringLiteral("waiting")).toString();
    if (!waiting.isEmpty()) {
        rows << QStringLiteral("      waiting for ") + waiting;
    }
    return rows;
}

void printRows(const QStringList &rows)
{
    for (const QString &row : rows) {
        std::printf("%s\n", qPrintable(row));
    }
    std::fflush(stdout);
}

int status(const QStringList &arguments)
{
    const bool watch = arguments == QStringList { QStringLiteral("--watch") };
    if (!arguments.isEmpty() && !watch) {
        return usage();
    }
    QObject owner;
    ComBrenmorPostvaneAccountsInterface *daemon = daemonProxy(&owner);
    if (watch) {
        // Listening before the table is read: no change falls between.
        QObject::connect(
            daemon, &ComBrenmorPostvaneAccountsInterface::AccountChanged,
            [](uint id, const QVariantMap &state) { printRows(statusRows(id, state)); });
    }
    QDBusPendingReply<AccountStateList> reply = daemon->GetAccounts();
    reply.waitForFinished();
    if (reply.isError()) {
        return failWith(QStringLiteral("The daemon does not answer: ") + reply.error().message());
    }
    QStringList rows { QStringLiteral("%1  %2  %3  %4  %5  %6  %7")
                           .arg(QStringLiteral("ID"), -4)
                           .arg(QStringLiteral("NAME"), -20)
                           .arg(QStringLiteral("LAST SYNC"), -19)
                           .arg(QStringLiteral("NEXT SYNC"), -19)
                           .arg(QStringLiteral("INTERVAL"), -28)
                           .arg(QStringLiteral("PUSH"), -4)
                           .arg(QStringLiteral("STATE")) };
    for (const AccountState &account : reply.value()) {
        rows << statusRows(account.account, account.state);
    }
    printRows(rows);
    if (!watch) {
        return 0;
    }
    QDBusServiceWatcher gone(DaemonService, QDBusConnection::sessionBus(),
                             QDBusServiceWatcher::WatchForUnregistration);
    QObject::connect(&gone, &QDBusServiceWatcher::serviceUnregistered,
                     [] { QCoreApplication::exit(1); });
    return QCoreApplication::exec() == 0 ? 0 : failWith(QStringLiteral("The daemon has ended"));
}

int sync(const QStringList &arguments)
{
    if (arguments.size() > 1) {
        return usage();
    }
    QList<Accounts::AccountId> ids;
    {
        Accounts::Manager manager(EmailType);
        QString error;
        if (arguments.isEmpty()) {
            ids = manager.accountListEnabled(EmailType);
        } else if (Accounts::Account *account = findAccount(manager, arguments.first(), &error)) {
            ids.append(account->id());
        } else {
            return failWith(error);
        }
    }
    QObject owner;
    ComBrenmorPostvaneAccountsInterface *daemon = daemonProxy(&owner);
    QEventLoop loop;
    QSet<uint> running;
    int failed = 0;
    const auto finish = [&](uint id, const QVariantMap &state) {
        if (!running.contains(id) || state.value(QStringLiteral("syncing")).toBool()) {
            return;
        }
        running.remove(id);
        if (!state.isEmpty() && state.value(QStringLiteral("errorCode")).toInt() == 0) {
            std::printf("%u: synchronised\n", id);
        } else {
            ++failed;
            std::fprintf(stderr, "postvane-account: %u: sync failed: %s\n", id,
                         qPrintable(state.isEmpty() ? QStringLiteral("no longer scheduled")
                                                    : errorText(state)));
        }
        if (running.isEmpty()) {
            loop.quit();
        }
    };
    // A started sync ends with the first change after the daemon's answer
    // that shows it no longer running; changes told before the answer
    // belong to what came before.
    QObject::connect(daemon, &ComBrenmorPostvaneAccountsInterface::AccountChanged, finish);
    for (Accounts::AccountId id : ids) {
        QDBusPendingCallWatcher answer(daemon->Synchronize(id));
        answer.waitForFinished();
        QCoreApplication::processEvents();
        const QDBusPendingReply<bool> reply = answer;
        if (reply.isError()) {
            ++failed;
            std::fprintf(stderr, "postvane-account: %u: %s\n", id,
                         qPrintable(reply.error().message()));
        } else if (!reply.value()) {
            std::printf("%u: a sync is already running\n", id);
        } else {
            running.insert(id);
            // Its end may have come with those changes: the state now says.
            QDBusPendingReply<AccountStateList> now = daemon->GetAccounts();
            now.waitForFinished();
            for (const AccountState &account : now.value()) {
                if (account.account == id) {
                    finish(id, account.state);
                }
            }
        }
    }
    QDBusServiceWatcher gone(DaemonService, QDBusConnection::sessionBus(),
                             QDBusServiceWatcher::WatchForUnregistration);
    QObject::connect(&gone, &QDBusServiceWatcher::serviceUnregistered, [&] { loop.exit(1); });
    if (!running.isEmpty() && loop.exec() != 0) {
        return failWith(QStringLiteral("The daemon has ended"));
    }
    return failed == 0 ? 0 : 1;
}

// The header of the message text (up to the first empty line) as its
// field names, lower case.
QSet<QByteArray> headerNames(const QByteArray &text)
{
    QSet<QByteArray> names;
    for (const QByteArray &line : text.split('\n')) {
        const QByteArray bare = line.endsWith('\r') ? line.chopped(1) : line;
        if (bare.isEmpty()) {
            break;
        }
        if (bare.contains(':') && bare.at(0) != ' ' && bare.at(0) != '\t') {
            names.insert(bare.left(bare.indexOf(':')).trimmed().toLower());
        }
    }
    return names;
}

int send(const QStringList &arguments)
{
    QCommandLineParser options;
    options.addOption(
        QCommandLineOption(QStringLiteral("account"), QString(), QStringLiteral("A")));
    if (!options.parse(arguments) || options.positionalArguments().size() > 1) {
        return usage();
    }
    const QString path = options.positionalArguments().value(0);
    QFile file;
    const bool opened = path.isEmpty() ? file.open(stdin, QIODevice::ReadOnly)
                                       : (file.setFileName(path), file.open(QIODevice::ReadOnly));
    if (!opened) {
        return failWith(QStringLiteral("Cannot read %1: %2").arg(path, file.errorString()));
    }
    QByteArray text = file.readAll();
    if (headerNames(text).isEmpty()) {
        return failWith(QStringLiteral("%1 is not a message (no header fields)")
                            .arg(path.isEmpty() ? QStringLiteral("Standard input") : path));
    }

    Accounts::Manager manager(EmailType);
    QString error;
    Accounts::Account *account = nullptr;
    const QString from = QMailMessage::fromRfc2822(text).from().address();
    if (options.isSet(QStringLiteral("account"))) {
        account = findAccount(manager, options.value(QStringLiteral("account")), &error);
    } else if (!from.isEmpty()) {
        account = findAccount(manager, from, &error);
    } else {
        error = QStringLiteral("The message has no From: name its account with --account");
    }
    if (!account) {
        return failWith(error);
    }
    account->selectService();
    const QString address = account->valueAsString(QStringLiteral("emailaddress"));
    const QString fullName = account->valueAsString(QStringLiteral("fullName"));

    // What the author's program adds (RFC 5322 makes Date and From the
    // originator's), here before the message is queued, so that the copy
    // kept in Sent and the one delivered are the same message.
    const QString newline = text.contains("\r\n") ? QStringLiteral("\r\n") : QStringLiteral("\n");
    const QSet<QByteArray> names = headerNames(text);
    QString added;
    if (!names.contains("date")) {
        added += QStringLiteral("Date: ") + QDateTime::currentDateTime().toString(Qt::RFC2822Date)
            + newline;
    }
    if (!names.contains("message-id")) {
        added += QStringLiteral("Message-ID: <%1@%2>")
                     .arg(QUuid::createUuid().toString(QUuid::WithoutBraces),
                          address.section(QLatin1Char('@'), 1).isEmpty()
                              ? QStringLiteral("postvane.invalid")
                              : address.section(QLatin1Char('@'), 1))
            + newline;
    }
    if (!names.contains("from")) {
        if (address.isEmpty()) {
            return failWith(
                QStringLiteral("Account %1 has no address for From").arg(account->id()));
        }
        added += QStringLiteral("From: ") + QMailAddress(fullName, address).toString() + newline;
    }
    text.prepend(added.toUtf8());

    QMailStore *store = QMailStore::instance();
    const QMailAccountId accountId(account->id());
    const QMailFolderId outbox
        = store->account(accountId).standardFolder(QMailFolder::OutboxFolder);
    if (!outbox.isValid()) {
        return failWith(QStringLiteral("Account %1 has no outbox yet: it has not been "
                                       "synchronised")
                            .arg(account->id()));
    }
    QMailMessage message = QMailMessage::fromRfc2822(text);
    message.setParentAccountId(accountId);
    message.setParentFolderId(outbox);
    message.setStatus(QMailMessageMetaData::Outbox | QMailMessageMetaData::Outgoing, true);
    if (!store->addMessage(&message)) {
        return failWith(QStringLiteral("Cannot store the message in the outbox"));
    }

    // The action's outcome comes in signals after the request's answer.
    QMailMessageServerInterface server(QStringLiteral("com.brenmor.qmf.MessageServer"),
                                       QStringLiteral("/com/brenmor/qmf/MessageServer"),
                                       QDBusConnection::sessionBus());
    quint64 action = 0;
    int code = -1;
    QString reason;
    QObject::connect(&server, &QMailMessageServerInterface::StatusChanged,
                     [&](qulonglong id, int errorCode, const QString &statusText) {
                         if (id == action) {
                             code = errorCode;
                             reason = statusText;
                         }
                     });
    QObject::connect(&server, &QMailMessageServerInterface::ActivityChanged,
                     [&](qulonglong id, int activity) {
                         if (id == action && activity >= 2 /* ended */) {
                             QCoreApplication::exit(0);
                         }
                     });
    QDBusServiceWatcher gone(server.service(), server.connection(),
                             QDBusServiceWatcher::WatchForUnregistration);
    QObject::connect(&gone, &QDBusServiceWatcher::serviceUnregistered,
                     [] { QCoreApplication::exit(1); });
    QDBusPendingReply<qulonglong> request = server.TransmitMessages(account->id());
    request.waitForFinished();
    if (request.isError()) {
        return failWith(QStringLiteral("Message %1 is in the outbox of account %2, but the "
                                       "message server does not answer: %3")
                            .arg(message.id().toULongLong())
                            .arg(account->id())
                            .arg(request.error().message()));
    }
    action = request.value();
    if (QCoreApplication::exec() != 0) {
        return failWith(QStringLiteral("The message server has ended"));
    }
    if (code != 0) {
        const QMailMessageMetaData after(message.id());
        return failWith(QStringLiteral("Sending failed: %1 %2%3")
                            .arg(code)
                            .arg(reason)
                            .arg(after.status() & QMailMessageMetaData::Outbox
                                     ? QStringLiteral("; the message stays in the outbox")
                                     : QString()));
    }
    std::printf("Sent\n");
    return 0;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const QString command = arguments.value(1);
    if (command == QLatin1String("add")) {
        return add(arguments.mid(1));
    }
    if (command == QLatin1String("list") && arguments.size() == 2) {
        return list();
    }
    if (command == QLatin1String("set")) {
        return set(arguments.mid(2));
    }
    if (command == QLatin1String("remove")) {
        return remove(arguments.mid(2));
    }
    if (command == QLatin1String("status")) {
        return status(arguments.mid(2));
    }
    if (command == QLatin1String("sync")) {
        return sync(arguments.mid(2));
    }
    if (command == QLatin1String("send")) {
        return send(arguments.mid(1));
    }
    if (command == QLatin1String("--help") || command == QLatin1String("-h")) {
        std::fputs(Usage, stdout);
        return 0;
    }
    return usage();
}
