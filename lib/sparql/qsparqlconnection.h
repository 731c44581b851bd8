#ifndef QSPARQLCONNECTION_H
#define QSPARQLCONNECTION_H

#include "qsparqlconnectionoptions.h"
#include "qsparqlquery.h"
#include "qsparqlresult.h"

#include <QObject>
#include <QStringList>

class QSparqlConnectionPrivate;

// A connection to an RDF store. The one driver, "QTRACKER_DIRECT", opens a
// Tracker 3 database of this process (see QSparqlConnectionOptions for where)
// and publishes it on the session bus as a Tracker endpoint, so that any
// Tracker client can read it:
//   tracker3 sparql --dbus-service com.brenmor.Postvane.Tracker -q '...'
//
// Statements run asynchronously, one after another in the order of exec()
// calls, on a thread of the connection: exec() returns at once and the result
// emits finished() from the event loop, which never waits for the store. An
// update without any operation (empty text) succeeds and changes nothing.
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

#endif // QSPARQLCONNECTION_H
