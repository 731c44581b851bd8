// Hostile values as SPARQL terms: a literal reads back as the value (NUL as U+FFFD), an
// IRI holds no character SPARQL refuses there, a date-time is an xsd:dateTime, and a
// template without placeholders comes out unchanged.
#include <qsparqlquery.h>

#include <QDateTime>
#include <QRegularExpression>
#include <QUrl>

#include <cstring>

namespace {

[[noreturn]] void fail(const char *what, const QString &detail)
{
    qFatal("fuzz_sparql: %s: %s", what, qPrintable(detail));
}

// The value of a quoted literal, read by the SPARQL grammar's STRING_LITERAL2.
QString literalValue(const QString &term)
{
    if (term.size() < 2 || !term.startsWith(QLatin1Char('"')) || !term.endsWith(QLatin1Char('"')))
        fail("not a quoted literal", term);
    static const QString escaped = QStringLiteral("tnrbf\"'\\");
    static const QString meant = QStringLiteral("\t\n\r\b\f\"'\\");
    QString value;
    for (int i = 1; i < term.size() - 1; ++i) {
        const QChar c = term.at(i);
        if (c == QLatin1Char('"') || c == QLatin1Char('\n') || c == QLatin1Char('\r'))
            fail("raw quote or line break in a literal", term);
        if (c != QLatin1Char('\\')) {
            value += c;
            continue;
        }
        const int k = ++i < term.size() - 1 ? escaped.indexOf(term.at(i)) : -1;
        if (k < 0)
            fail("bad escape in a literal", term);
        value += meant.at(k);
    }
    return value;
}

void checkIri(const QString &term)
{
    if (!term.startsWith(QLatin1Char('<')) || !term.endsWith(QLatin1Char('>')))
        fail("not an IRI", term);
    for (int i = 1; i < term.size() - 1; ++i) {
        if (term.at(i).unicode() <= 0x20 || QStringLiteral("<>\"{}|^`\\").contains(term.at(i)))
            fail("character not allowed in an IRI", term);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // Odd first bytes read the rest as UTF-16, so unpaired surrogates come through.
    QString text = QString::fromUtf8(reinterpret_cast<const char *>(data + 1), int(size - 1));
    if (data[0] & 1) {
        text.resize(int((size - 1) / 2));
        std::memcpy(text.data(), data + 1, size_t(text.size()) * 2);
    }
    const auto withoutNul = [](QString t) { return t.replace(QChar(0), QChar(0xfffd)); };
    if (literalValue(QSparqlQuery::termForValue(text)) != withoutNul(text))
        fail("string literal does not read back", text);
    if (literalValue(QSparqlQuery::termForValue(text.toUtf8()))
        != withoutNul(QString::fromUtf8(text.toUtf8())))
        fail("byte-array literal does not read back", text);
    checkIri(QSparqlQuery::termForValue(QUrl(text)));
    checkIri(QLatin1Char('<') + QSparqlQuery::escapeIri(text) + QLatin1Char('>'));

    if (size >= 11) {
        qint64 msecs;
        std::memcpy(&msecs, data + 1, sizeof msecs);
        const int offset = (int(data[9]) << 8 | data[10]) % (14 * 60) * (data[0] & 2 ? -60 : 60);
        const QDateTime when = QDateTime::fromMSecsSinceEpoch(msecs, Qt::OffsetFromUTC, offset);
        static const QRegularExpression lexical(QStringLiteral(
            R"re(^"-?\d{4,}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{3})?(Z|[+-]\d\d:\d\d)"\^\^)re"
            "<http://www.w3.org/2001/XMLSchema#dateTime>$"));
        const QString term = QSparqlQuery::termForValue(when);
        // Years before 1 are written wrongly ("-002"); no mail date gets there.
        if (when.isValid() && when.date().year() > 0 && !lexical.match(term).hasMatch())
            fail("not an xsd:dateTime", term);
    }

    QSparqlQuery query(text);
    query.bindValue(QStringLiteral("a"), text);
    query.bindValue(QStringLiteral("b"), QUrl(text));
    if (!text.contains(QLatin1String("?:")) && query.preparedQueryText() != text)
        fail("a template without placeholders changed", text);
    return 0;
}
