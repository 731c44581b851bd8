#ifndef MESSAGESERVERCLIENT_H
#define MESSAGESERVERCLIENT_H

#include <QHash>
#include <QObject>
#include <QStringList>
#include <QVariant>
#include <qmailwiretypes.h>

#include <memory>

class ProcessRunner;
class QDBusMessage;

// The real message server of a test, run on the test's private session bus,
// and everything it has said about each action, in order.
class MessageServerClient : public QObject
{
    Q_OBJECT

public:
    struct Heard
    {
        QStringList events; // "listed", "activity 1", "status 0", ..., "unlisted"
        int finalCode = -1;
        int requestType = -1;
        int activity = 0;
        uint progress = 0;
    };

    // Listens on the session bus: call after it has been started.
    MessageServerClient();
    ~MessageServerClient() override;

    // Starts the binary and waits until it owns its bus name. A file-size
    // limit (KiB) plays a full disk for the server's own writes.
    bool start(int fileSizeLimitKiB = 0);
    // kill -9, and waits until its bus name is gone.
    bool kill();
    // SIGTERM, and waits for it to end; false when it does not.
    bool terminate();
    // The lines of its standard error that hold the text.
    QStringList logLines(const QString &text);

    // Calls a method of the server's interface; the action id, 0 on an error.
    quint64 request(const QString &method, const QList<QVariant> &arguments);
    // Asks for the message lists of the account's given folders (all when empty).
    quint64 retrieveMessageLists(quint64 account, const QList<qulonglong> &folders,
                                 uint minimum = 20);
    // Waits for the action to end; its final status code, -1 if it never ends.
    int outcome(quint64 action, int timeoutMs = 60000);
    // What the server says is running now.
    QMailActionDataList listActions();
    Heard heard(quint64 action) const { return mHeard.value(action); }
    const QHash<quint64, Heard> &allHeard() const { return mHeard; }

private Q_SLOTS:
    void onActivity(qulonglong id, int activity);
    void onStatus(qulonglong id, int code, const QString &text, qulonglong account,
                  qulonglong folder, qulonglong message);
    void onProgress(qulonglong id, uint value, uint total);
    void onActions(const QDBusMessage &message);

private:
    std::unique_ptr<ProcessRunner> mServer;
    QHash<quint64, Heard> mHeard;
};

#endif // MESSAGESERVERCLIENT_H
