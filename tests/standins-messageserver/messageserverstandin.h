#ifndef MESSAGESERVERSTANDIN_H
#define MESSAGESERVERSTANDIN_H

#include <qmailmessageserverservice.h>

#include <QHash>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// Plays the message server in tests: owns "com.brenmor.qmf.MessageServer" on
// the session bus through a connection of its own, serves the interface
// through the adaptor generated from lib/qmf/com.brenmor.qmf.MessageServer.xml,
// records every request in order and ends each action as the test says:
// successful, failed with a chosen error code, or never (until finish(),
// cancel or quit()).
class MessageServerStandIn : public QMailMessageServerService
{
    Q_OBJECT
public:
    enum Outcome { Succeed, Fail, Never };
    typedef QMailActionData Action;

    struct Request
    {
        QString method; // "ExportUpdates", "TransmitMessages", ...
        quint64 actionId = 0; // the id the request was answered with
        quint64 accountId = 0;
        quint64 folderId = 0; // RetrieveFolderList
        bool descending = false; // RetrieveFolderList
        QList<quint64> folderIds; // RetrieveMessageLists
        uint minimum = 0; // RetrieveMessageLists
        QList<QPair<int, bool>> sort; // RetrieveMessageLists
    };

    explicit MessageServerStandIn(QObject *parent = nullptr);
    ~MessageServerStandIn() override;

    // Connects to the session bus and takes the server's name.
    bool start();
    // Leaves the bus at once, as a crashing server would.
    void quit();

    // How actions of a request ("ExportUpdates", ...) end; by default every
    // action succeeds. Fail reports the action failed with the error code,
    // even a code of 0, and Succeed with a code reports a success that
    // carries it (as a faulty server might).
    void setOutcome(const QString &method, Outcome outcome, int errorCode = 0,
                    const QString &text = QString());
    // Send the action's signals before the request's answer, as a server
    // whose signals overtake its replies would.
    void setSignalsBeforeReply(bool before) { mSignalsBeforeReply = before; }

    QList<Request> requests() const { return mRequests; }
    QStringList methods() const;
    void clearRequests() { mRequests.clear(); }
    QList<Action> actions() const { return mActions; }
    QList<quint64> cancelled() const { return mCancelled; }

    // Ends a running action: error code 0 succeeds, anything else fails.
    bool finish(quint64 actionId, int errorCode, const QString &text = QString());
    bool progress(quint64 actionId, uint value, uint total);
    // Names an action's account in a status signal only, as a server that
    // learns it late: the action list keeps saying none.
    void announceAccount(quint64 actionId, quint64 accountId)
    {
        Q_EMIT StatusChanged(actionId, 0, QString(), accountId, 0, 0);
    }

    // The interface.
    qulonglong ExportUpdates(qulonglong accountId) override;
    qulonglong TransmitMessages(qulonglong accountId) override;
    qulonglong RetrieveFolderList(qulonglong accountId, qulonglong folderId,
                                  bool descending) override;
    qulonglong RetrieveMessageLists(qulonglong accountId, const QList<qulonglong> &folderIds,
                                    uint minimum, const QMailSortElementList &sort) override;
    bool CancelAction(qulonglong actionId) override;
    QMailActionDataList ListActions() override { return mActions; }

private:
    struct Rule
    {
        Outcome outcome = Succeed;
        int errorCode = 0;
        QString text;
    };

    quint64 handleRequest(const QString &method, quint64 accountId, int requestType,
                          Request request);
    void announce(quint64 actionId);
    void conclude(quint64 actionId, const QString &method);
    void end(quint64 actionId, int errorCode, const QString &text, bool failed);
    int indexOf(quint64 actionId) const;

    QString mConnectionName;
    bool mRunning = false;
    bool mSignalsBeforeReply = false;
    quint64 mLastId = 0;
    QHash<QString, Rule> mRules;
    QList<Request> mRequests;
    QList<Action> mActions;
    QList<quint64> mCancelled;
};

#endif // MESSAGESERVERSTANDIN_H
