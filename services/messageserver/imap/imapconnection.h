#ifndef IMAPCONNECTION_H
#define IMAPCONNECTION_H

#include "net/serverconnection.h"

#include <qmailserviceaction.h>

#include <QObject>
#include <QPointer>
#include <QStringList>

#include <functional>
#include <memory>

#include <KIMAP/LoginJob>
#include <KIMAP/Session>

class KJob;

// One logged-in IMAP session of an account, in the manner of the KDE PIM
// resources: settings checked, certificate looked at, connected and logged
// in; then ready() and the caller chains its KIMAP jobs on session().
// Failures come as failed() with the framework's code: refused login 1029,
// unreachable server 1034, no answer 1040 (every job must answer within
// the account's "timeout"), unparseable answer 1028, mailbox in use
// elsewhere 1035, unusable settings or certificate 1037.
class ImapConnection : public ServerConnection
{
    Q_OBJECT
public:
    ImapConnection(const AccountConfig &config, QObject *parent = nullptr);
    ~ImapConnection() override;

    KIMAP::Session *session() const { return mSession; }
    // Whether the server named the capability after the login.
    bool hasCapability(const QString &name) const
    {
        return mCapabilities.contains(name, Qt::CaseInsensitive);
    }
    // Starts a KIMAP job on the session; `next` runs when it succeeded, and
    // failed() is emitted when it did not. A job that leaves the connection
    // idle on purpose (IDLE) passes watch = false.
    void run(KJob *job, const std::function<void()> &next, bool watch = true);
    // The server has said something: the answer time starts again.
    void heardFromServer();

protected:
    void connectSession(bool trusted) override;
    void closeSession() override;

private:
    void reconnectIfConnectionMissed();
    ErrorCode codeFor(KJob *job, bool login) const;

    QPointer<KIMAP::Session> mSession;
    QStringList mCapabilities;
    QPointer<KIMAP::LoginJob> mLogin;
    bool mReconnected = false;
    // Why the session refused the server's certificate (empty: it did not).
    std::shared_ptr<QString> mCertificateRefusal = std::make_shared<QString>();
};

#endif // IMAPCONNECTION_H
