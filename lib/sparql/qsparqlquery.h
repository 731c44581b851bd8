#ifndef SPARQL_QSPARQLQUERY_H
#define SPARQL_QSPARQLQUERY_H

#include <QMap>
#include <QString>
#include <QVariant>

// A SPARQL query or update with named placeholders. A placeholder is "?:"
// followed by a name of letters, digits and underscores ("?:miri"); each is
// replaced by the value bound to its name, written as a SPARQL term of the
// value's type. Placeholders inside string literals, IRIs and comments of the
// text are left alone, and bound values are never scanned for placeholders.
//
// Values are rendered so that no value can leave its term:
//   QUrl                 <iri>, with every character that SPARQL does not
//                        allow in an IRI (controls, space, <>"{}|^`\)
//                        percent-encoded as UTF-8
//   QString, QByteArray  "literal" (byte arrays as UTF-8), with quote,
//                        backslash, line breaks, tab, backspace and form feed
//                        escaped; NUL, which cannot travel in a query text,
//                        becomes U+FFFD
//   bool                 true / false
//   integers             decimal
//   double               an xsd:double literal
//   QDateTime, QDate, QTime
//                        ISO 8601 literals typed xsd:dateTime, xsd:date,
//                        xsd:time (a local date-time carries its UTC offset;
//                        a year before 1 is written as XML Schema counts it,
//                        1 BC as 0000, which Tracker does not take: see
//                        isStorable())
//   other types          their QVariant::toString() as a string literal
// A name without a binding is left in the text as written.
class QSparqlQuery
{
public:
    enum StatementType {
        SelectStatement = 0,
        AskStatement = 1,
        ConstructStatement = 2,
        DescribeStatement = 3,
        InsertStatement = 4,
        DeleteStatement = 5
    };

    QSparqlQuery() = default;
    explicit QSparqlQuery(const QString &query, StatementType type = SelectStatement);

    QString query() const { return m_query; }
    void setQuery(const QString &query) { m_query = query; }
    StatementType type() const { return m_type; }
    void setType(StatementType type) { m_type = type; }
    // Insertions and deletions go to the store as updates, the rest as reads.
    bool isUpdate() const { return m_type == InsertStatement || m_type == DeleteStatement; }

    // The name may be given with or without its "?:" prefix.
    void bindValue(const QString &name, const QVariant &value);
    QVariant boundValue(const QString &name) const;
    QMap<QString, QVariant> boundValues() const { return m_bindings; }
    void unbindValues();

    // The text with every bound placeholder replaced by its value.
    QString preparedQueryText() const;

    // The SPARQL term for one value, as preparedQueryText() writes it.
    static QString termForValue(const QVariant &value);
    static QString escapeLiteral(const QString &text);
    static QString escapeIri(const QString &iri);
    // Whether Tracker keeps the date-time as it is written: it takes the
    // years 1 to 9999 only and refuses the whole update for any other.
    static bool isStorable(const QDateTime &value);

private:
    QString m_query;
    StatementType m_type = SelectStatement;
    QMap<QString, QVariant> m_bindings;
};

#endif // SPARQL_QSPARQLQUERY_H
