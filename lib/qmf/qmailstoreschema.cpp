// Opening the store's database: a new file gets the schema, an older store is
// upgraded in place, a newer or foreign one and a damaged one are refused.
#include "qmailstore_p.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSqlError>

namespace {

// "QMF1": marks a database as a mail store, so that a foreign SQLite file is
// refused instead of being taken over.
const int ApplicationId = 0x514D4631;

// Stores up to this size are checked whole at every open; larger ones are
// checked by every statement as it reads (SQLite reports the damage it meets).
const qint64 QuickCheckLimit = qint64(32) << 20;

// Statements of one upgrade are separated by this text: QtSql runs one at a
// time, and a trigger holds semicolons of its own.
#define UpgradeSeparator "\n;\n"

// A store made anew gets a fresh identity, so that whoever remembers ids of
// the old one (the Tracker mirror) can tell that they no longer apply. Each
// account, folder and message carries a change stamp that grows whenever its
// row is written, whichever process or code path writes it: a row's new
// stamp is above every stamp of its table, so what was copied at one stamp
// is known to be stale when the stamp differs. Triggers keep the stamps, so
// that no write path can forget them.
#define CHANGE_STAMPS(TABLE)                                                                       \
    "ALTER TABLE " TABLE " ADD COLUMN changestamp INTEGER NOT NULL DEFAULT 0" UpgradeSeparator     \
    "CREATE INDEX " TABLE "_changestamp ON " TABLE "(changestamp)" UpgradeSeparator                \
    "CREATE TRIGGER " TABLE "_added AFTER INSERT ON " TABLE " BEGIN UPDATE " TABLE                 \
    " SET changestamp = (SELECT max(changestamp) FROM " TABLE                                      \
    ") + 1 WHERE id = NEW.id; END" UpgradeSeparator "CREATE TRIGGER " TABLE                        \
    "_changed AFTER UPDATE ON " TABLE                                                              \
    " WHEN NEW.changestamp = OLD.changestamp BEGIN UPDATE " TABLE                                  \
    " SET changestamp = (SELECT max(changestamp) FROM " TABLE ") + 1 WHERE id = NEW.id; END"
#define STORE_IDENTITY_AND_CHANGE_STAMPS                                                           \
    "CREATE TABLE storeinfo (name TEXT PRIMARY KEY, value TEXT NOT NULL)" UpgradeSeparator         \
    "INSERT INTO storeinfo VALUES ('identity', lower(hex(randomblob(16))))" UpgradeSeparator       \
        CHANGE_STAMPS("accounts") UpgradeSeparator CHANGE_STAMPS("folders")                        \
            UpgradeSeparator CHANGE_STAMPS("messages")

const char *const SchemaStatements[] = {
    // AUTOINCREMENT, as for folders and messages: the id of a removed
    // account is never handed out again, so nothing that remembers it can
    // mistake a new account for the old one.
    "CREATE TABLE accounts ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " name TEXT NOT NULL DEFAULT '',"
    " signature TEXT NOT NULL DEFAULT '',"
    " fromaddress TEXT NOT NULL DEFAULT '',"
    " fromname TEXT NOT NULL DEFAULT '',"
    " status INTEGER NOT NULL DEFAULT 0)",
    "CREATE TABLE accountfolders ("
    " accountid INTEGER NOT NULL,"
    " kind INTEGER NOT NULL,"
    " folderid INTEGER NOT NULL,"
    " PRIMARY KEY (accountid, kind))",
    "CREATE INDEX accountfolders_folder ON accountfolders(folderid)",
    "CREATE TABLE folders ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " path TEXT NOT NULL DEFAULT '',"
    " displayname TEXT NOT NULL DEFAULT '',"
    " parentfolderid INTEGER NOT NULL DEFAULT 0,"
    " parentaccountid INTEGER NOT NULL DEFAULT 0,"
    " status INTEGER NOT NULL DEFAULT 0)",
    "CREATE INDEX folders_parentfolder ON folders(parentfolderid)",
    "CREATE INDEX folders_parentaccount ON folders(parentaccountid)",
    "CREATE TABLE messages ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " parentfolderid INTEGER NOT NULL DEFAULT 0,"
    " parentaccountid INTEGER NOT NULL DEFAULT 0,"
    " status INTEGER NOT NULL DEFAULT 0,"
    " subject TEXT NOT NULL DEFAULT '',"
    " sender TEXT NOT NULL DEFAULT '',"
    " senderaddress TEXT NOT NULL DEFAULT '',"
    " recipients TEXT NOT NULL DEFAULT '',"
    " sent INTEGER,"
    " sentoffset INTEGER NOT NULL DEFAULT 0,"
    " received INTEGER,"
    " receivedoffset INTEGER NOT NULL DEFAULT 0,"
    " serveruid TEXT NOT NULL DEFAULT '',"
    " size INTEGER NOT NULL DEFAULT 0,"
    " content INTEGER NOT NULL DEFAULT 0,"
    " inresponseto INTEGER NOT NULL DEFAULT 0,"
    " contentscheme TEXT NOT NULL DEFAULT '',"
    " contentidentifier TEXT NOT NULL DEFAULT '')",
    "CREATE INDEX messages_parentfolder ON messages(parentfolderid)",
    "CREATE INDEX messages_parentaccount ON messages(parentaccountid, serveruid)",
};

// Upgrades[n] brings a store of version n + 1 to version n + 2; the schema
// above is version 2, from which a new store is upgraded too. Each runs inside the opening
// transaction, unless its check finds a row: the store has that shape already.
struct Upgrade
{
    const char *done;
    const char *statements;
};

const Upgrade Upgrades[] = {
    // 1 -> 2: account ids are never reused (AUTOINCREMENT). The first
    // stores of version 1 created the table without it.
    { "SELECT 1 FROM sqlite_master WHERE name = 'accounts' AND sql LIKE '%AUTOINCREMENT%'",
      "CREATE TABLE accounts_upgrade ("
      " id INTEGER PRIMARY KEY AUTOINCREMENT,"
      " name TEXT NOT NULL DEFAULT '',"
      " signature TEXT NOT NULL DEFAULT '',"
      " fromaddress TEXT NOT NULL DEFAULT '',"
      " fromname TEXT NOT NULL DEFAULT '',"
      " status INTEGER NOT NULL DEFAULT 0)" UpgradeSeparator
      "INSERT INTO accounts_upgrade (id, name, signature, fromaddress, fromname, status)"
      " SELECT id, name, signature, fromaddress, fromname, status FROM accounts" UpgradeSeparator
      "DROP TABLE accounts" UpgradeSeparator "ALTER TABLE accounts_upgrade RENAME TO accounts" },
    // 2 -> 3: the store's identity and the change stamps.
    { "SELECT 1 FROM sqlite_master WHERE name = 'storeinfo'", STORE_IDENTITY_AND_CHANGE_STAMPS },
    // 3 -> 4: removal records, and where a moved message's server copy is.
    // The origin is taken by a trigger, so that every write path that moves
    // a message keeps it; a changed server uid means the server placed the
    // message itself, and the first origin stays when it moves on.
    { "SELECT 1 FROM sqlite_master WHERE name = 'removals'",
      "CREATE TABLE removals ("
      " accountid INTEGER NOT NULL,"
      " folderid INTEGER NOT NULL,"
      " serveruid TEXT NOT NULL,"
      " PRIMARY KEY (accountid, folderid, serveruid))" UpgradeSeparator "CREATE TABLE origins ("
      " messageid INTEGER PRIMARY KEY,"
      " accountid INTEGER NOT NULL,"
      " folderid INTEGER NOT NULL,"
      " serveruid TEXT NOT NULL)" UpgradeSeparator
      "CREATE INDEX origins_account ON origins(accountid)" UpgradeSeparator
      "CREATE TRIGGER messages_moved AFTER UPDATE OF parentfolderid ON messages"
      " WHEN OLD.parentfolderid != NEW.parentfolderid AND OLD.serveruid != ''"
      " AND OLD.serveruid = NEW.serveruid AND OLD.parentaccountid != 0"
      " BEGIN INSERT OR IGNORE INTO origins VALUES"
      " (OLD.id, OLD.parentaccountid, OLD.parentfolderid, OLD.serveruid); END" UpgradeSeparator
      "CREATE TRIGGER messages_gone AFTER DELETE ON messages"
      " BEGIN DELETE FROM origins WHERE messageid = OLD.id; END" },
};

const int SchemaVersion = int(sizeof(Upgrades) / sizeof(Upgrades[0])) + 1;

QString describe(const QSqlError &error)
{
    const QString text = error.databaseText();
    return text.isEmpty() ? error.text() : text;
}

int pragma(QSqlQuery &query, const char *name)
{
    query.exec(QLatin1String("PRAGMA ") + QLatin1String(name));
    const int value = query.next() ? query.value(0).toInt() : -1;
    query.finish();
    return value;
}

} // namespace

QMailStorePrivate::QMailStorePrivate(QMailStore *store)
    : q(store)
{
    directory = qEnvironmentVariable("QMF_DATA");
    if (directory.isEmpty())
        directory = QDir::homePath() + QLatin1String("/.qmf");
    directory = QDir(directory).absolutePath();
    databaseFile = directory + QLatin1String("/qmailstore.db");
    contentDirectory = directory + QLatin1String("/mail");
    stagingDirectory = contentDirectory + QLatin1String("/.staging/")
        + QString::number(QCoreApplication::applicationPid());
    connectionName = QStringLiteral("qmailstore-%1").arg(quintptr(this));
}

QMailStorePrivate::~QMailStorePrivate()
{
    qDeleteAll(statements);
    statements.clear();
    if (db.isValid()) {
        if (userTransaction)
            rollback();
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(connectionName);
    }
}

bool QMailStorePrivate::open()
{
    state = QMailStore::InitializationFailed;
    if (!QDir().mkpath(contentDirectory)) {
        setError(QMailStore::StorageInaccessible,
                 QStringLiteral("Cannot create the mail store folder %1").arg(contentDirectory));
        return false;
    }
    db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
    if (!db.isValid()) {
        setError(QMailStore::StorageInaccessible,
                 QStringLiteral("The SQLite driver of QtSql is not available"));
        return false;
    }
    db.setDatabaseName(databaseFile);
    // Other processes write too: wait for their transactions instead of failing.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=30000"));
    if (!db.open()) {
        setError(QMailStore::StorageInaccessible,
                 QStringLiteral("Cannot open the mail store %1: %2")
                     .arg(databaseFile, describe(db.lastError())));
        return false;
    }

    QSqlQuery query(db);
    // The first read tells a database from any other file.
    if (!query.exec(QStringLiteral("PRAGMA application_id")) || !query.next()) {
        setError(QMailStore::StorageInaccessible,
                 QStringLiteral("%1 is not a mail store: %2")
                     .arg(databaseFile, describe(query.lastError())));
        return false;
    }
    const int applicationId = query.value(0).toInt();
    query.finish();
    if (applicationId != ApplicationId || pragma(query, "user_version") != SchemaVersion) {
        if (!createOrUpgrade(query))
            return false;
    }
    // Readers never block the writer and the other way round.
    query.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
    query.finish();
    query.exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    query.finish();
    if (!checkIntegrity())
        return false;

    state = QMailStore::Initialized;
    collectStagedFiles();
    connectBus();
    return true;
}

// In a write transaction, checking again inside it in case another process
// is creating or upgrading the same store right now.
bool QMailStorePrivate::createOrUpgrade(QSqlQuery &query)
{
    auto fail = [&](const QString &text) {
        query.exec(QStringLiteral("ROLLBACK"));
        setError(QMailStore::StorageInaccessible, text);
        return false;
    };
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        setError(QMailStore::StorageInaccessible,
                 QStringLiteral("Cannot lock the mail store %1: %2")
                     .arg(databaseFile, describe(query.lastError())));
        return false;
    }
    const int applicationId = pragma(query, "application_id");
    int version = pragma(query, "user_version");
    if (applicationId != ApplicationId) {
        query.exec(QStringLiteral("SELECT count(*) FROM sqlite_master"));
        const int objects = query.next() ? query.value(0).toInt() : -1;
        query.finish();
        if (applicationId != 0 || objects != 0)
            return fail(
                QStringLiteral("%1 is not a mail store: it holds another application's data")
                    .arg(databaseFile));
        for (const char *statement : SchemaStatements) {
            if (!query.exec(QLatin1String(statement)))
                return fail(QStringLiteral("Cannot create the mail store %1: %2")
                                .arg(databaseFile, describe(query.lastError())));
        }
        query.exec(QStringLiteral("PRAGMA application_id = %1").arg(ApplicationId));
        // A new store is made in the shape of version 2, then upgraded like any.
        version = 2;
    }
    if (version < 1 || version > SchemaVersion)
        return fail(
            QStringLiteral("The mail store %1 has schema version %2; this program reads version %3")
                .arg(databaseFile)
                .arg(version)
                .arg(SchemaVersion));
    for (; version < SchemaVersion; ++version) {
        const Upgrade &upgrade = Upgrades[version - 1];
        query.exec(QLatin1String(upgrade.done));
        const bool done = query.next();
        query.finish();
        if (done)
            continue;
        for (const QString &statement :
             QString::fromLatin1(upgrade.statements).split(QLatin1String(UpgradeSeparator))) {
            if (!query.exec(statement))
                return fail(QStringLiteral("Cannot upgrade the mail store %1 to version %2: %3")
                                .arg(databaseFile)
                                .arg(version + 1)
                                .arg(describe(query.lastError())));
        }
    }
    query.exec(QStringLiteral("PRAGMA user_version = %1").arg(SchemaVersion));
    if (!query.exec(QStringLiteral("COMMIT")))
        return fail(QStringLiteral("Cannot create the mail store %1: %2")
                        .arg(databaseFile, describe(query.lastError())));
    return true;
}

bool QMailStorePrivate::checkIntegrity()
{
    if (QFileInfo(databaseFile).size() > QuickCheckLimit)
        return true;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("PRAGMA quick_check(1)"))) {
        setError(QMailStore::StorageInaccessible, damaged(describe(query.lastError())));
        return false;
    }
    const QString verdict = query.next() ? query.value(0).toString() : QString();
    if (verdict == QLatin1String("ok"))
        return true;
    setError(QMailStore::StorageInaccessible,
             damaged(QStringLiteral("database disk image is malformed (%1)").arg(verdict)));
    return false;
}
