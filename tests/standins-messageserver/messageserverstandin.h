#ifndef MESSAGESERVERSTANDIN_H
#define MESSAGESERVERSTANDIN_H

#include <QDBusConnection>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

class MessageServerStandInAdaptor;

// Plays the message server in tests: owns "com.brenmor.qmf.MessageServer" on
// the session bus through a connection of its own, serves the interface of
// lib/qmf/com.brenmor.qmf.MessageServer.xml, records every request in order
// and ends each action as the test says: successful, failed with a chosen
// error code, or never (until finish() or quit()).
class MessageServerStandIn : public QObject
{
    Q_OBJECT
public:
    enum Outcome { Succeed, Fail, Never };

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

    struct Action
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

    explicit MessageServerStandIn(QObject *parent = nullptr);
    ~MessageServerStandIn() override;

    // Connects to the session bus and takes the server's name.
    bool start();
    // Leaves the bus at once, as a crashing server would.
    void quit();
    bool isRunning() const { return mRunning; }

    // How actions of a request ("ExportUpdates", ...) end; by default every
    // action succeeds. Fail reports the action failed with the error code,
    // even a code of 0 (as a faulty server might).
    void setOutcome(const QString &method, Outcome outcome, int errorCode = 0,
                    const QString &text = QString());
    // Send the action's signals before the request's answer, as a server
    // whose signals overtake its replies would.
    void setSignalsBeforeReply(bool before) { mSignalsBeforeReply = before; }

    QList<Request> requests() const { return mRequests; }
    QStringList methods() const;
    void clearRequests() { mRequests.clear(); }
    QList<Action> actions() const { return mActions; }

    // Ends a running action: error code 0 succeeds, anything else fails.
    bool finish(quint64 actionId, int errorCode, const QString &text = QString());

    // Called by the D-Bus adaptor.
    quint64 handleRequest(const Request &request, int requestType);
    bool handleCancel(quint64 actionId);

Q_SIGNALS:
    void requestReceived(const QString &method);

private:
    struct Rule
    {
        Outcome outcome = Succeed;
        int errorCode = 0;
        QString text;
    };

    void announce(quint64 actionId);
    void conclude(quint64 actionId);
    void end(quint64 actionId, int errorCode, const QString &text, bool failed);
    int indexOf(quint64 actionId) const;
    void emitSignal(const QString &name, const QList<QVariant> &arguments);
    void emitActionsChanged();

    QString mConnectionName;
    bool mRunning = false;
    bool mSignalsBeforeReply = false;
    quint64 mLastId = 0;
    QHash<QString, Rule> mRules;
    QList<Request> mRequests;
    QList<Action> mActions;
    MessageServerStandInAdaptor *mAdaptor = nullptr;
};

#endif // MESSAGESERVERSTANDIN_H
