#ifndef QMAILWIRETYPES_H
#define QMAILWIRETYPES_H

#include <QList>
#include <QMetaType>
#include <QString>

class QDBusArgument;

// The structures of the message server's D-Bus interface
// (com.brenmor.qmf.MessageServer.xml), as they travel. They are registered
// with the D-Bus type system when this library is loaded, so a proxy or an
// adaptor generated from the interface can carry them without further set-up.

// Where the message server serves the interface on the session bus.
#define QMF_MESSAGESERVER_SERVICE "com.brenmor.qmf.MessageServer"
#define QMF_MESSAGESERVER_PATH "/com/brenmor/qmf/MessageServer"

// One action of the message server: the structure (titttsiiiuud).
struct QMailActionData
{
    quint64 id = 0;
    int requestType = 0;
    quint64 accountId = 0;
    quint64 folderId = 0;
    quint64 messageId = 0;
    QString statusText;
    int errorCode = 0;
    int activity = 0;
    int connectivity = 0;
    uint progress = 0;
    uint total = 0;
    double totalProgress = 0.0;
};
typedef QList<QMailActionData> QMailActionDataList;

// One element of a message-list request's sort order: the structure (ib), a
// property of the store's message sort key and whether it sorts ascending.
struct QMailSortElement
{
    int property = 0;
    bool ascending = true;
};
typedef QList<QMailSortElement> QMailSortElementList;

QDBusArgument &operator<<(QDBusArgument &argument, const QMailActionData &action);
const QDBusArgument &operator>>(const QDBusArgument &argument, QMailActionData &action);
QDBusArgument &operator<<(QDBusArgument &argument, const QMailSortElement &element);
const QDBusArgument &operator>>(const QDBusArgument &argument, QMailSortElement &element);

Q_DECLARE_METATYPE(QMailActionData)
Q_DECLARE_METATYPE(QMailActionDataList)
Q_DECLARE_METATYPE(QMailSortElement)
Q_DECLARE_METATYPE(QMailSortElementList)

#endif // QMAILWIRETYPES_H
