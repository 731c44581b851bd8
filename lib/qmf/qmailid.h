#ifndef QMAILID_H
#define QMAILID_H

#include <QDebug>
#include <QHash>
#include <QList>
#include <QMetaType>

// Identifiers of mail-store objects. The value 0 is the invalid id; any other
// value names one row of the store. The three kinds are distinct types so that
// a folder id can never be passed where a message id is expected.
template<typename Derived> class QMailIdBase
{
public:
    QMailIdBase() = default;
    explicit QMailIdBase(quint64 value)
        : m_value(value)
    { }

    bool isValid() const { return m_value != 0; }
    quint64 toULongLong() const { return m_value; }

    friend bool operator==(const Derived &a, const Derived &b) { return a.m_value == b.m_value; }
    friend bool operator!=(const Derived &a, const Derived &b) { return a.m_value != b.m_value; }
    friend bool operator<(const Derived &a, const Derived &b) { return a.m_value < b.m_value; }
    friend uint qHash(const Derived &id, uint seed = 0) { return ::qHash(id.m_value, seed); }

private:
    quint64 m_value = 0;
};

class QMailAccountId : public QMailIdBase<QMailAccountId>
{
public:
    using QMailIdBase::QMailIdBase;
};

class QMailFolderId : public QMailIdBase<QMailFolderId>
{
public:
    using QMailIdBase::QMailIdBase;
};

class QMailMessageId : public QMailIdBase<QMailMessageId>
{
public:
    using QMailIdBase::QMailIdBase;
};

typedef QList<QMailAccountId> QMailAccountIdList;
typedef QList<QMailFolderId> QMailFolderIdList;
typedef QList<QMailMessageId> QMailMessageIdList;

// Debug form: "QMailAccountId(5)".
QDebug operator<<(QDebug debug, const QMailAccountId &id);
QDebug operator<<(QDebug debug, const QMailFolderId &id);
QDebug operator<<(QDebug debug, const QMailMessageId &id);

Q_DECLARE_METATYPE(QMailAccountId)
Q_DECLARE_METATYPE(QMailFolderId)
Q_DECLARE_METATYPE(QMailMessageId)
Q_DECLARE_METATYPE(QMailAccountIdList)
Q_DECLARE_METATYPE(QMailFolderIdList)
Q_DECLARE_METATYPE(QMailMessageIdList)

#endif // QMAILID_H
