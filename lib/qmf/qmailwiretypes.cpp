#include "qmailwiretypes.h"

#include "qmailmessageserverservice.h"

#include <QDBusArgument>
#include <QDBusMetaType>

namespace {

void registerWireTypes()
{
    qDBusRegisterMetaType<QMailActionData>();
    qDBusRegisterMetaType<QMailActionDataList>();
    qDBusRegisterMetaType<QMailSortElement>();
    qDBusRegisterMetaType<QMailSortElementList>();
    // The folder ids of a message-list request; a server that uses nothing
    // else would otherwise not know the type by name.
    qDBusRegisterMetaType<QList<qulonglong>>();
}
Q_CONSTRUCTOR_FUNCTION(registerWireTypes)

} // namespace

QMailMessageServerService::QMailMessageServerService(QObject *parent)
    : QObject(parent)
{
    registerWireTypes();
}

QDBusArgument &operator<<(QDBusArgument &argument, const QMailActionData &action)
{
    argument.beginStructure();
    argument << qulonglong(action.id) << action.requestType << qulonglong(action.accountId)
             << qulonglong(action.folderId) << qulonglong(action.messageId) << action.statusText
             << action.errorCode << action.activity << action.connectivity << action.progress
             << action.total << action.totalProgress;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, QMailActionData &action)
{
    qulonglong id = 0, account = 0, folder = 0, message = 0;
    argument.beginStructure();
    argument >> id >> action.requestType >> account >> folder >> message >> action.statusText
        >> action.errorCode >> action.activity >> action.connectivity >> action.progress
        >> action.total >> action.totalProgress;
    argument.endStructure();
    action.id = id;
    action.accountId = account;
    action.folderId = folder;
    action.messageId = message;
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const QMailSortElement &element)
{
    argument.beginStructure();
    argument << element.property << element.ascending;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, QMailSortElement &element)
{
    argument.beginStructure();
    argument >> element.property >> element.ascending;
    argument.endStructure();
    return argument;
}
