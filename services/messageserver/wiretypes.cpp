#include "wiretypes.h"

#include <QDBusMetaType>

QDBusArgument &operator<<(QDBusArgument &argument, const MessageServerAction &action)
{
    argument.beginStructure();
    argument << qulonglong(action.id) << action.requestType << qulonglong(action.accountId)
             << qulonglong(action.folderId) << qulonglong(action.messageId) << action.statusText
             << action.errorCode << action.activity << action.connectivity << action.progress
             << action.total << action.totalProgress;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, MessageServerAction &action)
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

QDBusArgument &operator<<(QDBusArgument &argument, const MessageServerSortElement &element)
{
    argument.beginStructure();
    argument << element.property << element.ascending;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, MessageServerSortElement &element)
{
    argument.beginStructure();
    argument >> element.property >> element.ascending;
    argument.endStructure();
    return argument;
}

void registerMessageServerTypes()
{
    qDBusRegisterMetaType<MessageServerAction>();
    qDBusRegisterMetaType<MessageServerActionList>();
    qDBusRegisterMetaType<MessageServerSortElement>();
    qDBusRegisterMetaType<MessageServerSortList>();
}
