#ifndef SPARQL_QSPARQLERROR_H
#define SPARQL_QSPARQLERROR_H

#include <QString>

// What went wrong with a connection or a query. A default-constructed error
// is "no error".
class QSparqlError
{
public:
    enum ErrorType {
        NoError = 0,
        ConnectionError, // the store could not be opened or is not usable
        StatementError, // the store rejected the statement
        BackendError, // the store failed while running it
        UnknownError
    };

    QSparqlError() = default;
    QSparqlError(const QString &message, ErrorType type = UnknownError, int number = -1);

    QString message() const { return m_message; }
    void setMessage(const QString &message) { m_message = message; }
    ErrorType type() const { return m_type; }
    void setType(ErrorType type) { m_type = type; }
    // The store's own error code, -1 when there is none.
    int number() const { return m_number; }
    void setNumber(int number) { m_number = number; }
    bool isValid() const { return m_type != NoError; }

private:
    QString m_message;
    ErrorType m_type = NoError;
    int m_number = -1;
};

#endif // SPARQL_QSPARQLERROR_H
