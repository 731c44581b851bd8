#include "qsparqlquery.h"

#include <QDate>
#include <QDateTime>
#include <QTime>
#include <QUrl>

#include <algorithm>
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

// The date and time as written, in the value's own offset: from UTC shifted
// by the offset, one time-zone lookup instead of one per field.
QDateTime wallClock(const QDateTime &value)
{
    return value.toUTC().addSecs(value.timeSpec() == Qt::UTC ? 0 : value.offsetFromUtc());
}

QString dateLexical(const QDate &date)
{
    // Qt has no year 0: the year before 1 is -1. XML Schema counts that one
    // as 0000, and writes a year with its sign before at least four digits.
    const int year = date.year() < 0 ? date.year() + 1 : date.year();
    return QStringLiteral("%1%2-%3-%4")
        .arg(year < 0 ? QStringLiteral("-") : QString())
        .arg(std::abs(year), 4, 10, QLatin1Char('0'))
        .arg(date.month(), 2, 10, QLatin1Char('0'))
        .arg(date.day(), 2, 10, QLatin1Char('0'));
}

QString dateTimeLexical(const QDateTime &value)
{
    const bool utc = value.timeSpec() == Qt::UTC;
    const int offset = utc ? 0 : value.offsetFromUtc();
    const QDateTime wall = wallClock(value);
    const QDate date = wall.date();
    const QTime time = wall.time();
    QString text = dateLexical(date)
        + QStringLiteral("T%1:%2:%3")
              .arg(time.hour(), 2, 10, QLatin1Char('0'))
              .arg(time.minute(), 2, 10, QLatin1Char('0'))
              .arg(time.second(), 2, 10, QLatin1Char('0'));
    if (time.msec() != 0) {
        text += QStringLiteral(".%1").arg(time.msec(), 3, 10, QLatin1Char('0'));
    }
    if (utc) {
        return text + QLatin1Char('Z');
    }
    // Local and zoned times carry their offset, so the store knows the instant.
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

// What stands for a character inside a quoted literal; null when the
// character stands for itself. Control characters other than these are valid
// inside a literal as they are, and Tracker refuses them as \u escapes.
QStringView literalEscape(QChar c)
{
    switch (c.unicode()) {
    case '\\':
        return u"\\\\";
    case '"':
        return u"\\\"";
    case '\'':
        return u"\\'";
    case '\n':
        return u"\\n";
    case '\r':
        return u"\\r";
    case '\t':
        return u"\\t";
    case '\b':
        return u"\\b";
    case '\f':
        return u"\\f";
    case 0:
        // The store takes the query as a C string: a NUL would cut the
        // statement short.
        return u"\ufffd";
    default:
        return QStringView();
    }
}

// The position just after the quoted literal that starts at pos.
int literalEnd(const QChar *text, int n, int pos)
{
    const QChar quote = text[pos];
    const bool isLong = pos + 2 < n && text[pos + 1] == quote && text[pos + 2] == quote;
    int i = pos + (isLong ? 3 : 1);
    while (i < n) {
        const QChar c = text[i];
        if (c == QLatin1Char('\\')) {
            i += 2;
            continue;
        }
        if (c == quote) {
            if (!isLong) {
                return i + 1;
            }
            if (i + 2 < n && text[i + 1] == quote && text[i + 2] == quote) {
                return i + 3;
            }
        } else if (!isLong && (c == QLatin1Char('\n') || c == QLatin1Char('\r'))) {
            return i;
        }
        ++i;
    }
    return n;
}

} // namespace

bool QSparqlQuery::isStorable(const QDateTime &value)
{
    if (!value.isValid()) {
        return false;
    }
    const int year = wallClock(value).date().year();
    return year >= 1 && year <= 9999;
}

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
    const QChar *text = m_query.constData();
    const int n = m_query.size();
    QString out;
    out.reserve(n + n / 2);
    int copied = 0; // text before this position is in out already
    int i = 0;
    while (i < n) {
        const ushort c = text[i].unicode();
        if (c == '"' || c == '\'') {
            i = literalEnd(text, n, i);
        } else if (c == '<') {
            int j = i + 1;
            while (j < n && !isIriForbidden(text[j].unicode())) {
                ++j;
            }
            // An IRI is skipped whole; otherwise '<' is a comparison.
            i = j < n && text[j] == QLatin1Char('>') ? j + 1 : i + 1;
        } else if (c == '#') {
            while (i < n && text[i] != QLatin1Char('\n')) {
                ++i;
            }
        } else if (c == '?' && i + 2 < n && text[i + 1] == QLatin1Char(':')
                   && isPlaceholderNameChar(text[i + 2])) {
            int j = i + 2;
            while (j < n && isPlaceholderNameChar(text[j])) {
                ++j;
            }
            const QStringRef name(&m_query, i + 2, j - i - 2);
            for (auto binding = m_bindings.constBegin(); binding != m_bindings.constEnd();
                 ++binding) {
                if (name == binding.key()) {
                    out.append(text + copied, i - copied);
                    out += termForValue(binding.value());
                    copied = j;
                    break;
                }
            }
            i = j;
        } else {
            ++i;
        }
    }
    out.append(text + copied, n - copied);
    return out;
}

QString QSparqlQuery::escapeLiteral(const QString &text)
{
    const auto first = std::find_if(text.cbegin(), text.cend(),
                                    [](QChar c) { return !literalEscape(c).isNull(); });
    if (first == text.cend()) {
        return text;
    }
    QString out;
    out.reserve(text.size() + 8);
    out.append(text.constData(), int(first - text.cbegin()));
    for (auto it = first; it != text.cend(); ++it) {
        const QStringView escape = literalEscape(*it);
        if (escape.isNull()) {
            out += *it;
        } else {
            out += escape;
        }
    }
    return out;
}

QString QSparqlQuery::escapeIri(const QString &iri)
{
    bool plain = true;
    for (const QChar c : iri) {
        if (isIriForbidden(c.unicode())) {
            plain = false;
            break;
        }
    }
    if (plain) {
        return iri;
    }
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
    case QMetaType::QDate: {
        const QDate date = value.toDate();
        return typedLiteral(date.isValid() ? dateLexical(date) : QString(), "date");
    }
    case QMetaType::QTime:
        return typedLiteral(value.toTime().toString(QStringLiteral("HH:mm:ss")), "time");
    default:
        return QLatin1Char('"') + escapeLiteral(value.toString()) + QLatin1Char('"');
    }
}
