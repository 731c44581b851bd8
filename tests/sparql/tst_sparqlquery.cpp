#include <qsparqlquery.h>

#include <QDateTime>
#include <QTimeZone>
#include <QUrl>
#include <QtTest>

// Rendering of bound values: the text that reaches the store.
class TestSparqlQuery : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void rendersEachType_data();
    void rendersEachType();
    void escapesLiterals();
    void escapesIris();
    void leavesLiteralsIrisAndCommentsAlone();
    void neverRescansBoundValues();
    void unboundNamesStayAsWritten();
    void rebindingAndUnbinding();
    void statementTypes();
};

void TestSparqlQuery::rendersEachType_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("term");

    QTest::newRow("url") << QVariant(QUrl(QStringLiteral("qmf://mail.brenmor.com/email#12")))
                         << QStringLiteral("<qmf://mail.brenmor.com/email#12>");
    QTest::newRow("mailto") << QVariant(QUrl(QStringLiteral("mailto:")))
                            << QStringLiteral("<mailto:>");
    QTest::newRow("string") << QVariant(QStringLiteral("Hello")) << QStringLiteral("\"Hello\"");
    QTest::newRow("empty string") << QVariant(QString()) << QStringLiteral("\"\"");
    QTest::newRow("unicode") << QVariant(QStringLiteral("J\u00f6rg \u65e5\u672c"))
                             << QStringLiteral("\"J\u00f6rg \u65e5\u672c\"");
    QTest::newRow("bytes") << QVariant(QByteArray("inline; filename=\"a.txt\""))
                           << QStringLiteral("\"inline; filename=\\\"a.txt\\\"\"");
    QTest::newRow("true") << QVariant(true) << QStringLiteral("true");
    QTest::newRow("false") << QVariant(false) << QStringLiteral("false");
    QTest::newRow("int") << QVariant(-42) << QStringLiteral("-42");
    QTest::newRow("uint") << QVariant(4000000000u) << QStringLiteral("4000000000");
    QTest::newRow("uint64") << QVariant(quint64(18446744073709551615ull))
                            << QStringLiteral("18446744073709551615");
    QTest::newRow("int64") << QVariant(qint64(-9000000000ll)) << QStringLiteral("-9000000000");
    QTest::newRow("double") << QVariant(1.5)
                            << QStringLiteral("\"1.5\"^^<http://www.w3.org/2001/XMLSchema#double>");
    QTest::newRow("utc") << QVariant(QDateTime(QDate(2024, 2, 29), QTime(23, 5, 1), Qt::UTC))
                         << QStringLiteral("\"2024-02-29T23:05:01Z\"^^"
                                           "<http://www.w3.org/2001/XMLSchema#dateTime>");
    QTest::newRow("offset") << QVariant(
        QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5, 60), Qt::OffsetFromUTC, -5400))
                            << QStringLiteral("\"2024-01-02T03:04:05.060-01:30\"^^"
                                              "<http://www.w3.org/2001/XMLSchema#dateTime>");
    QTest::newRow("date") << QVariant(QDate(
        2020, 12, 31)) << QStringLiteral("\"2020-12-31\"^^<http://www.w3.org/2001/XMLSchema#date>");
}

void TestSparqlQuery::rendersEachType()
{
    QFETCH(QVariant, value);
    QFETCH(QString, term);
    QSparqlQuery query(QStringLiteral("INSERT { <urn:x> nie:title ?:v }"),
                       QSparqlQuery::InsertStatement);
    query.bindValue(QStringLiteral("v"), value);
    QCOMPARE(query.preparedQueryText(),
             QStringLiteral("INSERT { <urn:x> nie:title ") + term + QStringLiteral(" }"));
}

void TestSparqlQuery::escapesLiterals()
{
    const QString hostile
        = QStringLiteral("a\"b'c\\d\ne\rf\tg\bh\fi") + QChar(0) + QStringLiteral("j\x01k\x7f");
    QCOMPARE(QSparqlQuery::escapeLiteral(hostile),
             QStringLiteral("a\\\"b\\'c\\\\d\\ne\\rf\\tg\\bh\\fi\ufffdj\x01k\x7f"));
    // A backslash is doubled whatever follows it, so a value never brings an
    // escape of its own: Tracker refuses a \u escape inside a literal, and a
    // parser that expands them first still finds an escaped character there,
    // never the end of the literal.
    QCOMPARE(QSparqlQuery::escapeLiteral(QStringLiteral("\\u0022")), QStringLiteral("\\\\u0022"));
}

void TestSparqlQuery::escapesIris()
{
    QCOMPARE(QSparqlQuery::escapeIri(QStringLiteral("a b<c>d\"e{f}g|h^i`j\\k\nl")),
             QStringLiteral("a%20b%3Cc%3Ed%22e%7Bf%7Dg%7Ch%5Ei%60j%5Ck%0Al"));
    QCOMPARE(QSparqlQuery::escapeIri(QStringLiteral("mailto:j\u00f6rg@x")),
             QStringLiteral("mailto:j\u00f6rg@x"));
    QCOMPARE(QSparqlQuery::escapeIri(QString(QChar(0)) + QChar(0x7f)), QStringLiteral("%00%7F"));

    // Whatever a QUrl holds, its term is one IRI.
    QSparqlQuery query(QStringLiteral("?:u"));
    query.bindValue(QStringLiteral("u"),
                    QUrl(QStringLiteral("mailto:x> ; a rdfs:Resource } ; DELETE { <y")));
    const QString text = query.preparedQueryText();
    QVERIFY(text.startsWith(QLatin1Char('<')));
    QVERIFY(text.endsWith(QLatin1Char('>')));
    QCOMPARE(text.count(QLatin1Char('<')), 1);
    QCOMPARE(text.count(QLatin1Char('>')), 1);
    QVERIFY(!text.contains(QLatin1Char(' ')));
}

void TestSparqlQuery::leavesLiteralsIrisAndCommentsAlone()
{
    QSparqlQuery query(QStringLiteral("SELECT ?:a \"?:a\" '?:a' \"\"\"x \"?:a\" y\"\"\" <urn:?:a> "
                                      "# ?:a\n?:a FILTER(?x<?:a) \"esc\\\"?:a\""));
    query.bindValue(QStringLiteral("a"), 1);
    QCOMPARE(query.preparedQueryText(),
             QStringLiteral("SELECT 1 \"?:a\" '?:a' \"\"\"x \"?:a\" y\"\"\" <urn:?:a> "
                            "# ?:a\n1 FILTER(?x<1) \"esc\\\"?:a\""));
}

void TestSparqlQuery::neverRescansBoundValues()
{
    QSparqlQuery query(QStringLiteral("?:a ?:b"));
    query.bindValue(QStringLiteral("a"), QStringLiteral("?:b"));
    query.bindValue(QStringLiteral("b"), QUrl(QStringLiteral("urn:?:a")));
    QCOMPARE(query.preparedQueryText(), QStringLiteral("\"?:b\" <urn:?:a>"));
}

void TestSparqlQuery::unboundNamesStayAsWritten()
{
    QSparqlQuery query(QStringLiteral("?:bound ?:unbound ?plain ?: end"));
    query.bindValue(QStringLiteral("bound"), true);
    QCOMPARE(query.preparedQueryText(), QStringLiteral("true ?:unbound ?plain ?: end"));
}

void TestSparqlQuery::rebindingAndUnbinding()
{
    QSparqlQuery query(QStringLiteral("DELETE { ?:oiri a rdfs:Resource } "),
                       QSparqlQuery::DeleteStatement);
    query.bindValue(QStringLiteral("?:oiri"), QUrl(QStringLiteral("urn:one")));
    QCOMPARE(query.boundValue(QStringLiteral("oiri")).toUrl(), QUrl(QStringLiteral("urn:one")));
    query.bindValue(QStringLiteral("oiri"), QUrl(QStringLiteral("urn:two")));
    QCOMPARE(query.preparedQueryText(), QStringLiteral("DELETE { <urn:two> a rdfs:Resource } "));
    query.unbindValues();
    QVERIFY(query.boundValues().isEmpty());
    QCOMPARE(query.preparedQueryText(), QStringLiteral("DELETE { ?:oiri a rdfs:Resource } "));
}

void TestSparqlQuery::statementTypes()
{
    QCOMPARE(int(QSparqlQuery::InsertStatement), 4);
    QCOMPARE(int(QSparqlQuery::DeleteStatement), 5);
    QVERIFY(QSparqlQuery(QString(), QSparqlQuery::InsertStatement).isUpdate());
    QVERIFY(QSparqlQuery(QString(), QSparqlQuery::DeleteStatement).isUpdate());
    QVERIFY(!QSparqlQuery(QString()).isUpdate());
    QCOMPARE(QSparqlQuery(QStringLiteral("x")).type(), QSparqlQuery::SelectStatement);
}

QTEST_GUILESS_MAIN(TestSparqlQuery)
#include "tst_sparqlquery.moc"
