#ifndef MESSAGESERVER_WIRETYPES_H
#define MESSAGESERVER_WIRETYPES_H

#include <QDBusArgument>
#include <QList>
#include <QMetaType>
#include <QString>

// The structures of the message-server interface as they travel on the bus
// (lib/qmf/com.brenmor.qmf.MessageServer.xml): an action "(titttsiiiuud)" and
// one element "(ib)" of a message-list request's sort order.
struct MessageServerAction
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
typedef QList<MessageServerAction> MessageServerActionList;

struct MessageServerSortElement
{
    int property = 0;
    bool ascending = true;
};
typedef QList<MessageServerSortElement> MessageServerSortList;

Q_DECLARE_METATYPE(MessageServerAction)
Q_DECLARE_METATYPE(MessageServerActionList)
Q_DECLARE_METATYPE(MessageServerSortElement)
Q_DECLARE_METATYPE(MessageServerSortList)

QDBusArgument &operator<<(QDBusArgument &argument, const MessageServerAction &action);
const QDBusArgument &operator>>(const QDBusArgument &argument, MessageServerAction &action);
QDBusArgument &operator<<(QDBusArgument &argument, const MessageServerSortElement &element);
const QDBusArgument &operator>>(const QDBusArgument &argument, MessageServerSortElement &element);

// Registers the types with the D-Bus type system; call once before serving.
void registerMessageServerTypes();

#endif // MESSAGESERVER_WIRETYPES_H
