#ifndef QMAILMESSAGESERVERSERVICE_H
#define QMAILMESSAGESERVERSERVICE_H

#include "qmailwiretypes.h"

#include <QObject>

// The server side of com.brenmor.qmf.MessageServer.xml. A message server
// derives from this class, carries out the requests and emits the signals;
// QMailMessageServerAdaptor (generated from the same XML, library
// qmfmessageserver) serves the object on the bus: create the adaptor with the
// object as its parent and register the object at QMF_MESSAGESERVER_PATH.
class QMailMessageServerService : public QObject
{
    Q_OBJECT
public:
    // Registers the wire types with QtDBus first: a server may use nothing
    // else of this library, and the adaptor finds a slot for an incoming call
    // only when every argument type is registered.
    explicit QMailMessageServerService(QObject *parent = nullptr);

    virtual qulonglong ExportUpdates(qulonglong accountId) = 0;
    virtual qulonglong TransmitMessages(qulonglong accountId) = 0;
    virtual qulonglong RetrieveFolderList(qulonglong accountId, qulonglong folderId,
                                          bool descending)
        = 0;
    virtual qulonglong RetrieveMessageLists(qulonglong accountId,
                                            const QList<qulonglong> &folderIds, uint minimum,
                                            const QMailSortElementList &sort)
        = 0;
    virtual bool CancelAction(qulonglong actionId) = 0;
    virtual QMailActionDataList ListActions() = 0;

Q_SIGNALS:
    // Relayed to the bus by the adaptor, which knows them by these names.
    void ActionsChanged(const QMailActionDataList &actions);
    void ActivityChanged(qulonglong actionId, int activity);
    void StatusChanged(qulonglong actionId, int errorCode, const QString &text,
                       qulonglong accountId, qulonglong folderId, qulonglong messageId);
    void ConnectivityChanged(qulonglong actionId, int connectivity);
    void ProgressChanged(qulonglong actionId, uint value, uint total);
};

#endif // QMAILMESSAGESERVERSERVICE_H
