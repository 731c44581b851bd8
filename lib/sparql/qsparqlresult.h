#ifndef SPARQL_QSPARQLRESULT_H
#define SPARQL_QSPARQLRESULT_H

#include "qsparqlerror.h"

#include <QObject>
#include <QStringList>
#include <QVariant>
#include <QVector>

class QSparqlConnection;

// The outcome of one QSparqlConnection::exec(). It is created unfinished and
// emits finished() once, from the event loop of its connection's thread, when
// the store has answered; then hasError() and lastError() tell whether the
// statement was carried out, and a read's rows can be walked with next() and
// value().
//
// The result belongs to the caller (delete it, or deleteLater() inside a slot
// connected to finished()); it is also a child of its connection, so results
// never outlive the connection that made them.
class QSparqlResult : public QObject
{
    Q_OBJECT
public:
    ~QSparqlResult() override;

    bool isFinished() const { return m_finished; }
    bool hasError() const { return m_error.isValid(); }
    QSparqlError lastError() const { return m_error; }
    // Runs the event loop until the result has finished.
    void waitForFinished();

    // Rows of a read, before the first row until next() is called.
    int size() const { return m_rows.size(); }
    bool next();
    int pos() const { return m_pos; }
    QStringList columnNames() const { return m_columns; }
    // Value of a column of the current row: QUrl for IRIs, QString, qlonglong,
    // double, bool, QDateTime; invalid for an unbound column.
    QVariant value(int column) const;
    // The answer of an ASK read.
    bool boolValue() const;

Q_SIGNALS:
    void finished();

private:
    friend class QSparqlConnection;
    friend class QSparqlConnectionPrivate;
    explicit QSparqlResult(QObject *parent);

    void setColumns(const QStringList &columns) { m_columns = columns; }
    void addRow(const QVariantList &row) { m_rows.append(row); }
    void finish(const QSparqlError &error);

    QSparqlError m_error;
    QStringList m_columns;
    QVector<QVariantList> m_rows;
    int m_pos = -1;
    bool m_finished = false;
};

#endif // SPARQL_QSPARQLRESULT_H
