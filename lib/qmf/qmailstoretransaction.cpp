// Transactions: every store operation is one, or a savepoint inside the
// caller's; the changes it makes are collected and announced at the commit.
#include "qmailstore_p.h"

#include <QFile>
#include <QSqlError>

#include <fcntl.h>
#include <unistd.h>

namespace {

// SQLite's own words ("database is locked"); QSqlError::text() appends the
// driver's ("Unable to fetch row"), which say nothing more.
QString describe(const QSqlError &error)
{
    const QString text = error.databaseText();
    return text.isEmpty() ? error.text() : text;
}

// SQLITE_CORRUPT and SQLITE_NOTADB: the file is damaged, not the statement.
bool isDamage(const QSqlError &error)
{
    const QString code = error.nativeErrorCode();
    return code == QLatin1String("11") || code == QLatin1String("26");
}

} // namespace

// The changes of a transaction

void QMailStoreChanges::forget(QMailStoreChangeKind kind, const QList<quint64> &ids)
{
    for (quint64 id : ids)
        m_ids[kind].removeAll(id);
}

QList<quint64> QMailStoreChanges::distinct(QMailStoreChangeKind kind) const
{
    QList<quint64> values;
    QSet<quint64> seen;
    values.reserve(m_ids[kind].size());
    for (quint64 value : m_ids[kind]) {
        if (!seen.contains(value)) {
            seen.insert(value);
            values.append(value);
        }
    }
    return values;
}

void QMailStoreChanges::stage(const QString &staged, const QString &final)
{
    m_staged.append(qMakePair(staged, final));
}

QString QMailStoreChanges::stagedPath(const QString &final) const
{
    for (const auto &file : m_staged) {
        if (file.second == final)
            return file.first;
    }
    return QString();
}

QMailStoreChanges::Mark QMailStoreChanges::mark() const
{
    Mark mark;
    for (int kind = 0; kind < ChangeKindCount; ++kind)
        mark.sizes[kind] = m_ids[kind].size();
    mark.sizes[ChangeKindCount] = m_staged.size();
    mark.sizes[ChangeKindCount + 1] = m_obsoleteFiles.size();
    return mark;
}

void QMailStoreChanges::restore(const Mark &mark)
{
    for (int kind = 0; kind < ChangeKindCount; ++kind)
        m_ids[kind].erase(m_ids[kind].begin() + mark.sizes[kind], m_ids[kind].end());
    for (int i = mark.sizes[ChangeKindCount]; i < m_staged.size(); ++i)
        QFile::remove(m_staged.at(i).first);
    m_staged.erase(m_staged.begin() + mark.sizes[ChangeKindCount], m_staged.end());
    m_obsoleteFiles.erase(m_obsoleteFiles.begin() + mark.sizes[ChangeKindCount + 1],
                          m_obsoleteFiles.end());
}

void QMailStoreChanges::discard()
{
    for (const auto &file : qAsConst(m_staged))
        QFile::remove(file.first);
    *this = QMailStoreChanges();
}

// Errors and statements

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

QString QMailStorePrivate::damaged(const QString &reason) const
{
    return QStringLiteral("The mail store %1 is damaged: %2").arg(databaseFile, reason);
}

bool QMailStorePrivate::sqlFailed(const QSqlQuery &query, const QString &what) const
{
    const QSqlError sqlError = query.lastError();
    if (isDamage(sqlError))
        setError(QMailStore::StorageInaccessible, damaged(describe(sqlError)));
    else
        setError(QMailStore::FrameworkFault,
                 QStringLiteral("%1 failed: %2").arg(what, describe(sqlError)));
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

bool QMailStorePrivate::execKept(const QString &sql, const QVariantList &values) const
{
    QSqlQuery &query = prepared(sql);
    for (const QVariant &value : values)
        query.addBindValue(value);
    const bool ok = query.exec();
    if (!ok)
        sqlFailed(query, sql);
    // Reset at once: a kept statement must hold no lock or open read.
    query.finish();
    return ok;
}

// Transactions

bool QMailStorePrivate::begin()
{
    QSqlQuery query(db);
    // Take the write lock at once: a deferred transaction that upgrades later
    // could fail with "database is locked" despite the busy timeout.
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        setError(QMailStore::StorageInaccessible,
                 isDamage(query.lastError()) ? damaged(describe(query.lastError()))
                                             : QStringLiteral("Cannot lock the mail store: %1")
                                                   .arg(describe(query.lastError())));
        return false;
    }
    return true;
}

bool QMailStorePrivate::commit()
{
    // Content files must be on disk before the rows that point at them.
    if (!linkStagedContent()) {
        const QString text = errorText;
        unlinkPlacedContent();
        rollback();
        setError(QMailStore::ContentInaccessible, text);
        return false;
    }
    if (!pending.stagedFiles().isEmpty()) {
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
        const bool broken = isDamage(query.lastError());
        unlinkPlacedContent();
        rollback();
        setError(QMailStore::StorageInaccessible,
                 broken ? damaged(why)
                        : QStringLiteral("Cannot commit to the mail store: %1").arg(why));
        return false;
    }
    QMailStoreChanges changes;
    std::swap(changes, pending);
    keepContent(changes);
    announce(changes);
    return true;
}

void QMailStorePrivate::rollback()
{
    QSqlQuery query(db);
    query.exec(QStringLiteral("ROLLBACK"));
    pending.discard();
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
    const QMailStoreChanges::Mark mark = pending.mark();
    if (!execKept(QStringLiteral("SAVEPOINT operation")))
        return false;
    if (!operation()) {
        const QMailStore::ErrorCode code = error;
        const QString text = errorText;
        execKept(QStringLiteral("ROLLBACK TO operation"));
        execKept(QStringLiteral("RELEASE operation"));
        pending.restore(mark);
        setError(code, text);
        return false;
    }
    return execKept(QStringLiteral("RELEASE operation"));
}
