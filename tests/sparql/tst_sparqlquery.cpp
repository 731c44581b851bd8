#include <qsparqlquery.h>

#include <QDateTime>
#include <QUrl>
#include <QtTest>

// Rendering of bound values: the text that reaches the store.
class TestSparqlQuery : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void preparedText_data();
    void preparedText();
    void rebindingAndUnbinding();
};

void TestSparqlQuery::preparedText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QVariantMap>("bindings");
    QTest::addColumn<QString>("expected");
    const auto term = [](const char *name, const QVariant &value, const QString &expected) {
        QTest::newRow(name) << QStringLiteral("INSERT { <urn:x> nie:title ?:v }")
                            << QVariantMap { { QStringLiteral("v"), value } }
                            << QStringLiteral("INSERT { <urn:x> nie:title ") + expected
                + QStringLiteral(" }");
    };
    const QString xsd = QStringLiteral("^^<http://www.w3.org/2001/XMLSchema#");
    term("url", QUrl(QStringLiteral("qmf://mail.brenmor.com/email#12")),
         QStringLiteral("<qmf://mail.brenmor.com/email#12>"));
    term("empty string", QString(), QStringLiteral("\"\""));
    term("bytes", QByteArray("inline; filename=\"a.txt\""),
         QStringLiteral("\"inline; filename=\\\"a.txt\\\"\""));
    term("true", true, QStringLiteral("true"));
    term("int", -42, QStringLiteral("-42"));
    term("uint", 4000000000u, QStringLiteral("4000000000"));
    term("uint64", quint64(18446744073709551615ull), QStringLiteral("18446744073709551615"));
    term("double", 1.5, QStringLiteral("\"1.5\"") + xsd + QStringLiteral("double>"));
    term("utc", QDateTime(QDate(2024, 2, 29), QTime(23, 5, 1), Qt::UTC),
         QStringLiteral("\"2024-02-29T23:05:01Z\"") + xsd + QStringLiteral("dateTime>"));
    term("offset", QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5, 60), Qt::OffsetFromUTC, -5400),
         QStringLiteral("\"2024-01-02T03:04:05.060-01:30\"") + xsd + QStringLiteral("dateTime>"));
    term("date", QDate(2020, 12, 31),
         QStringLiteral("\"2020-12-31\"") + xsd + QStringLiteral("date>"));
    // Qt's year -1 is XML Schema's 0000; the sign goes before four digits.
    term("5 BC", QDateTime(QDate(-5, 3, 1), QTime(1, 2, 3), Qt::UTC),
         QStringLiteral("\"-0004-03-01T01:02:03Z\"") + xsd + QStringLiteral("dateTime>"));
    term("1 BC", QDate(-1, 1, 2), QStringLiteral("\"0000-01-02\"") + xsd + QStringLiteral("date>"));
    // A backslash is doubled whatever follows it, so a value never brings an
    // escape of its own; NUL cannot travel in a query text.
    term("literal escapes",
         QStringLiteral("a\"b'c\\d\ne\rf\tg\bh\fi") + QChar(0) + QStringLiteral("j\x01k \\u0022"),
         QStringLiteral("\"a\\\"b\\'c\\\\d\\ne\\rf\\tg\\bh\\fi\ufffdj\x01k \\\\u0022\""));
    // Whatever a QUrl holds, its term is one IRI.
    term("iri escapes", QUrl(QStringLiteral("mailto:x> ; a rdfs:Resource } ; DELETE { <y")),
         QStringLiteral("<mailto:x%3E%20;%20a%20rdfs:Resource%20%7D%20;%20DELETE%20%7B%20%3Cy>"));
    QTest::newRow("literals, iris and comments are text")
        << QStringLiteral("SELECT ?:a \"?:a\" '?:a' \"\"\"x \"?:a\" y\"\"\" <urn:?:a> "
                          "# ?:a\n?:a FILTER(?x<?:a) \"esc\\\"?:a\"")
        << QVariantMap { { QStringLiteral("a"), 1 } }
        << QStringLiteral("SELECT 1 \"?:a\" '?:a' \"\"\"x \"?:a\" y\"\"\" <urn:?:a> "
                          "# ?:a\n1 FILTER(?x<1) \"esc\\\"?:a\"");
    QTest::newRow("bound values are never rescanned")
        << QStringLiteral("?:a ?:b")
        << QVariantMap { { QStringLiteral("a"), QStringLiteral("?:b") },
                         { QStringLiteral("b"), QUrl(QStringLiteral("urn:?:a")) } }
        << QStringLiteral("\"?:b\" <urn:?:a>");
    QTest::newRow("unbound names stay") << QStringLiteral("?:bound ?:unbound ?plain ?: end")
                                        << QVariantMap { { QStringLiteral("bound"), true } }
                                        << QStringLiteral("true ?:unbound ?plain ?: end");
}

void TestSparqlQuery::preparedText()
{
    QFETCH(QString, text);
    QFETCH(QVariantMap, bindings);
    QFETCH(QString, expected);
    QSparqlQuery query(text, QSparqlQuery::InsertStatement);
    for (auto it = bindings.cbegin(); it != bindings.cend(); ++it) {
        query.bindValue(it.key(), it.value());
    }
    QCOMPARE(query.preparedQueryText(), expected);
}

void TestSparqlQuery::rebindingAndUnbinding()
{
    QSparqlQuery query(QStringLiteral("DELETE { ?:oiri a rdfs:Resource } "),
                       QSparqlQuery::DeleteStatement);
    QVERIFY(query.isUpdate());
    QVERIFY(!QSparqlQuery(QStringLiteral("ASK {}"), QSparqlQuery::AskStatement).isUpdate());
    query.bindValue(QStringLiteral("?:oiri"), QUrl(QStringLiteral("urn:one")));
    QCOMPARE(query.boundValue(QStringLiteral("oiri")).toUrl(), QUrl(QStringLiteral("urn:one")));
    query.bindValue(QStringLiteral("oiri"), QUrl(QStringLiteral("urn:two")));
    QCOMPARE(query.preparedQueryText(), QStringLiteral("DELETE { <urn:two> a rdfs:Resource } "));
    query.unbindValues();
    QVERIFY(query.boundValues().isEmpty());
    QCOMPARE(query.preparedQueryText(), QStringLiteral("DELETE { ?:oiri a rdfs:Resource } "));
}

QTEST_GUILESS_MAIN(TestSparqlQuery)
#include "tst_sparqlquery.moc"
