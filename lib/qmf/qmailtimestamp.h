#ifndef QMAILTIMESTAMP_H
#define QMAILTIMESTAMP_H

#include <QDateTime>
#include <QMetaType>
#include <QString>

// A point in time together with the UTC offset it was written with, as mail
// headers carry it. A stamp never set, or read from text that is no date, is
// null (and so not valid either): a message with an unreadable Date header
// has no date.
class QMailTimeStamp
{
public:
    enum OutputFormat { Rfc2822, Rfc3339 };

    QMailTimeStamp() = default;
    // Keeps the date-time's own offset from UTC.
    QMailTimeStamp(const QDateTime &dateTime);
    // RFC 2822 date text ("Tue, 1 Jul 2003 10:52:37 +0200"); obsolete forms
    // and missing week days are accepted; anything else gives a null stamp.
    explicit QMailTimeStamp(const QString &text);

    static QMailTimeStamp currentDateTime();
    // From milliseconds since the epoch and an offset in seconds east of UTC.
    static QMailTimeStamp fromMSecsSinceEpoch(qint64 msecs, int utcOffsetSeconds);

    bool isNull() const { return m_null; }
    bool isValid() const { return !m_null && m_utc.isValid(); }

    QDateTime toUTC() const { return m_utc; }
    QDateTime toLocalTime() const;
    // The time as it was written: in the stamp's own offset from UTC.
    QDateTime toOriginalTime() const;
    qint64 toMSecsSinceEpoch() const;
    int utcOffset() const { return m_offset; }

    QString toString(OutputFormat format = Rfc2822) const;

    bool operator==(const QMailTimeStamp &other) const;
    bool operator!=(const QMailTimeStamp &other) const { return !(*this == other); }
    bool operator<(const QMailTimeStamp &other) const;

private:
    bool m_null = true;
    QDateTime m_utc;
    int m_offset = 0;
};

QDebug operator<<(QDebug debug, const QMailTimeStamp &stamp);

Q_DECLARE_METATYPE(QMailTimeStamp)

#endif // QMAILTIMESTAMP_H
