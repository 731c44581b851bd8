#ifndef SPARQL_QSPARQLCONNECTION_H
#define SPARQL_QSPARQLCONNECTION_H

#include "qsparqlconnectionoptions.h"
#include "qsparqlquery.h"
#include "qsparqlresult.h"

#include <QObject>
#include <QStringList>

class QSparqlConnectionPrivate;

// A connection to an RDF store. The one driver, "QTRACKER_DIRECT", opens a
// Tracker 3 database of this process (see QSparqlConnectionOptions for where)
// and, when asked to, publishes it on the session bus as a Tracker endpoint,
// so that any Tracker client can read it:
//   tracker3 sparql --dbus-service <bus name> -q '...'
//
// Threading: a connection and its results belong to the thread that created
// the connection (in a program with one thread, the main thread), and are used
// from that thread only. Each connection runs Tracker's synchronous calls,
// updates and reads, on one worker thread of its own, one statement after
// another in the order of exec() calls: exec() returns at once, the event loop
// never waits for the store, and every result emits finished() on the
// connection's thread from its event loop. Nothing of the worker thread shows
// outside this class. (Tracker's own asynchronous calls dropped queued updates
// when a connection closed, hence the worker.)
//
// An update without any operation (empty text) succeeds and changes nothing.
class QSparqlConnection : public QObject
{
    Q_OBJECT
public:
    explicit QSparqlConnection(QObject *parent = nullptr);
    QSparqlConnection(const QString &type,
                      const QSparqlConnectionOptions &options = QSparqlConnectionOptions(),
                      QObject *parent = nullptr);
    // Carries out every statement already handed over, so that nothing sent is
    // lost (this waits for the store); their results do not emit finished().
    ~QSparqlConnection() override;

    // False when the driver is unknown or the database could not be opened.
    bool isValid() const;
    QString driverName() const;
    // Why the connection is not valid; empty when it is.
    QString errorString() const;
    // The bus name under which the database is published; empty when it is not
    // (not asked for, no session bus, or the name is taken).
    QString publishedBusName() const;

    // Never null. On an invalid connection the result finishes with an error.
    QSparqlResult *exec(const QSparqlQuery &query);

    static QStringList drivers();

private:
    QSparqlConnectionPrivate *d;
};

#endif // SPARQL_QSPARQLCONNECTION_H
