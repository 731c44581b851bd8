#ifndef IMAPCONNECTION_H
#define IMAPCONNECTION_H

#include "server/mailbackend.h"

#include <qmailserviceaction.h>

#include <QObject>
#include <QPointer>
#include <QStringList>

#include <functional>

#include <KIMAP/LoginJob>
#include <KIMAP/Session>

class KJob;
class QSslSocket;
class QTimer;

using ErrorCode = QMailServiceAction::Status::ErrorCode;

// Why the server settings cannot be used (empty when they can): a missing
// host or user name, a bad port or encryption, or no encryption to a host
// that is not this machine.
QString checkServerSettings(const AccountConfig::Server &server, const QString &kind);

// Looks at a server's certificate before a session trusts it: a certificate
// the system trust store accepts passes, and so does one whose SHA-256
// fingerprint the account names ("certificateSha256"), for a self-signed
// server; any other is refused. For STARTTLS it speaks the protocol's few
// words (IMAP or SMTP) up to the handshake.
class CertificateProbe : public QObject
{
    Q_OBJECT
public:
    enum Protocol { Imap, Smtp };
    enum Verdict { Trusted, Untrusted, Unreachable, Silent, NotAServer };
    CertificateProbe(const AccountConfig::Server &server, const QString &fingerprint,
                     Protocol protocol, int timeout, QObject *parent = nullptr);
    void start();

    // The status code for a verdict other than Trusted.
    static ErrorCode errorFor(int verdict);

Q_SIGNALS:
    // Trusted: the session may accept the certificate (even despite errors);
    // Untrusted: it must not; Unreachable: no connection could be made or
    // kept; Silent: no answer in time; NotAServer: the greeting was not one
    // of the protocol's. Only Trusted lets a session follow: a session of the
    // KDE libraries that fails to connect before its first job is queued may
    // never report it.
    void finished(int verdict, const QString &why);

private:
    void onLine(const QByteArray &line);
    void onSslErrors();
    void finish(Verdict verdict, const QString &why);

    AccountConfig::Server mServer;
    QString mFingerprint;
    Protocol mProtocol;
    int mTimeout;
    QSslSocket *mSocket;
    QByteArray mBuffer;
    int mStep = 0;
    bool mDone = false;
};

// One logged-in IMAP session of an account, in the manner of the KDE PIM
// resources: settings checked, certificate looked at, connected and logged
// in; then ready() and the caller chains its KIMAP jobs on session().
// Failures come as failed() with the framework's code: refused login 1029,
// unreachable server 1034, no answer 1040 (every job must answer within
// the account's "timeout"), unparseable answer 1028, mailbox in use
// elsewhere 1035, unusable settings or certificate 1037.
class ImapConnection : public QObject
{
    Q_OBJECT
public:
    ImapConnection(const AccountConfig &config, QObject *parent = nullptr);
    ~ImapConnection() override;

    void open();
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
    void close();

Q_SIGNALS:
    void ready();
    void failed(ErrorCode code, const QString &text);

private:
    void probeServer();
    void connectSession();
    void reconnectIfConnectionMissed();
    void fail(ErrorCode code, const QString &text);
    ErrorCode codeFor(KJob *job, bool login) const;

    AccountConfig mConfig;
    QPointer<KIMAP::Session> mSession;
    QStringList mCapabilities;
    QTimer *mWatchdog;
    // What the watchdog waits for, named in its log line.
    QString mWaitingFor;
    // How long the certificate look took: the session's own connection
    // should take about as long.
    qint64 mProbeMs = 0;
    QPointer<KIMAP::LoginJob> mLogin;
    bool mReconnected = false;
    bool mClosed = false;
};

#endif // IMAPCONNECTION_H
