#include "qmailstore.h"

#include "qmailstore_p.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QSqlError>
#include <QSqlRecord>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// "QMF1": marks a database as a mail store, so that a foreign SQLite file is
// refused instead of being taken over.
const int ApplicationId = 0x514D4631;
const int SchemaVersion = 1;

const char ContentScheme[] = "qmfstoragemanager";

const char DBusPath[] = "/org/postvane/qmf/Store";
const char DBusInterface[] = "org.postvane.qmf.Store";
const char DBusSignal[] = "changed";

// The D-Bus name of each ChangeKind: the name of the store's signal.
const char *const ChangeKindNames[] = {
    "accountsAdded",   "foldersAdded",    "messagesAdded",  "accountsUpdated", "foldersUpdated",
    "messagesUpdated", "messagesRemoved", "foldersRemoved", "accountsRemoved",
};

enum KeyKind { AccountKind, FolderKind, MessageKind };

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

const char MessageColumns[]
    = "id, parentfolderid, parentaccountid, status, subject, sender, recipients, sent, sentoffset,"
      " received, receivedoffset, serveruid, size, content, inresponseto, contentscheme,"
      " contentidentifier";

// Addresses are kept as "name US address" records separated by RS: cheap to
// read back. Real addresses never contain these control characters; an
// encoded word could smuggle them into a name, so they are blanked there.
const QChar UnitSeparator(0x1f);
const QChar RecordSeparator(0x1e);

// SQLite's own words ("database is locked"); QSqlError::text() appends the
// driver's ("Unable to fetch row"), which say nothing more.
QString describe(const QSqlError &error)
{
    const QString text = error.databaseText();
    return text.isEmpty() ? error.text() : text;
}

// QtSql binds a null QString as NULL; the text columns hold empty text instead.
QVariant text(const QString &value)
{
    return value.isNull() ? QVariant(QString(QLatin1String(""))) : QVariant(value);
}

QString withoutSeparators(QString text)
{
    text.replace(UnitSeparator, QLatin1Char(' '));
    text.replace(RecordSeparator, QLatin1Char(' '));
    return text;
}

QString encodeAddress(const QMailAddress &address)
{
    if (address.isNull())
        return QString();
    return withoutSeparators(address.hasDisplayName() ? address.name() : QString()) + UnitSeparator
        + withoutSeparators(address.address());
}

QMailAddress decodeAddress(const QString &text)
{
    if (text.isEmpty())
        return QMailAddress();
    const int sep = text.indexOf(UnitSeparator);
    if (sep < 0)
        return QMailAddress(QString(), text);
    return QMailAddress(text.left(sep), text.mid(sep + 1));
}

QString encodeAddresses(const QList<QMailAddress> &addresses)
{
    QStringList records;
    records.reserve(addresses.size());
    for (const QMailAddress &address : addresses)
        records.append(encodeAddress(address));
    return records.join(RecordSeparator);
}

QList<QMailAddress> decodeAddresses(const QString &text)
{
    QList<QMailAddress> addresses;
    if (text.isEmpty())
        return addresses;
    for (const QStringRef &record : text.splitRef(RecordSeparator))
        addresses.append(decodeAddress(record.toString()));
    return addresses;
}

QVariant stampMSecs(const QMailTimeStamp &stamp)
{
    return stamp.isValid() ? QVariant(stamp.toMSecsSinceEpoch()) : QVariant(QVariant::LongLong);
}

QMailTimeStamp stampFrom(const QVariant &msecs, const QVariant &offset)
{
    if (msecs.isNull())
        return QMailTimeStamp();
    return QMailTimeStamp::fromMSecsSinceEpoch(msecs.toLongLong(), offset.toInt());
}

QString column(int kind, int property)
{
    switch (kind) {
    case AccountKind:
        switch (property) {
        case QMailAccountKey::Id:
            return QStringLiteral("id");
        case QMailAccountKey::Name:
            return QStringLiteral("name");
        case QMailAccountKey::Status:
            return QStringLiteral("status");
        case QMailAccountKey::FromAddress:
            return QStringLiteral("fromaddress");
        }
        break;
    case FolderKind:
        switch (property) {
        case QMailFolderKey::Id:
            return QStringLiteral("id");
        case QMailFolderKey::Path:
            return QStringLiteral("path");
        case QMailFolderKey::ParentFolderId:
            return QStringLiteral("parentfolderid");
        case QMailFolderKey::ParentAccountId:
            return QStringLiteral("parentaccountid");
        case QMailFolderKey::DisplayName:
            // A folder without a display name shows its path.
            return QStringLiteral("(CASE WHEN displayname = '' THEN path ELSE displayname END)");
        case QMailFolderKey::Status:
            return QStringLiteral("status");
        }
        break;
    case MessageKind:
        switch (property) {
        case QMailMessageKey::Id:
            return QStringLiteral("id");
        case QMailMessageKey::ParentFolderId:
            return QStringLiteral("parentfolderid");
        case QMailMessageKey::ParentAccountId:
            return QStringLiteral("parentaccountid");
        case QMailMessageKey::Status:
            return QStringLiteral("status");
        case QMailMessageKey::ServerUid:
            return QStringLiteral("serveruid");
        case QMailMessageKey::Subject:
            return QStringLiteral("subject");
        case QMailMessageKey::Sender:
            return QStringLiteral("senderaddress");
        case QMailMessageKey::InResponseTo:
            return QStringLiteral("inresponseto");
        case QMailMessageKey::TimeStamp:
            return QStringLiteral("sent");
        case QMailMessageKey::ReceptionTimeStamp:
            return QStringLiteral("received");
        case QMailMessageKey::ContentIdentifier:
            return QStringLiteral("contentidentifier");
        case QMailMessageKey::Size:
            return QStringLiteral("size");
        }
        break;
    }
    return QString();
}

QString sortColumn(int kind, int property)
{
    switch (kind) {
    case AccountKind:
        return column(kind, property);
    case FolderKind:
        switch (property) {
        case QMailFolderSortKey::Id:
            return QStringLiteral("id");
        case QMailFolderSortKey::Path:
            return QStringLiteral("path");
        case QMailFolderSortKey::DisplayName:
            return column(FolderKind, QMailFolderKey::DisplayName);
        case QMailFolderSortKey::ParentFolderId:
            return QStringLiteral("parentfolderid");
        case QMailFolderSortKey::ParentAccountId:
            return QStringLiteral("parentaccountid");
        case QMailFolderSortKey::Status:
            return QStringLiteral("status");
        }
        break;
    case MessageKind:
        switch (property) {
        case QMailMessageSortKey::Id:
            return QStringLiteral("id");
        case QMailMessageSortKey::TimeStamp:
            return QStringLiteral("sent");
        case QMailMessageSortKey::ReceptionTimeStamp:
            return QStringLiteral("received");
        case QMailMessageSortKey::Subject:
            return QStringLiteral("subject");
        case QMailMessageSortKey::Size:
            return QStringLiteral("size");
        case QMailMessageSortKey::ServerUid:
            return QStringLiteral("serveruid");
        case QMailMessageSortKey::Status:
            return QStringLiteral("status");
        case QMailMessageSortKey::ParentFolderId:
            return QStringLiteral("parentfolderid");
        }
        break;
    }
    return QStringLiteral("id");
}

QString likePattern(const QString &text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    escaped.replace(QLatin1Char('%'), QLatin1String("\\%"));
    escaped.replace(QLatin1Char('_'), QLatin1String("\\_"));
    return QLatin1Char('%') + escaped + QLatin1Char('%');
}

// Properties whose values are ids: numbers that can be written into the
// statement itself.
bool isIdProperty(int kind, int property)
{
    switch (kind) {
    case AccountKind:
        return property == QMailAccountKey::Id;
    case FolderKind:
        return property == QMailFolderKey::Id || property == QMailFolderKey::ParentFolderId
            || property == QMailFolderKey::ParentAccountId;
    case MessageKind:
        return property == QMailMessageKey::Id || property == QMailMessageKey::ParentFolderId
            || property == QMailMessageKey::ParentAccountId
            || property == QMailMessageKey::InResponseTo;
    }
    return false;
}

// Key trees become SQL conditions. Id lists are written as literal numbers,
// so that lists of any length stay within SQLite's limit on bound values.
void compileKey(const QMailKeyNode &node, int kind, QString &sql, QVariantList &values)
{
    QString condition;
    switch (node.kind()) {
    case QMailKeyNode::Empty:
        condition = QStringLiteral("1");
        break;
    case QMailKeyNode::And:
    case QMailKeyNode::Or: {
        QStringList parts;
        for (const QMailKeyNode &child : node.children()) {
            QString part;
            compileKey(child, kind, part, values);
            parts.append(part);
        }
        condition = QLatin1Char('(')
            + parts.join(node.kind() == QMailKeyNode::And ? QLatin1String(" AND ")
                                                          : QLatin1String(" OR "))
            + QLatin1Char(')');
        break;
    }
    case QMailKeyNode::Leaf: {
        const QString col = column(kind, node.property());
        const QVariant &value = node.value();
        switch (node.op()) {
        case QMailKeyNode::Equal:
        case QMailKeyNode::NotEqual:
        case QMailKeyNode::LessThan:
        case QMailKeyNode::LessThanEqual:
        case QMailKeyNode::GreaterThan:
        case QMailKeyNode::GreaterThanEqual: {
            static const char *const ops[] = { "=", "<>", "<", "<=", ">", ">=" };
            if (value.type() == QVariant::ULongLong)
                values.append(qint64(value.toULongLong()));
            else
                values.append(value);
            condition
                = col + QLatin1Char(' ') + QLatin1String(ops[node.op()]) + QLatin1String(" ?");
            break;
        }
        case QMailKeyNode::In:
        case QMailKeyNode::NotIn: {
            const QVariantList list = value.toList();
            const bool in = node.op() == QMailKeyNode::In;
            if (list.isEmpty()) {
                condition = in ? QStringLiteral("0") : QStringLiteral("1");
                break;
            }
            QStringList items;
            items.reserve(list.size());
            const bool ids = isIdProperty(kind, node.property());
            for (const QVariant &item : list) {
                if (ids) {
                    items.append(QString::number(qint64(item.toULongLong())));
                } else {
                    items.append(QStringLiteral("?"));
                    values.append(item);
                }
            }
            condition = col + (in ? QLatin1String(" IN (") : QLatin1String(" NOT IN ("))
                + items.join(QLatin1Char(',')) + QLatin1Char(')');
            break;
        }
        case QMailKeyNode::MaskAll:
            values.append(qint64(value.toULongLong()));
            values.append(qint64(value.toULongLong()));
            condition = QLatin1Char('(') + col + QLatin1String(" & ?) = ?");
            break;
        case QMailKeyNode::MaskNone:
            values.append(qint64(value.toULongLong()));
            condition = QLatin1Char('(') + col + QLatin1String(" & ?) = 0");
            break;
        case QMailKeyNode::Contains:
        case QMailKeyNode::NotContains:
            values.append(likePattern(value.toString()));
            condition = col
                + (node.op() == QMailKeyNode::Contains ? QLatin1String(" LIKE ? ESCAPE '\\'")
                                                       : QLatin1String(" NOT LIKE ? ESCAPE '\\'"));
            break;
        }
        break;
    }
    }
    sql = node.isNegated() ? QLatin1String("NOT (") + condition + QLatin1Char(')') : condition;
}

QString idList(const QList<quint64> &ids)
{
    QStringList items;
    items.reserve(ids.size());
    for (quint64 id : ids)
        items.append(QString::number(qint64(id)));
    return QLatin1Char('(') + items.join(QLatin1Char(',')) + QLatin1Char(')');
}

template<typename Id> QList<Id> toIds(const QList<quint64> &values)
{
    QList<Id> ids;
    ids.reserve(values.size());
    for (quint64 value : values)
        ids.append(Id(value));
    return ids;
}

// The ids' numbers in first-seen order, each once.
template<typename Id> QList<quint64> distinctValues(const QList<Id> &ids)
{
    QList<quint64> values;
    QSet<quint64> seen;
    values.reserve(ids.size());
    for (const Id &id : ids) {
        const quint64 value = id.toULongLong();
        if (!seen.contains(value)) {
            seen.insert(value);
            values.append(value);
        }
    }
    return values;
}

QMailStore *storeInstance = nullptr;

void destroyStore()
{
    delete storeInstance;
    storeInstance = nullptr;
}

} // namespace

bool QMailStoreChanges::isEmpty() const
{
    return accountsAdded.isEmpty() && accountsUpdated.isEmpty() && accountsRemoved.isEmpty()
        && foldersAdded.isEmpty() && foldersUpdated.isEmpty() && foldersRemoved.isEmpty()
        && messagesAdded.isEmpty() && messagesUpdated.isEmpty() && messagesRemoved.isEmpty()
        && createdFiles.isEmpty() && obsoleteFiles.isEmpty();
}

// Sizes of the pending lists, to undo one failed operation inside a longer
// transaction without copying the lists.
struct ChangesMark
{
    int sizes[11];

    explicit ChangesMark(const QMailStoreChanges &c)
        : sizes { c.accountsAdded.size(), c.accountsUpdated.size(), c.accountsRemoved.size(),
                  c.foldersAdded.size(),  c.foldersUpdated.size(),  c.foldersRemoved.size(),
                  c.messagesAdded.size(), c.messagesUpdated.size(), c.messagesRemoved.size(),
                  c.createdFiles.size(),  c.obsoleteFiles.size() }
    { }

    template<typename L> static void cut(L &list, int size)
    {
        while (list.size() > size)
            list.removeLast();
    }

    void restore(QMailStoreChanges &c) const
    {
        cut(c.accountsAdded, sizes[0]);
        cut(c.accountsUpdated, sizes[1]);
        cut(c.accountsRemoved, sizes[2]);
        cut(c.foldersAdded, sizes[3]);
        cut(c.foldersUpdated, sizes[4]);
        cut(c.foldersRemoved, sizes[5]);
        cut(c.messagesAdded, sizes[6]);
        cut(c.messagesUpdated, sizes[7]);
        cut(c.messagesRemoved, sizes[8]);
        for (int i = sizes[9]; i < c.createdFiles.size(); ++i)
            QFile::remove(c.createdFiles.at(i));
        cut(c.createdFiles, sizes[9]);
        cut(c.obsoleteFiles, sizes[10]);
    }
};

// The private part

QMailStorePrivate::QMailStorePrivate(QMailStore *store)
    : q(store)
{
    directory = qEnvironmentVariable("QMF_DATA");
    if (directory.isEmpty())
        directory = QDir::homePath() + QLatin1String("/.qmf");
    directory = QDir(directory).absolutePath();
    databaseFile = directory + QLatin1String("/qmailstore.db");
    contentDirectory = directory + QLatin1String("/mail");
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
    int applicationId = query.value(0).toInt();
    query.finish();

    if (applicationId != ApplicationId) {
        // Create the schema in a write transaction, checking again inside it
        // in case another process is creating the same store right now.
        if (!query.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
            setError(QMailStore::StorageInaccessible,
                     QStringLiteral("Cannot lock the mail store %1: %2")
                         .arg(databaseFile, describe(query.lastError())));
            return false;
        }
        query.exec(QStringLiteral("PRAGMA application_id"));
        applicationId = query.next() ? query.value(0).toInt() : 0;
        query.finish();
        if (applicationId != ApplicationId) {
            query.exec(QStringLiteral("SELECT count(*) FROM sqlite_master"));
            const int objects = query.next() ? query.value(0).toInt() : -1;
            query.finish();
            if (applicationId != 0 || objects != 0) {
                query.exec(QStringLiteral("ROLLBACK"));
                setError(
                    QMailStore::StorageInaccessible,
                    QStringLiteral("%1 is not a mail store: it holds another application's data")
                        .arg(databaseFile));
                return false;
            }
            for (const char *statement : SchemaStatements) {
                if (!query.exec(QLatin1String(statement))) {
                    const QString why = describe(query.lastError());
                    query.exec(QStringLiteral("ROLLBACK"));
                    setError(QMailStore::StorageInaccessible,
                             QStringLiteral("Cannot create the mail store %1: %2")
                                 .arg(databaseFile, why));
                    return false;
                }
            }
            query.exec(QStringLiteral("PRAGMA user_version = %1").arg(SchemaVersion));
            query.exec(QStringLiteral("PRAGMA application_id = %1").arg(ApplicationId));
        }
        if (!query.exec(QStringLiteral("COMMIT"))) {
            const QString why = describe(query.lastError());
            query.exec(QStringLiteral("ROLLBACK"));
            setError(QMailStore::StorageInaccessible,
                     QStringLiteral("Cannot create the mail store %1: %2").arg(databaseFile, why));
            return false;
        }
    }

    query.exec(QStringLiteral("PRAGMA user_version"));
    const int version = query.next() ? query.value(0).toInt() : -1;
    query.finish();
    if (version != SchemaVersion) {
        setError(
            QMailStore::StorageInaccessible,
            QStringLiteral("The mail store %1 has schema version %2; this program reads version %3")
                .arg(databaseFile)
                .arg(version)
                .arg(SchemaVersion));
        return false;
    }
    // Readers never block the writer and the other way round.
    query.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
    query.finish();
    query.exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    query.finish();

    state = QMailStore::Initialized;

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        busConnected
            = bus.connect(QString(), QLatin1String(DBusPath), QLatin1String(DBusInterface),
                          QLatin1String(DBusSignal), this, SLOT(onRemoteChange(QDBusMessage)));
    }
    return true;
}

void QMailStorePrivate::setError(QMailStore::ErrorCode code, const QString &text) const
{
    error = code;
    errorText = text;
}

void QMailStorePrivate::clearError() const
{
    error = QMailStore::NoError;
    errorText.clear();
}

bool QMailStorePrivate::checkReady() const
{
    if (state == QMailStore::Initialized) {
        clearError();
        return true;
    }
    if (error == QMailStore::NoError)
        setError(QMailStore::StorageInaccessible, QStringLiteral("The mail store is not open"));
    return false;
}

bool QMailStorePrivate::sqlFailed(const QSqlQuery &query, const QString &what) const
{
    setError(QMailStore::FrameworkFault,
             QStringLiteral("%1 failed: %2").arg(what, describe(query.lastError())));
    return false;
}

QSqlQuery &QMailStorePrivate::prepared(const QString &sql) const
{
    QSqlQuery *&query = statements[sql];
    if (!query) {
        query = new QSqlQuery(db);
        query->prepare(sql);
    }
    return *query;
}

bool QMailStorePrivate::exec(const QString &sql, const QVariantList &values) const
{
    QSqlQuery query(db);
    if (!query.prepare(sql))
        return sqlFailed(query, sql);
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec())
        return sqlFailed(query, sql);
    return true;
}

bool QMailStorePrivate::begin()
{
    QSqlQuery query(db);
    // Take the write lock at once: a deferred transaction that upgrades later
    // could fail with "database is locked" despite the busy timeout.
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        setError(QMailStore::StorageInaccessible,
                 QStringLiteral("Cannot lock the mail store: %1").arg(describe(query.lastError())));
        return false;
    }
    return true;
}

bool QMailStorePrivate::commit()
{
    // Content files must be on disk before the rows that point at them.
    if (!pending.createdFiles.isEmpty()) {
        const int fd
            = ::open(QFile::encodeName(contentDirectory).constData(), O_RDONLY | O_DIRECTORY);
        if (fd >= 0) {
            ::syncfs(fd);
            ::close(fd);
        }
    }
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("COMMIT"))) {
        const QString why = describe(query.lastError());
        rollback();
        setError(QMailStore::StorageInaccessible,
                 QStringLiteral("Cannot commit to the mail store: %1").arg(why));
        return false;
    }
    QMailStoreChanges changes;
    std::swap(changes, pending);
    for (const QString &file : qAsConst(changes.obsoleteFiles))
        QFile::remove(file);
    announce(changes);
    return true;
}

void QMailStorePrivate::rollback()
{
    QSqlQuery query(db);
    query.exec(QStringLiteral("ROLLBACK"));
    for (const QString &file : qAsConst(pending.createdFiles))
        QFile::remove(file);
    pending = QMailStoreChanges();
    userTransaction = false;
}

bool QMailStorePrivate::write(const std::function<bool()> &operation)
{
    if (!checkReady())
        return false;
    if (!userTransaction) {
        if (!begin())
            return false;
        if (!operation()) {
            const QMailStore::ErrorCode code = error;
            const QString text = errorText;
            rollback();
            setError(code, text);
            return false;
        }
        return commit();
    }
    const ChangesMark mark(pending);
    if (!exec(QStringLiteral("SAVEPOINT operation")))
        return false;
    if (!operation()) {
        const QMailStore::ErrorCode code = error;
        const QString text = errorText;
        exec(QStringLiteral("ROLLBACK TO operation"));
        exec(QStringLiteral("RELEASE operation"));
        mark.restore(pending);
        setError(code, text);
        return false;
    }
    return exec(QStringLiteral("RELEASE operation"));
}

// Announcing changes

void QMailStorePrivate::announce(const QMailStoreChanges &changes)
{
    // In the order of ChangeKind.
    const QList<quint64> ids[ChangeKindCount] = {
        distinctValues(changes.accountsAdded),   distinctValues(changes.foldersAdded),
        distinctValues(changes.messagesAdded),   distinctValues(changes.accountsUpdated),
        distinctValues(changes.foldersUpdated),  distinctValues(changes.messagesUpdated),
        distinctValues(changes.messagesRemoved), distinctValues(changes.foldersRemoved),
        distinctValues(changes.accountsRemoved),
    };

    // Other processes first, so that they hear of a change no later than a
    // slot of this process could tell them about it.
    if (busConnected) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        for (int kind = 0; kind < ChangeKindCount; ++kind) {
            if (ids[kind].isEmpty())
                continue;
            QDBusMessage signal = QDBusMessage::createSignal(
                QLatin1String(DBusPath), QLatin1String(DBusInterface), QLatin1String(DBusSignal));
            signal << databaseFile << QString::fromLatin1(ChangeKindNames[kind])
                   << QVariant::fromValue(ids[kind]);
            bus.send(signal);
            unflushed = true;
        }
    }
    for (int kind = 0; kind < ChangeKindCount; ++kind) {
        if (!ids[kind].isEmpty())
            emitChange(ChangeKind(kind), ids[kind]);
    }
}

void QMailStorePrivate::emitChange(ChangeKind kind, const QList<quint64> &ids)
{
    switch (kind) {
    case AccountsAdded:
        Q_EMIT q->accountsAdded(toIds<QMailAccountId>(ids));
        break;
    case FoldersAdded:
        Q_EMIT q->foldersAdded(toIds<QMailFolderId>(ids));
        break;
    case MessagesAdded:
        Q_EMIT q->messagesAdded(toIds<QMailMessageId>(ids));
        break;
    case AccountsUpdated:
        Q_EMIT q->accountsUpdated(toIds<QMailAccountId>(ids));
        break;
    case FoldersUpdated:
        Q_EMIT q->foldersUpdated(toIds<QMailFolderId>(ids));
        break;
    case MessagesUpdated:
        Q_EMIT q->messagesUpdated(toIds<QMailMessageId>(ids));
        break;
    case MessagesRemoved:
        Q_EMIT q->messagesRemoved(toIds<QMailMessageId>(ids));
        break;
    case FoldersRemoved:
        Q_EMIT q->foldersRemoved(toIds<QMailFolderId>(ids));
        break;
    case AccountsRemoved:
        Q_EMIT q->accountsRemoved(toIds<QMailAccountId>(ids));
        break;
    case ChangeKindCount:
        break;
    }
}

void QMailStorePrivate::onRemoteChange(const QDBusMessage &message)
{
    // Our own broadcasts come back from the bus too; those were emitted
    // already, when the change was made.
    if (message.service() == QDBusConnection::sessionBus().baseService())
        return;
    const QVariantList args = message.arguments();
    if (args.size() != 3 || args.at(0).toString() != databaseFile)
        return;
    const QString name = args.at(1).toString();
    QList<quint64> ids;
    const QVariant &idsArg = args.at(2);
    if (idsArg.canConvert<QDBusArgument>())
        idsArg.value<QDBusArgument>() >> ids;
    else
        ids = idsArg.value<QList<quint64>>();
    if (ids.isEmpty())
        return;
    for (int kind = 0; kind < ChangeKindCount; ++kind) {
        if (name == QLatin1String(ChangeKindNames[kind])) {
            emitChange(ChangeKind(kind), ids);
            return;
        }
    }
}

void QMailStorePrivate::flush()
{
    if (!busConnected || !unflushed)
        return;
    // The bus answers in order: once this reply is here, every signal sent
    // before it has reached the bus.
    QDBusConnection bus = QDBusConnection::sessionBus();
    QDBusMessage ping = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetId"));
    bus.call(ping, QDBus::Block, 5000);
    unflushed = false;
}

// Reading

QList<quint64> QMailStorePrivate::selectIds(const QString &table, const QMailKeyNode &key,
                                            const QMailSortList &sort, uint limit, uint offset,
                                            int kind) const
{
    QList<quint64> ids;
    if (!checkReady())
        return ids;
    QString where;
    QVariantList values;
    compileKey(key, kind, where, values);
    QString sql = QStringLiteral("SELECT id FROM ") + table + QStringLiteral(" WHERE ") + where;
    QStringList order;
    for (const auto &entry : sort)
        order.append(sortColumn(kind, entry.first)
                     + (entry.second == Qt::AscendingOrder ? QLatin1String(" ASC")
                                                           : QLatin1String(" DESC")));
    order.append(QStringLiteral("id ASC"));
    sql += QStringLiteral(" ORDER BY ") + order.join(QLatin1String(", "));
    if (limit > 0)
        sql += QStringLiteral(" LIMIT %1 OFFSET %2").arg(limit).arg(offset);
    else if (offset > 0)
        sql += QStringLiteral(" LIMIT -1 OFFSET %1").arg(offset);
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.prepare(sql)) {
        sqlFailed(query, QStringLiteral("Query"));
        return ids;
    }
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec()) {
        sqlFailed(query, QStringLiteral("Query"));
        return ids;
    }
    while (query.next())
        ids.append(quint64(query.value(0).toLongLong()));
    return ids;
}

int QMailStorePrivate::count(const QString &table, const QMailKeyNode &key, int kind) const
{
    if (!checkReady())
        return 0;
    QString where;
    QVariantList values;
    compileKey(key, kind, where, values);
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT count(*) FROM ") + table + QStringLiteral(" WHERE ")
                  + where);
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec() || !query.next()) {
        sqlFailed(query, QStringLiteral("Count"));
        return 0;
    }
    return query.value(0).toInt();
}

bool QMailStorePrivate::exists(const QString &table, quint64 id) const
{
    QSqlQuery &query
        = prepared(QStringLiteral("SELECT 1 FROM ") + table + QStringLiteral(" WHERE id = ?"));
    query.addBindValue(qint64(id));
    const bool found = query.exec() && query.next();
    query.finish();
    return found;
}

bool QMailStorePrivate::selectIds(const QString &sql, QList<quint64> *ids,
                                  const QString &what) const
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(sql))
        return sqlFailed(query, what);
    while (query.next())
        ids->append(quint64(query.value(0).toLongLong()));
    return true;
}

bool QMailStorePrivate::checkUpdatable(const QString &table, quint64 id, const char *what) const
{
    if (id != 0 && exists(table, id))
        return true;
    setError(QMailStore::InvalidId,
             QStringLiteral("No %1 %2 to update").arg(QLatin1String(what)).arg(id));
    return false;
}

QMailAccount QMailStorePrivate::loadAccount(const QMailAccountId &id) const
{
    QMailAccount account;
    if (!id.isValid() || !checkReady())
        return account;
    QSqlQuery &query = prepared(QStringLiteral(
        "SELECT id, name, signature, fromaddress, fromname, status FROM accounts WHERE id = ?"));
    query.addBindValue(qint64(id.toULongLong()));
    if (!query.exec()) {
        sqlFailed(query, QStringLiteral("Loading account"));
        return account;
    }
    if (!query.next()) {
        query.finish();
        setError(QMailStore::InvalidId, QStringLiteral("No account %1").arg(id.toULongLong()));
        return account;
    }
    account.m_id = QMailAccountId(quint64(query.value(0).toLongLong()));
    account.m_name = query.value(1).toString();
    account.m_signature = query.value(2).toString();
    account.m_fromAddress = QMailAddress(query.value(4).toString(), query.value(3).toString());
    account.m_status = quint64(query.value(5).toLongLong());
    query.finish();

    QSqlQuery &folders
        = prepared(QStringLiteral("SELECT kind, folderid FROM accountfolders WHERE accountid = ?"));
    folders.addBindValue(qint64(id.toULongLong()));
    if (folders.exec()) {
        while (folders.next()) {
            const int kind = folders.value(0).toInt();
            if (kind >= QMailFolder::InboxFolder && kind <= QMailFolder::JunkFolder)
                account.m_standardFolders.insert(
                    QMailFolder::StandardFolder(kind),
                    QMailFolderId(quint64(folders.value(1).toLongLong())));
        }
    }
    folders.finish();
    return account;
}

QMailFolder QMailStorePrivate::loadFolder(const QMailFolderId &id) const
{
    QMailFolder folder;
    if (!id.isValid() || !checkReady())
        return folder;
    QSqlQuery &query
        = prepared(QStringLiteral("SELECT id, path, displayname, parentfolderid, parentaccountid, "
                                  "status FROM folders WHERE id = ?"));
    query.addBindValue(qint64(id.toULongLong()));
    if (!query.exec()) {
        sqlFailed(query, QStringLiteral("Loading folder"));
        return folder;
    }
    if (query.next()) {
        folder.m_id = QMailFolderId(quint64(query.value(0).toLongLong()));
        folder.m_path = query.value(1).toString();
        folder.m_displayName = query.value(2).toString();
        folder.m_parentFolderId = QMailFolderId(quint64(query.value(3).toLongLong()));
        folder.m_parentAccountId = QMailAccountId(quint64(query.value(4).toLongLong()));
        folder.m_status = quint64(query.value(5).toLongLong());
    } else {
        setError(QMailStore::InvalidId, QStringLiteral("No folder %1").arg(id.toULongLong()));
    }
    query.finish();
    return folder;
}

QMailMessageMetaData QMailStorePrivate::loadMetaData(const QString &where,
                                                     const QVariantList &values) const
{
    QMailMessageMetaData metaData;
    if (!checkReady())
        return metaData;
    QSqlQuery &query = prepared(QStringLiteral("SELECT ") + QLatin1String(MessageColumns)
                                + QStringLiteral(" FROM messages WHERE ") + where);
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec()) {
        sqlFailed(query, QStringLiteral("Loading message"));
        return metaData;
    }
    if (!query.next()) {
        query.finish();
        setError(QMailStore::InvalidId, QStringLiteral("No such message"));
        return metaData;
    }
    metaData.setId(QMailMessageId(quint64(query.value(0).toLongLong())));
    metaData.setParentFolderId(QMailFolderId(quint64(query.value(1).toLongLong())));
    metaData.setParentAccountId(QMailAccountId(quint64(query.value(2).toLongLong())));
    metaData.setStatus(quint64(query.value(3).toLongLong()));
    metaData.setSubject(query.value(4).toString());
    metaData.setFrom(decodeAddress(query.value(5).toString()));
    metaData.setTo(decodeAddresses(query.value(6).toString()));
    metaData.setDate(stampFrom(query.value(7), query.value(8)));
    metaData.setReceivedDate(stampFrom(query.value(9), query.value(10)));
    metaData.setServerUid(query.value(11).toString());
    metaData.setSize(uint(query.value(12).toLongLong()));
    metaData.setContent(QMailMessageMetaData::ContentType(query.value(13).toInt()));
    metaData.setInResponseTo(QMailMessageId(quint64(query.value(14).toLongLong())));
    metaData.setContentScheme(query.value(15).toString());
    metaData.setContentIdentifier(query.value(16).toString());
    query.finish();
    return metaData;
}

QString QMailStorePrivate::contentPath(const QString &identifier) const
{
    if (identifier.isEmpty())
        return QString();
    if (QDir::isAbsolutePath(identifier))
        return identifier;
    return directory + QLatin1Char('/') + identifier;
}

bool QMailStorePrivate::isOwnContent(const QMailMessageMetaData &metaData) const
{
    if (metaData.contentScheme() != QLatin1String(ContentScheme)
        || metaData.contentIdentifier().isEmpty())
        return false;
    // Never touch a file outside the store's own content folder, whatever a
    // writer put into the identifier.
    const QString path = QDir::cleanPath(contentPath(metaData.contentIdentifier()));
    return path.startsWith(contentDirectory + QLatin1Char('/'));
}

QMailMessage QMailStorePrivate::loadMessage(const QMailMessageId &id) const
{
    QMailMessage message;
    if (!id.isValid()) {
        checkReady();
        return message;
    }
    const QMailMessageMetaData metaData
        = loadMetaData(QStringLiteral("id = ?"), QVariantList() << qint64(id.toULongLong()));
    if (!metaData.id().isValid())
        return message;
    static_cast<QMailMessageMetaData &>(message) = metaData;
    if (metaData.contentScheme() == QLatin1String(ContentScheme)) {
        QFile file(contentPath(metaData.contentIdentifier()));
        if (file.open(QIODevice::ReadOnly)) {
            message.m_rfc2822 = file.readAll();
            message.parseContent(message.m_rfc2822, false);
        } else {
            // The metadata stays useful without its content.
            setError(QMailStore::ContentInaccessible,
                     QStringLiteral("Cannot read the content of message %1: %2")
                         .arg(id.toULongLong())
                         .arg(file.errorString()));
        }
    }
    return message;
}

// Writing

bool QMailStorePrivate::insertAccount(QMailAccount *account)
{
    QSqlQuery query(db);
    if (account->id().isValid()) {
        if (exists(QStringLiteral("accounts"), account->id().toULongLong())) {
            setError(QMailStore::ConstraintFailure,
                     QStringLiteral("Account %1 exists already").arg(account->id().toULongLong()));
            return false;
        }
        query.prepare(QStringLiteral(
            "INSERT INTO accounts (id, name, signature, fromaddress, fromname, status)"
            " VALUES (?, ?, ?, ?, ?, ?)"));
        query.addBindValue(qint64(account->id().toULongLong()));
    } else {
        query.prepare(
            QStringLiteral("INSERT INTO accounts (name, signature, fromaddress, fromname, status)"
                           " VALUES (?, ?, ?, ?, ?)"));
    }
    query.addBindValue(text(account->name()));
    query.addBindValue(text(account->signature()));
    query.addBindValue(text(account->fromAddress().address()));
    query.addBindValue(
        text(account->fromAddress().hasDisplayName() ? account->fromAddress().name() : QString()));
    query.addBindValue(qint64(account->status()));
    if (!query.exec())
        return sqlFailed(query, QStringLiteral("Adding an account"));
    if (!account->id().isValid())
        account->setId(QMailAccountId(quint64(query.lastInsertId().toLongLong())));
    return true;
}

bool QMailStorePrivate::saveStandardFolders(const QMailAccount &account)
{
    const qint64 id = qint64(account.id().toULongLong());
    if (!exec(QStringLiteral("DELETE FROM accountfolders WHERE accountid = ?"),
              QVariantList() << id))
        return false;
    const auto folders = account.standardFolders();
    for (auto it = folders.cbegin(); it != folders.cend(); ++it) {
        if (!it.value().isValid())
            continue;
        if (!exists(QStringLiteral("folders"), it.value().toULongLong())) {
            setError(QMailStore::ConstraintFailure,
                     QStringLiteral("The %1 folder %2 of account %3 does not exist")
                         .arg(QMailFolder::standardFolderName(it.key()))
                         .arg(it.value().toULongLong())
                         .arg(id));
            return false;
        }
        if (!exec(QStringLiteral(
                      "INSERT INTO accountfolders (accountid, kind, folderid) VALUES (?, ?, ?)"),
                  QVariantList() << id << int(it.key()) << qint64(it.value().toULongLong())))
            return false;
    }
    return true;
}

bool QMailStorePrivate::checkFolderParents(const QMailFolder &folder)
{
    if (folder.parentAccountId().isValid()
        && !exists(QStringLiteral("accounts"), folder.parentAccountId().toULongLong())) {
        setError(QMailStore::ConstraintFailure,
                 QStringLiteral("The parent account %1 does not exist")
                     .arg(folder.parentAccountId().toULongLong()));
        return false;
    }
    QMailFolderId parent = folder.parentFolderId();
    if (!parent.isValid())
        return true;
    if (!exists(QStringLiteral("folders"), parent.toULongLong())) {
        setError(QMailStore::ConstraintFailure,
                 QStringLiteral("The parent folder %1 does not exist").arg(parent.toULongLong()));
        return false;
    }
    // A folder may not end up inside itself.
    int guard = 0;
    while (parent.isValid() && guard++ < 10000) {
        if (folder.id().isValid() && parent == folder.id()) {
            setError(QMailStore::ConstraintFailure,
                     QStringLiteral("Folder %1 cannot be placed inside itself")
                         .arg(folder.id().toULongLong()));
            return false;
        }
        parent = loadFolder(parent).parentFolderId();
    }
    return true;
}

bool QMailStorePrivate::storeContent(QMailMessage *message)
{
    const quint64 id = message->id().toULongLong();
    // Consecutive messages share a folder of at most 1024 files: small
    // folders, and a bulk import creates its files side by side.
    const QString folder = contentDirectory + QLatin1Char('/') + QString::number(id / 1024, 16);
    if (!knownFolders.contains(folder)) {
        if (!QDir().mkpath(folder)) {
            setError(QMailStore::ContentInaccessible,
                     QStringLiteral("Cannot create %1").arg(folder));
            return false;
        }
        knownFolders.insert(folder);
    }
    // A fresh name for every version: a failed transaction can then delete
    // its own file without touching the version the store still points at.
    const QString path = folder + QLatin1Char('/') + QString::number(id) + QLatin1Char('.')
        + QString::number(QRandomGenerator::global()->generate(), 16)
        + QString::number(++fileCounter, 16);
    // Plain system calls: a bulk import creates thousands of these files and
    // QFile would add several status calls to each.
    const QByteArray nativePath = QFile::encodeName(path);
    const int fd = ::open(nativePath.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        setError(QMailStore::ContentInaccessible,
                 QStringLiteral("Cannot write %1: %2")
                     .arg(path, QString::fromLocal8Bit(strerror(errno))));
        return false;
    }
    pending.createdFiles.append(path);
    const QByteArray &data = message->m_rfc2822;
    qint64 written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + written, size_t(data.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const QString why = QString::fromLocal8Bit(strerror(errno));
            ::close(fd);
            setError(QMailStore::ContentInaccessible,
                     QStringLiteral("Cannot write %1: %2").arg(path, why));
            return false;
        }
        written += n;
    }
    if (::close(fd) != 0) {
        setError(QMailStore::ContentInaccessible,
                 QStringLiteral("Cannot write %1: %2")
                     .arg(path, QString::fromLocal8Bit(strerror(errno))));
        return false;
    }
    if (isOwnContent(*message))
        pending.obsoleteFiles.append(contentPath(message->contentIdentifier()));
    message->setContentScheme(QLatin1String(ContentScheme));
    message->setContentIdentifier(path);
    message->m_contentModified = false;
    return true;
}

namespace {

void bindMessage(QSqlQuery &query, const QMailMessageMetaData &m)
{
    query.addBindValue(qint64(m.parentFolderId().toULongLong()));
    query.addBindValue(qint64(m.parentAccountId().toULongLong()));
    query.addBindValue(qint64(m.status()));
    query.addBindValue(text(m.subject()));
    query.addBindValue(text(encodeAddress(m.from())));
    query.addBindValue(text(m.from().address()));
    query.addBindValue(text(encodeAddresses(m.to())));
    query.addBindValue(stampMSecs(m.date()));
    query.addBindValue(m.date().isValid() ? m.date().utcOffset() : 0);
    query.addBindValue(stampMSecs(m.receivedDate()));
    query.addBindValue(m.receivedDate().isValid() ? m.receivedDate().utcOffset() : 0);
    query.addBindValue(text(m.serverUid()));
    query.addBindValue(qint64(m.size()));
    query.addBindValue(int(m.content()));
    query.addBindValue(qint64(m.inResponseTo().toULongLong()));
    query.addBindValue(text(m.contentScheme()));
    query.addBindValue(text(m.contentIdentifier()));
}

} // namespace

bool QMailStorePrivate::insertMessage(QMailMessageMetaData *metaData, QMailMessage *message)
{
    if (metaData->parentFolderId().isValid()) {
        const QMailFolder folder = loadFolder(metaData->parentFolderId());
        if (!folder.id().isValid()) {
            setError(QMailStore::ConstraintFailure,
                     QStringLiteral("The folder %1 does not exist")
                         .arg(metaData->parentFolderId().toULongLong()));
            return false;
        }
        // A message filed in an account's folder belongs to that account.
        if (!metaData->parentAccountId().isValid())
            metaData->setParentAccountId(folder.parentAccountId());
    }
    if (metaData->parentAccountId().isValid()
        && !exists(QStringLiteral("accounts"), metaData->parentAccountId().toULongLong())) {
        setError(QMailStore::ConstraintFailure,
                 QStringLiteral("The account %1 does not exist")
                     .arg(metaData->parentAccountId().toULongLong()));
        return false;
    }
    const bool withContent = message && message->hasRfc2822Content();
    if (withContent && metaData->size() == 0)
        metaData->setSize(uint(message->m_rfc2822.size()));
    // A copy of another message's metadata must not share its content file.
    if (withContent || isOwnContent(*metaData)) {
        metaData->setContentScheme(QString());
        metaData->setContentIdentifier(QString());
    }
    QSqlQuery &query = prepared(QStringLiteral(
        "INSERT INTO messages (parentfolderid, parentaccountid, status, subject, sender, "
        "senderaddress,"
        " recipients, sent, sentoffset, received, receivedoffset, serveruid, size, content,"
        " inresponseto, contentscheme, contentidentifier)"
        " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    bindMessage(query, *metaData);
    if (!query.exec())
        return sqlFailed(query, QStringLiteral("Adding a message"));
    const QMailMessageId id(quint64(query.lastInsertId().toLongLong()));
    query.finish();
    metaData->setId(id);
    if (withContent) {
        if (!storeContent(message))
            return false;
        message->stampPartLocations();
        if (!exec(QStringLiteral(
                      "UPDATE messages SET contentscheme = ?, contentidentifier = ? WHERE id = ?"),
                  QVariantList() << text(message->contentScheme())
                                 << text(message->contentIdentifier()) << qint64(id.toULongLong())))
            return false;
    }
    pending.messagesAdded.append(id);
    return true;
}

bool QMailStorePrivate::saveMessage(QMailMessageMetaData *metaData, QMailMessage *message)
{
    if (!checkUpdatable(QStringLiteral("messages"), metaData->id().toULongLong(), "message"))
        return false;
    if (metaData->parentFolderId().isValid()
        && !exists(QStringLiteral("folders"), metaData->parentFolderId().toULongLong())) {
        setError(QMailStore::ConstraintFailure,
                 QStringLiteral("The folder %1 does not exist")
                     .arg(metaData->parentFolderId().toULongLong()));
        return false;
    }
    if (metaData->parentAccountId().isValid()
        && !exists(QStringLiteral("accounts"), metaData->parentAccountId().toULongLong())) {
        setError(QMailStore::ConstraintFailure,
                 QStringLiteral("The account %1 does not exist")
                     .arg(metaData->parentAccountId().toULongLong()));
        return false;
    }
    if (message && message->m_contentModified && message->hasRfc2822Content()) {
        // Keep the old file's name for removal after the commit.
        const QMailMessageMetaData stored = loadMetaData(
            QStringLiteral("id = ?"), QVariantList() << qint64(metaData->id().toULongLong()));
        message->setContentScheme(stored.contentScheme());
        message->setContentIdentifier(stored.contentIdentifier());
        if (!storeContent(message))
            return false;
        message->stampPartLocations();
    }
    QSqlQuery &query
        = prepared(QStringLiteral("UPDATE messages SET parentfolderid = ?, parentaccountid = ?, "
                                  "status = ?, subject = ?, sender = ?,"
                                  " senderaddress = ?, recipients = ?, sent = ?, sentoffset = ?, "
                                  "received = ?, receivedoffset = ?,"
                                  " serveruid = ?, size = ?, content = ?, inresponseto = ?, "
                                  "contentscheme = ?, contentidentifier = ?"
                                  " WHERE id = ?"));
    bindMessage(query, *metaData);
    query.addBindValue(qint64(metaData->id().toULongLong()));
    if (!query.exec())
        return sqlFailed(query, QStringLiteral("Updating a message"));
    query.finish();
    pending.messagesUpdated.append(metaData->id());
    return true;
}

bool QMailStorePrivate::deleteMessages(const QList<quint64> &ids)
{
    if (ids.isEmpty())
        return true;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(
            QStringLiteral("SELECT id, contentscheme, contentidentifier FROM messages WHERE id IN ")
            + idList(ids)))
        return sqlFailed(query, QStringLiteral("Removing messages"));
    QList<quint64> found;
    while (query.next()) {
        found.append(quint64(query.value(0).toLongLong()));
        QMailMessageMetaData metaData;
        metaData.setContentScheme(query.value(1).toString());
        metaData.setContentIdentifier(query.value(2).toString());
        if (isOwnContent(metaData))
            pending.obsoleteFiles.append(contentPath(metaData.contentIdentifier()));
    }
    query.finish();
    if (found.isEmpty())
        return true;
    if (!exec(QStringLiteral("DELETE FROM messages WHERE id IN ") + idList(found)))
        return false;
    // Replies keep pointing at nothing rather than at a reused id.
    if (!exec(QStringLiteral("UPDATE messages SET inresponseto = 0 WHERE inresponseto IN ")
              + idList(found)))
        return false;
    pending.messagesRemoved += toIds<QMailMessageId>(found);
    return true;
}

bool QMailStorePrivate::deleteFolders(const QList<quint64> &roots)
{
    if (roots.isEmpty())
        return true;
    // Collect the folders with everything below them.
    QList<quint64> all;
    QSet<quint64> seen;
    QList<quint64> level = roots;
    const QString what = QStringLiteral("Removing folders");
    while (!level.isEmpty()) {
        for (quint64 id : level) {
            if (!seen.contains(id)) {
                seen.insert(id);
                all.append(id);
            }
        }
        QList<quint64> children;
        if (!selectIds(QStringLiteral("SELECT id FROM folders WHERE parentfolderid IN ")
                           + idList(level),
                       &children, what))
            return false;
        level.clear();
        for (quint64 child : qAsConst(children)) {
            if (!seen.contains(child))
                level.append(child);
        }
    }
    QList<quint64> existing;
    if (!selectIds(QStringLiteral("SELECT id FROM folders WHERE id IN ") + idList(all), &existing,
                   what))
        return false;
    if (existing.isEmpty())
        return true;
    const QString folders = idList(existing);
    QList<quint64> messages;
    if (!selectIds(QStringLiteral("SELECT id FROM messages WHERE parentfolderid IN ") + folders,
                   &messages, what)
        || !deleteMessages(messages))
        return false;
    // Accounts that used a removed folder for a role lose that role.
    QList<quint64> accounts;
    if (!selectIds(
            QStringLiteral("SELECT DISTINCT accountid FROM accountfolders WHERE folderid IN ")
                + folders,
            &accounts, what))
        return false;
    pending.accountsUpdated += toIds<QMailAccountId>(accounts);
    if (!exec(QStringLiteral("DELETE FROM accountfolders WHERE folderid IN ") + folders))
        return false;
    if (!exec(QStringLiteral("DELETE FROM folders WHERE id IN ") + folders))
        return false;
    pending.foldersRemoved += toIds<QMailFolderId>(existing);
    return true;
}

bool QMailStorePrivate::deleteAccounts(const QList<quint64> &ids)
{
    if (ids.isEmpty())
        return true;
    const QString accounts = idList(ids);
    const QString what = QStringLiteral("Removing accounts");
    QList<quint64> folders;
    QList<quint64> messages;
    if (!selectIds(QStringLiteral("SELECT id FROM folders WHERE parentaccountid IN ") + accounts,
                   &folders, what)
        || !selectIds(QStringLiteral("SELECT id FROM messages WHERE parentaccountid IN ")
                          + accounts,
                      &messages, what)
        || !deleteMessages(messages) || !deleteFolders(folders))
        return false;
    if (!exec(QStringLiteral("DELETE FROM accountfolders WHERE accountid IN ") + accounts))
        return false;
    if (!exec(QStringLiteral("DELETE FROM accounts WHERE id IN ") + accounts))
        return false;
    const QMailAccountIdList removed = toIds<QMailAccountId>(ids);
    pending.accountsRemoved += removed;
    // A removed account is not also "updated" by the loss of its folders.
    for (const QMailAccountId &id : removed)
        pending.accountsUpdated.removeAll(id);
    return true;
}

namespace {

// Writes every message of the list in one operation. The writer works on
// copies, which go back to the caller only when the whole operation has
// succeeded: a failed operation leaves the caller's objects as they were.
template<typename Message, typename Write>
bool writeCopies(QMailStorePrivate *d, const QList<Message *> &messages, const QString &missing,
                 Write write)
{
    QList<Message> copies;
    copies.reserve(messages.size());
    for (Message *message : messages) {
        if (!message) {
            d->setError(QMailStore::InvalidId, missing);
            return false;
        }
        copies.append(*message);
    }
    const bool ok = d->write([&] {
        for (Message &copy : copies) {
            if (!write(&copy))
                return false;
        }
        return true;
    });
    if (ok) {
        for (int i = 0; i < messages.size(); ++i)
            *messages[i] = copies.at(i);
    }
    return ok;
}

} // namespace

bool QMailStorePrivate::removeSelected(const QString &table, const QMailKeyNode &key, int kind,
                                       bool (QMailStorePrivate::*remove)(const QList<quint64> &))
{
    return write([&] {
        const QList<quint64> ids = selectIds(table, key, QMailSortList(), 0, 0, kind);
        return error == QMailStore::NoError && (this->*remove)(ids);
    });
}

// The public class

QMailStore::QMailStore()
    : d(new QMailStorePrivate(this))
{
    if (!d->open())
        qWarning().noquote() << "QMailStore:" << d->errorText;
}

QMailStore::~QMailStore()
{
    delete d;
}

QMailStore *QMailStore::instance()
{
    if (!storeInstance) {
        storeInstance = new QMailStore;
        // Close the database while Qt is still fully there.
        qAddPostRoutine(destroyStore);
    }
    return storeInstance;
}

QMailStore::InitializationState QMailStore::initializationState()
{
    return storeInstance ? storeInstance->d->state : Uninitialized;
}

QMailStore::ErrorCode QMailStore::lastError() const
{
    return d->error;
}

QString QMailStore::lastErrorText() const
{
    return d->errorText;
}

QString QMailStore::storagePath() const
{
    return d->directory;
}

QString QMailStore::databasePath() const
{
    return d->databaseFile;
}

bool QMailStore::addAccount(QMailAccount *account)
{
    if (!account) {
        d->setError(InvalidId, QStringLiteral("No account to add"));
        return false;
    }
    QMailAccount copy(*account);
    const bool ok = d->write([&] {
        if (!d->insertAccount(&copy) || !d->saveStandardFolders(copy))
            return false;
        d->pending.accountsAdded.append(copy.id());
        return true;
    });
    if (ok)
        *account = copy;
    return ok;
}

bool QMailStore::updateAccount(QMailAccount *account)
{
    if (!account) {
        d->setError(InvalidId, QStringLiteral("No account to update"));
        return false;
    }
    return d->write([&] {
        if (!d->checkUpdatable(QStringLiteral("accounts"), account->id().toULongLong(), "account"))
            return false;
        if (!d->exec(
                QStringLiteral(
                    "UPDATE accounts SET name = ?, signature = ?, fromaddress = ?, fromname = ?,"
                    " status = ? WHERE id = ?"),
                QVariantList() << text(account->name()) << text(account->signature())
                               << text(account->fromAddress().address())
                               << text(account->fromAddress().hasDisplayName()
                                           ? account->fromAddress().name()
                                           : QString())
                               << qint64(account->status()) << qint64(account->id().toULongLong())))
            return false;
        if (!d->saveStandardFolders(*account))
            return false;
        d->pending.accountsUpdated.append(account->id());
        return true;
    });
}

bool QMailStore::removeAccount(const QMailAccountId &id)
{
    return removeAccounts(QMailAccountKey::id(id));
}

bool QMailStore::removeAccounts(const QMailAccountKey &key)
{
    return d->removeSelected(QStringLiteral("accounts"), key.node(), AccountKind,
                             &QMailStorePrivate::deleteAccounts);
}

bool QMailStore::addFolder(QMailFolder *folder)
{
    if (!folder) {
        d->setError(InvalidId, QStringLiteral("No folder to add"));
        return false;
    }
    QMailFolder copy(*folder);
    copy.setId(QMailFolderId());
    const bool ok = d->write([&] {
        if (!d->checkFolderParents(copy))
            return false;
        QSqlQuery query(d->db);
        query.prepare(QStringLiteral(
            "INSERT INTO folders (path, displayname, parentfolderid, parentaccountid, status)"
            " VALUES (?, ?, ?, ?, ?)"));
        query.addBindValue(text(copy.m_path));
        query.addBindValue(text(copy.m_displayName));
        query.addBindValue(qint64(copy.parentFolderId().toULongLong()));
        query.addBindValue(qint64(copy.parentAccountId().toULongLong()));
        query.addBindValue(qint64(copy.status()));
        if (!query.exec())
            return d->sqlFailed(query, QStringLiteral("Adding a folder"));
        copy.setId(QMailFolderId(quint64(query.lastInsertId().toLongLong())));
        d->pending.foldersAdded.append(copy.id());
        return true;
    });
    if (ok)
        *folder = copy;
    return ok;
}

bool QMailStore::updateFolder(QMailFolder *folder)
{
    if (!folder) {
        d->setError(InvalidId, QStringLiteral("No folder to update"));
        return false;
    }
    return d->write([&] {
        if (!d->checkUpdatable(QStringLiteral("folders"), folder->id().toULongLong(), "folder"))
            return false;
        if (!d->checkFolderParents(*folder))
            return false;
        if (!d->exec(
                QStringLiteral("UPDATE folders SET path = ?, displayname = ?, parentfolderid = ?,"
                               " parentaccountid = ?, status = ? WHERE id = ?"),
                QVariantList() << text(folder->m_path) << text(folder->m_displayName)
                               << qint64(folder->parentFolderId().toULongLong())
                               << qint64(folder->parentAccountId().toULongLong())
                               << qint64(folder->status()) << qint64(folder->id().toULongLong())))
            return false;
        d->pending.foldersUpdated.append(folder->id());
        return true;
    });
}

bool QMailStore::removeFolder(const QMailFolderId &id)
{
    return removeFolders(QMailFolderKey::id(id));
}

bool QMailStore::removeFolders(const QMailFolderKey &key)
{
    return d->removeSelected(QStringLiteral("folders"), key.node(), FolderKind,
                             &QMailStorePrivate::deleteFolders);
}

bool QMailStore::addMessage(QMailMessage *message)
{
    return addMessages(QList<QMailMessage *>() << message);
}

bool QMailStore::addMessage(QMailMessageMetaData *metaData)
{
    return addMessages(QList<QMailMessageMetaData *>() << metaData);
}

bool QMailStore::addMessages(const QList<QMailMessage *> &messages)
{
    return writeCopies(d, messages, QStringLiteral("No message to add"),
                       [this](QMailMessage *copy) {
                           copy->setId(QMailMessageId());
                           return d->insertMessage(copy, copy);
                       });
}

bool QMailStore::addMessages(const QList<QMailMessageMetaData *> &messages)
{
    return writeCopies(d, messages, QStringLiteral("No message to add"),
                       [this](QMailMessageMetaData *copy) {
                           copy->setId(QMailMessageId());
                           return d->insertMessage(copy, nullptr);
                       });
}

bool QMailStore::updateMessage(QMailMessage *message)
{
    return updateMessages(QList<QMailMessage *>() << message);
}

bool QMailStore::updateMessage(QMailMessageMetaData *metaData)
{
    return updateMessages(QList<QMailMessageMetaData *>() << metaData);
}

bool QMailStore::updateMessages(const QList<QMailMessage *> &messages)
{
    return writeCopies(d, messages, QStringLiteral("No message to update"),
                       [this](QMailMessage *copy) { return d->saveMessage(copy, copy); });
}

bool QMailStore::updateMessages(const QList<QMailMessageMetaData *> &messages)
{
    return writeCopies(
        d, messages, QStringLiteral("No message to update"),
        [this](QMailMessageMetaData *copy) { return d->saveMessage(copy, nullptr); });
}

bool QMailStore::updateMessagesMetaData(const QMailMessageKey &key, quint64 status, bool set)
{
    return d->write([&] {
        const QList<quint64> ids = d->selectIds(QStringLiteral("messages"), key.node(),
                                                QMailSortList(), 0, 0, MessageKind);
        if (d->error != NoError)
            return false;
        if (ids.isEmpty())
            return true;
        const QString sql = set
            ? QStringLiteral("UPDATE messages SET status = (status | ?) WHERE id IN ")
            : QStringLiteral("UPDATE messages SET status = (status & ~?) WHERE id IN ");
        if (!d->exec(sql + idList(ids), QVariantList() << qint64(status)))
            return false;
        d->pending.messagesUpdated += toIds<QMailMessageId>(ids);
        return true;
    });
}

bool QMailStore::moveMessages(const QMailMessageKey &key, const QMailFolderId &folderId)
{
    return d->write([&] {
        const QMailFolder target = d->loadFolder(folderId);
        if (!target.id().isValid()) {
            d->setError(
                InvalidId,
                QStringLiteral("No folder %1 to move messages to").arg(folderId.toULongLong()));
            return false;
        }
        const QList<quint64> ids = d->selectIds(QStringLiteral("messages"), key.node(),
                                                QMailSortList(), 0, 0, MessageKind);
        if (d->error != NoError)
            return false;
        if (ids.isEmpty())
            return true;
        QString sql = QStringLiteral("UPDATE messages SET parentfolderid = ?");
        QVariantList values;
        values << qint64(folderId.toULongLong());
        if (target.parentAccountId().isValid()) {
            sql += QStringLiteral(", parentaccountid = ?");
            values << qint64(target.parentAccountId().toULongLong());
        }
        if (!d->exec(sql + QStringLiteral(" WHERE id IN ") + idList(ids), values))
            return false;
        d->pending.messagesUpdated += toIds<QMailMessageId>(ids);
        return true;
    });
}

bool QMailStore::removeMessage(const QMailMessageId &id)
{
    return removeMessages(QMailMessageKey::id(id));
}

bool QMailStore::removeMessages(const QMailMessageKey &key)
{
    return d->removeSelected(QStringLiteral("messages"), key.node(), MessageKind,
                             &QMailStorePrivate::deleteMessages);
}

bool QMailStore::startTransaction()
{
    if (!d->checkReady())
        return false;
    if (d->userTransaction) {
        d->setError(FrameworkFault, QStringLiteral("A transaction is already open"));
        return false;
    }
    if (!d->begin())
        return false;
    d->userTransaction = true;
    return true;
}

bool QMailStore::commitTransaction()
{
    if (!d->userTransaction) {
        d->setError(FrameworkFault, QStringLiteral("No transaction is open"));
        return false;
    }
    d->userTransaction = false;
    d->clearError();
    return d->commit();
}

void QMailStore::rollbackTransaction()
{
    if (d->userTransaction)
        d->rollback();
}

bool QMailStore::inTransaction() const
{
    return d->userTransaction;
}

int QMailStore::countAccounts(const QMailAccountKey &key) const
{
    return d->count(QStringLiteral("accounts"), key.node(), AccountKind);
}

int QMailStore::countFolders(const QMailFolderKey &key) const
{
    return d->count(QStringLiteral("folders"), key.node(), FolderKind);
}

int QMailStore::countMessages(const QMailMessageKey &key) const
{
    return d->count(QStringLiteral("messages"), key.node(), MessageKind);
}

QMailAccountIdList QMailStore::queryAccounts(const QMailAccountKey &key,
                                             const QMailAccountSortKey &sortKey, uint limit) const
{
    return toIds<QMailAccountId>(d->selectIds(QStringLiteral("accounts"), key.node(),
                                              sortKey.list(), limit, 0, AccountKind));
}

QMailFolderIdList QMailStore::queryFolders(const QMailFolderKey &key,
                                           const QMailFolderSortKey &sortKey, uint limit) const
{
    return toIds<QMailFolderId>(
        d->selectIds(QStringLiteral("folders"), key.node(), sortKey.list(), limit, 0, FolderKind));
}

QMailMessageIdList QMailStore::queryMessages(const QMailMessageKey &key,
                                             const QMailMessageSortKey &sortKey, uint limit,
                                             uint offset) const
{
    return toIds<QMailMessageId>(d->selectIds(QStringLiteral("messages"), key.node(),
                                              sortKey.list(), limit, offset, MessageKind));
}

QMailAccount QMailStore::account(const QMailAccountId &id) const
{
    return d->loadAccount(id);
}

QMailFolder QMailStore::folder(const QMailFolderId &id) const
{
    return d->loadFolder(id);
}

QMailMessage QMailStore::message(const QMailMessageId &id) const
{
    return d->loadMessage(id);
}

QMailMessageMetaData QMailStore::messageMetaData(const QMailMessageId &id) const
{
    if (!id.isValid()) {
        d->checkReady();
        return QMailMessageMetaData();
    }
    return d->loadMetaData(QStringLiteral("id = ?"), QVariantList() << qint64(id.toULongLong()));
}

QMailMessageMetaData QMailStore::messageMetaData(const QString &serverUid,
                                                 const QMailAccountId &accountId) const
{
    return d->loadMetaData(
        QStringLiteral("parentaccountid = ? AND serveruid = ? ORDER BY id LIMIT 1"),
        QVariantList() << qint64(accountId.toULongLong()) << serverUid);
}

void QMailStore::flushIpcNotifications()
{
    d->flush();
}
