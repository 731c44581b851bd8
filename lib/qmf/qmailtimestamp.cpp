#include "qmailtimestamp.h"

#include <KMime/HeaderParsing>

#include <QDebug>
#include <QRegularExpression>

QMailTimeStamp::QMailTimeStamp(const QDateTime &dateTime)
{
    if (!dateTime.isValid())
        return;
    m_null = false;
    m_utc = dateTime.toUTC();
    m_offset = dateTime.offsetFromUtc();
}

QMailTimeStamp::QMailTimeStamp(const QString &text)
{
    QByteArray raw = text.trimmed().toLatin1();
    if (raw.isEmpty())
        return;
    // The year as RFC 5322 reads it: four digits or more as written (there
    // is no year 0), two digits 1950 to 2049, three digits from 1900. The
    // parser below has its own ideas about small years, so it is handed a
    // stand-in (a leap year: 29 February stays a day) and the year put back.
    static const QRegularExpression dayMonthYear(
        QStringLiteral("^(?:[A-Za-z]+\\s*,\\s*)?\\d{1,2}\\s*[A-Za-z]+\\s*(\\d+)(?=\\s)"));
    const QRegularExpressionMatch match = dayMonthYear.match(QString::fromLatin1(raw));
    int year = 0;
    if (match.hasMatch()) {
        const QString digits = match.captured(1);
        year = digits.toInt();
        if (digits.size() == 2)
            year += year < 50 ? 2000 : 1900;
        else if (digits.size() == 3)
            year += 1900;
        else if (year == 0)
            return;
        raw.replace(match.capturedStart(1), digits.size(), "2000");
    }
    QDateTime parsed;
    const char *cursor = raw.constData();
    if (!KMime::HeaderParsing::parseDateTime(cursor, raw.constData() + raw.size(), parsed)
        || !parsed.isValid()) {
        parsed = QDateTime::fromString(QString::fromLatin1(raw), Qt::RFC2822Date);
    }
    if (parsed.isValid() && year != 0)
        parsed.setDate(QDate(year, parsed.date().month(), parsed.date().day()));
    if (!parsed.isValid())
        return; // Unreadable dates count as no date at all.
    m_null = false;
    m_utc = parsed.toUTC();
    m_offset = parsed.offsetFromUtc();
}

QMailTimeStamp QMailTimeStamp::currentDateTime()
{
    return QMailTimeStamp(QDateTime::currentDateTime());
}

QMailTimeStamp QMailTimeStamp::fromMSecsSinceEpoch(qint64 msecs, int utcOffsetSeconds)
{
    QMailTimeStamp stamp;
    stamp.m_null = false;
    stamp.m_utc = QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC);
    stamp.m_offset = utcOffsetSeconds;
    return stamp;
}

QDateTime QMailTimeStamp::toLocalTime() const
{
    return m_utc.isValid() ? m_utc.toLocalTime() : QDateTime();
}

QDateTime QMailTimeStamp::toOriginalTime() const
{
    return m_utc.isValid() ? m_utc.toOffsetFromUtc(m_offset) : QDateTime();
}

qint64 QMailTimeStamp::toMSecsSinceEpoch() const
{
    return m_utc.isValid() ? m_utc.toMSecsSinceEpoch() : 0;
}

QString QMailTimeStamp::toString(OutputFormat format) const
{
    if (!isValid())
        return QString();
    const QDateTime original = toOriginalTime();
    if (format == Rfc3339)
        return original.toString(Qt::ISODate);
    // Week day and month names are English whatever the locale.
    static const char *const days[] = { "Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun" };
    static const char *const months[]
        = { "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec" };
    const QDate date = original.date();
    const QTime time = original.time();
    const int offsetMinutes = qAbs(m_offset) / 60;
    return QString::asprintf("%s, %d %s %04d %02d:%02d:%02d %c%02d%02d", days[date.dayOfWeek() - 1],
                             date.day(), months[date.month() - 1], date.year(), time.hour(),
                             time.minute(), time.second(), m_offset < 0 ? '-' : '+',
                             offsetMinutes / 60, offsetMinutes % 60);
}

bool QMailTimeStamp::operator==(const QMailTimeStamp &other) const
{
    if (m_null || other.m_null)
        return m_null == other.m_null;
    return m_utc == other.m_utc && m_offset == other.m_offset;
}

bool QMailTimeStamp::operator<(const QMailTimeStamp &other) const
{
    if (m_null || other.m_null)
        return m_null && !other.m_null;
    return m_utc < other.m_utc;
}

QDebug operator<<(QDebug debug, const QMailTimeStamp &stamp)
{
    QDebugStateSaver saver(debug);
    debug.nospace() << "QMailTimeStamp("
                    << (stamp.isNull() ? QStringLiteral("null") : stamp.toString()) << ')';
    return debug;
}
