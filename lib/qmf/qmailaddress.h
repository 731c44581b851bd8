#ifndef QMAILADDRESS_H
#define QMAILADDRESS_H

#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>

// One e-mail address with an optional display name.
class QMailAddress
{
public:
    QMailAddress() = default;
    // Parses "Name <user@host>", "\"Last, First\" <user@host>", "<user@host>",
    // "user@host" and "user@host (Name)". Encoded words in the name are decoded.
    explicit QMailAddress(const QString &text);
    QMailAddress(const QString &name, const QString &address);

    bool isNull() const { return m_address.isEmpty() && m_name.isEmpty(); }
    bool hasDisplayName() const { return !m_name.isEmpty(); }

    // The display name; the address itself when there is none.
    QString name() const { return m_name.isEmpty() ? m_address : m_name; }
    QString address() const { return m_address; }

    // "Name <user@host>" when there is a display name (quoted as needed);
    // otherwise "user@host", or "<user@host>" when forceDelimited is true.
    QString toString(bool forceDelimited = false) const;

    bool operator==(const QMailAddress &other) const;
    bool operator!=(const QMailAddress &other) const { return !(*this == other); }

    // A comma-separated list of addresses; commas inside quotes, comments and
    // angle brackets do not separate.
    static QList<QMailAddress> fromStringList(const QString &list);
    static QList<QMailAddress> fromStringList(const QStringList &list);
    static QStringList toStringList(const QList<QMailAddress> &list, bool forceDelimited = false);

private:
    QString m_name;
    QString m_address;
};

QDebug operator<<(QDebug debug, const QMailAddress &address);

Q_DECLARE_METATYPE(QMailAddress)

#endif // QMAILADDRESS_H
