#ifndef MIRRORRECORD_H
#define MIRRORRECORD_H

#include <QHash>
#include <QList>
#include <QPair>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariantList>

// The mirror's record: what Tracker has confirmed, per object its change
// stamp at the time it was read, and the identity of the store it came
// from. Kept in a small SQLite file beside the Tracker database. Before a
// batch goes to Tracker its objects are written as unconfirmed (a stamp no
// store gives), and their true stamps once Tracker confirms it: Tracker may
// write a batch whose answer never comes back (a stop, a crash), and an
// object it may hold must never be missing from the record, or its removal
// while the daemon is down would be missed. At the next start an
// unconfirmed object reads as changed, and as removed when the store no
// longer holds it. If the file cannot be used the record lives in memory:
// the mirror works, and the next start sends everything again.
class MirrorRecord
{
public:
    explicit MirrorRecord(const QString &path);
    ~MirrorRecord();

    // Forgets everything, for a store made anew; written with the first
    // confirmation that follows.
    void forget();

    void begin(const QString &newStoreIdentity);
    // The objects of a batch about to be sent.
    void markUnconfirmed(const QList<QPair<int, quint64>> &objects);
    void set(int kind, quint64 id, quint64 stamp, bool present);
    void commit();

    // Written as a signed integer: -1, never a store's change stamp.
    static const quint64 unconfirmed = ~quint64(0);

    QString storeIdentity;
    QHash<quint64, quint64> stamps[3];

private:
    void exec(const QString &sql, const QVariantList &values);
    void run(QSqlQuery &query, const QVariantList &values);

    QString connectionName;
    QSqlDatabase db;
    // Prepared once: every batch writes each of its objects twice.
    QSqlQuery replaceRow;
    QSqlQuery deleteRow;
};

#endif // MIRRORRECORD_H
