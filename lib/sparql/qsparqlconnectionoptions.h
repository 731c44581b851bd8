#ifndef SPARQL_QSPARQLCONNECTIONOPTIONS_H
#define SPARQL_QSPARQLCONNECTIONOPTIONS_H

#include <QMap>
#include <QString>
#include <QVariant>

// Settings of a connection, by name. An option that is not set takes the
// driver's default.
//
// Options of the "QTRACKER_DIRECT" driver:
//   "dataPath"     folder of the Tracker database, created when missing
//                  (default: none, the database lives in memory for as long
//                  as the connection)
//   "ontologyPath" folder of the *.ontology files to load (default: the
//                  Nepomuk modules that come with Tracker)
//   "busName"      well-known session-bus name under which the database is
//                  published as a Tracker endpoint (default and empty: not
//                  published)
//   "finishOnClose" whether a connection being destroyed carries out what it
//                  was handed first (default true). False: it returns at
//                  once, drops what the store has not begun, and leaves the
//                  statement in progress to end with the process, where the
//                  store rolls it back; for a program that ends now and
//                  sends again next time what the store did not confirm.
class QSparqlConnectionOptions
{
public:
    QSparqlConnectionOptions() = default;

    void setOption(const QString &name, const QVariant &value);
    QVariant option(const QString &name) const;
    bool hasOption(const QString &name) const;

    void setDataPath(const QString &path);
    QString dataPath() const;
    void setOntologyPath(const QString &path);
    QString ontologyPath() const;
    void setBusName(const QString &name);
    QString busName() const;

private:
    QMap<QString, QVariant> m_options;
};

#endif // SPARQL_QSPARQLCONNECTIONOPTIONS_H
