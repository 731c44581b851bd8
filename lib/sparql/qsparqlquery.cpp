#include "qsparqlquery.h"

#include <QDate>
#include <QDateTime>
#include <QTime>
#include <QUrl>

#include <cmath>

namespace {

const QString xsdPrefix = QStringLiteral("^^<http://www.w3.org/2001/XMLSchema#");

QString typedLiteral(const QString &lexical, const char *type)
{
    return QLatin1Char('"') + lexical + QLatin1Char('"') + xsdPrefix + QLatin1String(type)
        + QLatin1Char('>');
}

bool isPlaceholderNameChar(QChar c)
{
    return c.isLetterOrNumber() || c == QLatin1Char('_');
}

bool isIriForbidden(uint codePoint)
{
    if (codePoint <= 0x20 || codePoint == 0x7f) {
        return true;
    }
    switch (codePoint) {
    case '<':
    case '>':
    case '"':
    case '{':
    case '}':
    case '|':
    case '^':
    case '`':
    case '\\':
        return true;
    default:
        return false;
    }
}

QString percentEncoded(uint codePoint)
{
    QString out;
    const QByteArray utf8 = QString::fromUcs4(&codePoint, 1).toUtf8();
    for (const char byte : utf8) {
        out += QStringLiteral("%%1").arg(uint(uchar(byte)), 2, 16, QLatin1Char('0')).toUpper();
    }
    return out;
}

QString dateTimeLexical(const QDateTime &value)
{
    QString text = value.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss"));
    if (value.time().msec() != 0) {
        text += value.toString(QStringLiteral(".zzz"));
    }
    if (value.timeSpec() == Qt::UTC) {
        return text + QLatin1Char('Z');
    }
    // Local and zoned times carry their offset, so the store knows the instant.
    const int offset = value.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    text += offset < 0 ? QLatin1Char('-') : QLatin1Char('+');
    text += QStringLiteral("%1:%2")
                .arg(minutes / 60, 2, 10, QLatin1Char('0'))
                .arg(minutes % 60, 2, 10, QLatin1Char('0'));
    return text;
}

QString doubleTerm(double value)
{
    if (std::isnan(value)) {
        return typedLiteral(QStringLiteral("NaN"), "double");
    }
    if (std::isinf(value)) {
        return typedLiteral(value < 0 ? QStringLiteral("-INF") : QStringLiteral("INF"), "double");
    }
    return typedLiteral(QString::number(value, 'g', 17), "double");
}

// Copies a quoted literal of the template text unchanged, from its opening
// quote; returns the position after it.
int skipLiteral(const QString &text, int pos, QString &out)
{
    const QChar quote = text.at(pos);
    const int n = text.size();
    const bool isLong = pos + 2 < n && text.at(pos + 1) == quote && text.at(pos + 2) == quote;
    int i = pos + (isLong ? 3 : 1);
    while (i < n) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\\')) {
            i += 2;
            continue;
        }
        if (c == quote) {
            if (!isLong) {
                ++i;
                break;
            }
            if (i + 2 < n && text.at(i + 1) == quote && text.at(i + 2) == quote) {
                i += 3;
                break;
            }
        } else if (!isLong && (c == QLatin1Char('\n') || c == QLatin1Char('\r'))) {
            break;
        }
        ++i;
    }
    i = qMin(i, n);
    out += text.midRef(pos, i - pos);
    return i;
}

} // namespace

QSparqlQuery::QSparqlQuery(const QString &query, StatementType type)
    : m_query(query)
    , m_type(type)
{ }

static QString placeholderName(const QString &name)
{
    return name.startsWith(QLatin1String("?:")) ? name.mid(2) : name;
}

void QSparqlQuery::bindValue(const QString &name, const QVariant &value)
{
    m_bindings.insert(placeholderName(name), value);
}

QVariant QSparqlQuery::boundValue(const QString &name) const
{
    return m_bindings.value(placeholderName(name));
}

void QSparqlQuery::unbindValues()
{
    m_bindings.clear();
}

QString QSparqlQuery::preparedQueryText() const
{
    if (m_bindings.isEmpty()) {
        return m_query;
    }
    const QString &text = m_query;
    const int n = text.size();
    QString out;
    out.reserve(n + n / 2);
    int i = 0;
    while (i < n) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
            i = skipLiteral(text, i, out);
        } else if (c == QLatin1Char('<')) {
            int j = i + 1;
            while (j < n && !isIriForbidden(text.at(j).unicode())) {
                ++j;
            }
            if (j < n && text.at(j) == QLatin1Char('>')) {
                out += text.midRef(i, j + 1 - i);
                i = j + 1;
            } else {
                out += c; // a comparison, not an IRI
                ++i;
            }
        } else if (c == QLatin1Char('#')) {
            int j = text.indexOf(QLatin1Char('\n'), i);
            j = j < 0 ? n : j;
            out += text.midRef(i, j - i);
            i = j;
        } else if (c == QLatin1Char('?') && i + 2 < n && text.at(i + 1) == QLatin1Char(':')
                   && isPlaceholderNameChar(text.at(i + 2))) {
            int j = i + 2;
            while (j < n && isPlaceholderNameChar(text.at(j))) {
                ++j;
            }
            const auto binding = m_bindings.constFind(text.mid(i + 2, j - i - 2));
            if (binding != m_bindings.constEnd()) {
                out += termForValue(binding.value());
            } else {
                out += text.midRef(i, j - i);
            }
            i = j;
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

QString QSparqlQuery::escapeLiteral(const QString &text)
{
    QString out;
    out.reserve(text.size() + 8);
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '\\':
            out += QLatin1String("\\\\");
            break;
        case '"':
            out += QLatin1String("\\\"");
            break;
        case '\'':
            out += QLatin1String("\\'");
            break;
        case '\n':
            out += QLatin1String("\\n");
            break;
        case '\r':
            out += QLatin1String("\\r");
            break;
        case '\t':
            out += QLatin1String("\\t");
            break;
        case '\b':
            out += QLatin1String("\\b");
            break;
        case '\f':
            out += QLatin1String("\\f");
            break;
        case 0:
            // The store takes the query as a C string: a NUL would cut the
            // statement short.
            out += QChar(QChar::ReplacementCharacter);
            break;
        default:
            // Other control characters are valid inside a literal as they
            // stand; Tracker refuses them as \u escapes.
            out += c;
            break;
        }
    }
    return out;
}

QString QSparqlQuery::escapeIri(const QString &iri)
{
    QString out;
    out.reserve(iri.size());
    const QVector<uint> codePoints = iri.toUcs4();
    for (const uint codePoint : codePoints) {
        if (isIriForbidden(codePoint)) {
            out += percentEncoded(codePoint);
        } else {
            out += QString::fromUcs4(&codePoint, 1);
        }
    }
    return out;
}

QString QSparqlQuery::termForValue(const QVariant &value)
{
    switch (int(value.userType())) {
    case QMetaType::QUrl:
        return QLatin1Char('<') + escapeIri(value.toUrl().toString()) + QLatin1Char('>');
    case QMetaType::QString:
        return QLatin1Char('"') + escapeLiteral(value.toString()) + QLatin1Char('"');
    case QMetaType::QByteArray:
        return QLatin1Char('"') + escapeLiteral(QString::fromUtf8(value.toByteArray()))
            + QLatin1Char('"');
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QMetaType::Int:
    case QMetaType::Short:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::SChar:
        return QString::number(value.toLongLong());
    case QMetaType::UInt:
    case QMetaType::UShort:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UChar:
        return QString::number(value.toULongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return doubleTerm(value.toDouble());
    case QMetaType::QDateTime: {
        const QDateTime dateTime = value.toDateTime();
        return typedLiteral(dateTime.isValid() ? dateTimeLexical(dateTime) : QString(), "dateTime");
    }
    case QMetaType::QDate:
        return typedLiteral(value.toDate().toString(Qt::ISODate), "date");
    case QMetaType::QTime:
        return typedLiteral(value.toTime().toString(QStringLiteral("HH:mm:ss")), "time");
    default:
        return QLatin1Char('"') + escapeLiteral(value.toString()) + QLatin1Char('"');
    }
}
