#include "mirrorrecord.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QtDebug>

MirrorRecord::MirrorRecord(const QString &path)
    : connectionName(QStringLiteral("postvane-mirror-%1").arg(quintptr(this)))
{
    QDir().mkpath(QFileInfo(path).path());
    db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
    db.setDatabaseName(path);
    QSqlQuery query(db);
    if (!db.open()
        || !query.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS mirrored (kind INTEGER, id "
                                      "INTEGER, stamp INTEGER, PRIMARY KEY (kind, id))"))
        || !query.exec(
            QStringLiteral("CREATE TABLE IF NOT EXISTS info (name TEXT PRIMARY KEY, value TEXT)"))
        || !query.exec(QStringLiteral("SELECT kind, id, stamp FROM mirrored"))) {
        qWarning() << "TrackerIndexer: cannot keep the mirror's record in" << path
                   << (query.lastError().isValid() ? query.lastError().text()
                                                   : db.lastError().text());
        db.close();
        return;
    }
    while (query.next()) {
        const int kind = query.value(0).toInt();
        if (kind >= 0 && kind < 3) {
            stamps[kind].insert(quint64(query.value(1).toLongLong()),
                                quint64(query.value(2).toLongLong()));
        }
    }
    query.exec(QStringLiteral("SELECT value FROM info WHERE name = 'store'"));
    storeIdentity = query.next() ? query.value(0).toString() : QString();
    query.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
    query.exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    replaceRow = QSqlQuery(db);
    replaceRow.prepare(QStringLiteral("REPLACE INTO mirrored VALUES (?, ?, ?)"));
    deleteRow = QSqlQuery(db);
    deleteRow.prepare(QStringLiteral("DELETE FROM mirrored WHERE kind = ? AND id = ?"));
}

MirrorRecord::~MirrorRecord()
{
    replaceRow = QSqlQuery();
    deleteRow = QSqlQuery();
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(connectionName);
}

void MirrorRecord::forget()
{
    stamps[0].clear(), stamps[1].clear(), stamps[2].clear();
}

void MirrorRecord::begin(const QString &newStoreIdentity)
{
    if (db.isOpen()) {
        db.transaction();
    }
    if (!newStoreIdentity.isNull()) {
        storeIdentity = newStoreIdentity;
        exec(QStringLiteral("DELETE FROM mirrored"), {});
        exec(QStringLiteral("REPLACE INTO info VALUES ('store', ?)"), { storeIdentity });
    }
}

void MirrorRecord::markUnconfirmed(const QList<QPair<int, quint64>> &objects)
{
    begin(QString());
    for (const auto &object : objects) {
        set(object.first, object.second, unconfirmed, true);
    }
    commit();
}

void MirrorRecord::set(int kind, quint64 id, quint64 stamp, bool present)
{
    if (present) {
        stamps[kind].insert(id, stamp);
        run(replaceRow, { kind, qint64(id), qint64(stamp) });
    } else {
        stamps[kind].remove(id);
        run(deleteRow, { kind, qint64(id) });
    }
}

void MirrorRecord::commit()
{
    if (db.isOpen()) {
        db.commit();
    }
}

void MirrorRecord::exec(const QString &sql, const QVariantList &values)
{
    if (!db.isOpen()) {
        return;
    }
    QSqlQuery query(db);
    query.prepare(sql);
    run(query, values);
}

void MirrorRecord::run(QSqlQuery &query, const QVariantList &values)
{
    if (!db.isOpen()) {
        return;
    }
    for (int i = 0; i < values.size(); ++i) {
        query.bindValue(i, values.at(i));
    }
    query.exec();
}
