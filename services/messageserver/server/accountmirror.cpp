#include "server/accountmirror.h"

#include "server/messageserverlog.h"
#include <qmailaccount.h>
#include <qmailstore.h>

#include <Accounts/Account>
#include <Accounts/Service>

#include <QDBusConnection>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTimer>

// GLib's headers name members "signals", which Qt's headers above define away.
#pragma push_macro("signals")
#undef signals
#include <gio/gio.h>
#pragma pop_macro("signals")

namespace {

// libaccounts-glib reads every "AccountChanged" signal on the session bus
// with a fixed layout and no check, so that one of another signature from
// anyone on the bus would end this process. Such signals are dropped on the
// process's shared session connection (the one libaccounts-glib uses)
// before the first manager listens.
GDBusMessage *dropMalformedAccountChange(GDBusConnection *, GDBusMessage *message,
                                         gboolean incoming, gpointer)
{
    if (incoming && g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_SIGNAL
        && g_strcmp0(g_dbus_message_get_member(message), "AccountChanged") == 0
        && g_strcmp0(g_dbus_message_get_interface(message), "com.google.code.AccountsSSO.Accounts")
            == 0
        && g_strcmp0(g_dbus_message_get_signature(message), "uuubbsa(ssua{sv}as)") != 0) {
        g_object_unref(message);
        return nullptr;
    }
    return message;
}

void guardAccountSignals()
{
    if (GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr)) {
        g_dbus_connection_add_filter(bus, dropMalformedAccountChange, nullptr, nullptr);
    }
}

const QString EmailType = QStringLiteral("e-mail");

// The account objects hold what was read before, so a database damaged
// since reads as sound through them: whether it can be read whole is asked
// of SQLite itself, on a connection of its own for each question (its
// cache would hide a change made outside SQLite). SQLite keeps the locks of
// its connections in one process apart, so closing this one drops none of
// libaccounts' own. Empty when the database reads whole.
QString databaseProblem()
{
    const QByteArray folder = qgetenv("ACCOUNTS");
    const QString file
        = (folder.isEmpty()
               ? QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                   + QStringLiteral("/libaccounts-glib")
               : QFile::decodeName(folder))
        + QStringLiteral("/accounts.db");
    const QString name = QStringLiteral("accountmirror-check");
    bool sound = false;
    QString problem;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(file);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000"));
        QSqlQuery check(db);
        if (!db.open()) {
            problem = db.lastError().text();
        } else if (!check.exec(QStringLiteral("PRAGMA quick_check")) || !check.next()) {
            problem = check.lastError().text();
        } else {
            problem = check.value(0).toString();
            sound = problem == QLatin1String("ok");
        }
    }
    QSqlDatabase::removeDatabase(name);
    if (sound) {
        return QString();
    }
    return problem.trimmed().isEmpty() ? QStringLiteral("unknown error") : problem.trimmed();
}

// The prefix of the push keys: the part before a "pushCapable" key.
QString pushPrefix(Accounts::Account *account)
{
    const QString capable = QStringLiteral("pushCapable");
    const QStringList keys = account->allKeys();
    for (const QString &key : keys) {
        if (key == capable) {
            return QString();
        }
        if (key.endsWith(QLatin1Char('/') + capable)) {
            return key.left(key.size() - capable.size());
        }
    }
    return QStringLiteral("-"); // no push key at all
}

// Accounts this server made carry its mark; those made before the mark
// existed carry the source and sink flags that only this server sets.
bool madeHere(const QMailAccount &account)
{
    const quint64 both = QMailAccount::MessageSource | QMailAccount::MessageSink;
    return (account.status() & QMailAccount::MirroredAccount) || (account.status() & both) == both;
}

} // namespace

AccountMirror::AccountMirror(QObject *parent)
    : QObject(parent)
    , mEmail((guardAccountSignals(), EmailType))
{
    connect(&mEmail, &Accounts::Manager::accountCreated, this, &AccountMirror::onAccountChanged);
    connect(&mEmail, &Accounts::Manager::accountUpdated, this, &AccountMirror::onAccountChanged);
    connect(&mEmail, &Accounts::Manager::accountRemoved, this, &AccountMirror::onAccountRemoved);
    connect(&mEmail, &Accounts::Manager::enabledEvent, this, &AccountMirror::onAccountChanged);
    mSecondLook.setSingleShot(true);
    mSecondLook.setInterval(1000);
    connect(&mSecondLook, &QTimer::timeout, this, &AccountMirror::onDatabaseChanged);
    // libaccounts 1.16 does not tell its managers of every change another
    // process makes (an ag-tool update of a service setting of an account
    // older than this process never reached them; an e-mail manager hears
    // nothing of account-wide settings), so every change notice of the
    // database is heard here too; mirroring an unchanged account changes
    // nothing.
    QDBusConnection::sessionBus().connect(
        QString(), QString(), QStringLiteral("com.google.code.AccountsSSO.Accounts"),
        QStringLiteral("AccountChanged"), this, SLOT(onDatabaseNotice()));
}

void AccountMirror::onDatabaseNotice()
{
    if (!mNoticePending) {
        mNoticePending = true;
        QTimer::singleShot(0, this, &AccountMirror::onDatabaseChanged);
    }
    // On a loaded machine a read right after the notice has been seen to miss
    // the change it announced (and then nothing would bring it in until the
    // next change): a second look follows once the notices have settled.
    mSecondLook.start();
}

void AccountMirror::onDatabaseChanged()
{
    mNoticePending = false;
    QSet<quint64> ids = mMirrored;
    const Accounts::AccountIdList listed = mEmail.accountList(EmailType);
    for (Accounts::AccountId id : listed) {
        ids.insert(id);
    }
    for (quint64 id : qAsConst(ids)) {
        onAccountChanged(Accounts::AccountId(id));
    }
}

AccountMirror::~AccountMirror() = default;

void AccountMirror::start()
{
    loadMirrored();
    QSet<quint64> seen;
    const Accounts::AccountIdList ids = mEmail.accountList(EmailType);
    for (Accounts::AccountId id : ids) {
        seen.insert(id);
        mirror(id);
    }
    // Mirrored accounts that left the accounts database while we were away.
    const QSet<quint64> gone = mMirrored - seen;
    for (quint64 id : gone) {
        mirror(Accounts::AccountId(id));
    }
}

AccountConfig AccountMirror::config(const QMailAccountId &id) const
{
    AccountConfig config;
    const quint64 number = id.toULongLong();
    if (number == 0 || number > 0xffffffffULL) {
        return config;
    }
    // Only a database that reads whole may say that the account is gone, or
    // what it holds.
    config.unreadable = databaseProblem();
    if (!config.unreadable.isEmpty()) {
        return config;
    }
    // The account object kept for the whole run (see mLive).
    Accounts::Account *account = const_cast<AccountMirror *>(this)->liveAccount(number);
    if (!account) {
        const Accounts::Error error = mEmail.lastError();
        if (error.type() != Accounts::Error::AccountNotFound) {
            config.unreadable
                = error.message().isEmpty() ? QStringLiteral("unknown error") : error.message();
        }
        return config;
    }
    const Accounts::ServiceList services = account->services(EmailType);
    if (services.isEmpty()) {
        // Without the service files no account has an e-mail service: that
        // says nothing about the account.
        if (mEmail.serviceList(EmailType).isEmpty()) {
            config.unreadable = QStringLiteral("no e-mail service files are found");
        }
        return config;
    }
    config.known = true;
    account->selectService();
    config.name = account->displayName();
    // Someone else's store account of this number (qmfctl's, say, with mail
    // imported by hand) is not ours to rename, fill or empty.
    const QMailAccount held = QMailStore::instance()->account(id);
    if (held.id().isValid() && !madeHere(held)) {
        AccountConfig refused;
        refused.known = true;
        refused.refused = QStringLiteral("Store account \"%1\" was not made by the message "
                                         "server and has the number of accounts-database "
                                         "account %2 \"%3\"; it is left alone")
                              .arg(held.name())
                              .arg(number)
                              .arg(config.name);
        if (!mRefused.contains(number)) {
            mRefused.insert(number);
            qWarning("%s", qPrintable(refused.refused));
        }
        return refused;
    }
    config.fromName = account->valueAsString(QStringLiteral("fullName"));
    config.fromAddress = account->valueAsString(QStringLiteral("emailaddress"));
    config.signature = account->valueAsString(QStringLiteral("signature"));
    // On the e-mail service, as an accounts UI keeps it, or account-wide.
    const QString credentialsKey = QStringLiteral("CredentialsId");
    const quint64 accountCredentials = account->valueAsUInt64(credentialsKey);

    const Accounts::Service service = services.first();
    bool serviceEnabled = false;
    for (const Accounts::Service &enabled : account->enabledServices()) {
        serviceEnabled = serviceEnabled || enabled.name() == service.name();
    }
    config.enabled = account->enabled() && serviceEnabled;
    account->selectService(service);
    config.maildir = account->valueAsString(QStringLiteral("maildir"));
    for (AccountConfig::Server *server : { &config.imap, &config.smtp }) {
        const QString prefix
            = server == &config.imap ? QStringLiteral("imap/") : QStringLiteral("smtp/");
        server->host = account->valueAsString(prefix + QStringLiteral("host"));
        server->port = account->valueAsInt(prefix + QStringLiteral("port"));
        server->encryption
            = account->valueAsString(prefix + QStringLiteral("encryption"), QStringLiteral("tls"));
        server->userName = account->valueAsString(prefix + QStringLiteral("username"));
    }
    config.smtp.login
        = account->valueAsString(QStringLiteral("smtp/authentication")) != QLatin1String("none");
    quint64 credentials = account->valueAsUInt64(credentialsKey);
    if (credentials == 0) {
        credentials = accountCredentials;
    }
    config.credentialsId = credentials > 0xffffffffULL ? 0 : quint32(credentials);
    config.trustedCertificate = account->valueAsString(QStringLiteral("certificateSha256"));
    config.timeout = account->valueAsInt(QStringLiteral("timeout"), 60);
    config.syncDays = qMax(0, account->valueAsInt(QStringLiteral("syncDays"), 0));
    const QString prefix = pushPrefix(account);
    if (prefix != QLatin1String("-")) {
        config.pushEnabled
            = account->valueAsString(prefix + QStringLiteral("pushEnabled"), QStringLiteral("0"))
            == QLatin1String("1");
        config.pushFolders = account->valueAsString(prefix + QStringLiteral("pushFolders"))
                                 .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    return config;
}

bool AccountMirror::ensureInStore(const QMailAccountId &id)
{
    if (QMailStore::instance()->account(id).id().isValid()) {
        return true;
    }
    const quint64 number = id.toULongLong();
    if (number == 0 || number > 0xffffffffULL) {
        return false;
    }
    mirror(Accounts::AccountId(number));
    return QMailStore::instance()->account(id).id().isValid();
}

void AccountMirror::recordSynchronized(const QMailAccountId &id)
{
    Accounts::Account *account = liveAccount(id.toULongLong());
    if (!account || account->services(EmailType).isEmpty()) {
        return;
    }
    account->selectService(account->services(EmailType).first());
    account->setValue(QStringLiteral("lastSynchronized"), int(QDateTime::currentSecsSinceEpoch()));
    mMirroring = true;
    account->syncAndBlock();
    mMirroring = false;
}

void AccountMirror::onAccountRemoved(Accounts::AccountId id)
{
    if (QPointer<Accounts::Account> gone = mLive.take(id)) {
        gone->deleteLater();
    }
    onAccountChanged(id);
}

Accounts::Account *AccountMirror::liveAccount(quint64 number)
{
    Accounts::Account *account = mLive.value(number);
    if (!account) {
        account = mEmail.account(Accounts::AccountId(number));
        if (account) {
            mLive.insert(number, account);
            connect(account, &Accounts::Account::removed, this,
                    [this, number] { onAccountRemoved(Accounts::AccountId(number)); });
        }
    }
    return account;
}

void AccountMirror::applyPending()
{
    const QSet<Accounts::AccountId> pending = mPending;
    mPending.clear();
    for (Accounts::AccountId id : pending) {
        mirror(id);
    }
}

void AccountMirror::onAccountChanged(Accounts::AccountId id)
{
    // A job's open transaction must not take in, or roll back, an account change.
    if (QMailStore::instance()->inTransaction() || mMirroring) {
        mPending.insert(id);
        return;
    }
    mirror(id);
}

void AccountMirror::mirror(Accounts::AccountId number)
{
    QMailStore *store = QMailStore::instance();
    const QMailAccountId id(number);
    const AccountConfig config = this->config(id);
    QMailAccount account = store->account(id);

    if (!config.unreadable.isEmpty()) {
        qWarning("Cannot read account %u from the accounts database (%s); the mail store keeps "
                 "it as it is",
                 number, qPrintable(config.unreadable));
        return;
    }
    if (!config.refused.isEmpty()) {
        Q_EMIT configChanged(id);
        return;
    }
    mRefused.remove(number);
    if (!config.known) {
        if (account.id().isValid() && mMirrored.contains(number) && madeHere(account)) {
            qMailLog(MessageServer) << "account" << number << "left the accounts database";
            if (!store->removeAccount(id)) {
                qWarning("Cannot remove account %u from the mail store: %s", number,
                         qPrintable(store->lastErrorText()));
                return;
            }
        }
        if (mMirrored.remove(number)) {
            saveMirrored();
        }
        Q_EMIT configChanged(id);
        return;
    }

    const bool isNew = !account.id().isValid();
    QMailAccount wanted = account;
    wanted.setId(id);
    wanted.setName(config.name);
    wanted.setSignature(config.signature);
    wanted.setFromAddress(config.fromAddress.isEmpty()
                              ? QMailAddress()
                              : QMailAddress(config.fromName, config.fromAddress));
    wanted.setStatus(QMailAccount::MessageSource | QMailAccount::CanRetrieve
                         | QMailAccount::MessageSink | QMailAccount::CanTransmit
                         | QMailAccount::MirroredAccount,
                     true);
    wanted.setStatus(QMailAccount::Enabled, config.enabled);
    if (isNew) {
        qMailLog(MessageServer) << "account" << number << "enters the mail store";
        if (!store->addAccount(&wanted)) {
            qWarning("Cannot add account %u to the mail store: %s", number,
                     qPrintable(store->lastErrorText()));
            return;
        }
    } else if (wanted != account && !store->updateAccount(&wanted)) {
        qWarning("Cannot update account %u in the mail store: %s", number,
                 qPrintable(store->lastErrorText()));
        return;
    }
    if (!mMirrored.contains(number)) {
        mMirrored.insert(number);
        saveMirrored();
    }

    // A Maildir account can be kept always-on: say so once, as the scheduler expects.
    if (!config.maildir.isEmpty() && !mPushMarked.contains(number)) {
        mPushMarked.insert(number);
        Accounts::Account *entry = liveAccount(number);
        if (entry && pushPrefix(entry) == QLatin1String("-")) {
            // Writing tells every manager of this process at once: hold those back.
            mMirroring = true;
            entry->selectService(entry->services(EmailType).first());
            entry->setValue(QStringLiteral("pushCapable"), true);
            entry->syncAndBlock();
            mMirroring = false;
        }
    }
    Q_EMIT configChanged(id);
}

void AccountMirror::loadMirrored()
{
    // Records of earlier versions: which messages each account's Maildir had.
    QDir folder(QMailStore::instance()->storagePath() + QStringLiteral("/messageserver"));
    const QStringList known = folder.entryList({ QStringLiteral("known-*") }, QDir::Files);
    for (const QString &name : known) {
        folder.remove(name);
    }
    // The numbers belong to the store they were mirrored into: a store made
    // anew (or put back from another's copy) has another identity and so
    // never meets the records of the other, which stay for when it is back.
    // Without an identity (or with one that is no plain name) nothing is
    // read or written: nothing is removed.
    const QString identity = QMailStore::instance()->identity();
    static const QRegularExpression plain(QStringLiteral("^[0-9A-Za-z]{1,64}$"));
    if (!plain.match(identity).hasMatch()) {
        qWarning("Cannot read the mail store's identity (%s): accounts that leave the accounts "
                 "database stay in the store",
                 qPrintable(identity.isEmpty() ? QMailStore::instance()->lastErrorText()
                                               : QStringLiteral("not a plain name")));
        return;
    }
    mStateFile = folder.filePath(QStringLiteral("accounts-") + identity);
    QFile file(mStateFile);
    if (!file.open(QIODevice::ReadOnly)) {
        return;
    }
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        bool ok = false;
        const quint64 id = line.trimmed().toULongLong(&ok);
        if (ok && id != 0) {
            mMirrored.insert(id);
        }
    }
}

void AccountMirror::saveMirrored()
{
    if (mStateFile.isEmpty()) {
        return;
    }
    const QString folder = QFileInfo(mStateFile).absolutePath();
    QDir().mkpath(folder);
    QFile::setPermissions(folder,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QSaveFile file(mStateFile);
    if (!file.open(QIODevice::WriteOnly)) {
        qWarning("Cannot write %s: %s", qPrintable(mStateFile), qPrintable(file.errorString()));
        return;
    }
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    for (quint64 id : qAsConst(mMirrored)) {
        file.write(QByteArray::number(id) + '\n');
    }
    if (!file.commit()) {
        qWarning("Cannot write %s: %s", qPrintable(mStateFile), qPrintable(file.errorString()));
    }
}
