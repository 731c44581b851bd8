#ifndef SERVERCONNECTION_H
#define SERVERCONNECTION_H

#include "server/mailbackend.h"

#include <qmailserviceaction.h>

#include <QObject>

class KSslErrorUiData;
class QSslSocket;
class QTimer;

using ErrorCode = QMailServiceAction::Status::ErrorCode;

// Why the server settings cannot be used (empty when they can): a missing
// host or user name, a bad port or encryption, or no encryption to a host
// that is not this machine.
QString checkServerSettings(const AccountConfig::Server &server, const QString &kind);

// The session that logs in checks the certificate itself: one the system
// trust store accepts never gets here; one it refuses is accepted only when
// it is the certificate the account pins by its SHA-256 fingerprint (the
// "certificateSha256" setting). Returns why it is refused, or nothing. The
// KDE libraries hand their session's handshake over only as this opaque
// record, so the certificate is read from it here, in one place.
QString certificateRefusal(const KSslErrorUiData &data, const QString &host,
                           const QString &fingerprint);

// Looks at a server's certificate once a session has failed before its
// login, to tell why: a certificate
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

// What an IMAP and an SMTP connection do alike before their session: the
// settings checked and the password read from the credentials service,
// within the account's answer time (the watchdog, which the session goes on
// using); then connectSession(). The session checks the certificate itself,
// and a probe looks at the server only when it failed before its login, to
// tell why. A failure is reported once, as failed(), and closes the
// connection.
class ServerConnection : public QObject
{
    Q_OBJECT
public:
    ~ServerConnection() override;

    void open();
    void close();

Q_SIGNALS:
    void ready();
    void failed(ErrorCode code, const QString &text);

protected:
    ServerConnection(const AccountConfig &config, const AccountConfig::Server &server,
                     CertificateProbe::Protocol protocol, QObject *parent);
    // Connects and logs in; `encrypted`: the session is to check the
    // certificate (false: the server is reached in the clear and has none).
    virtual void connectSession(bool encrypted) = 0;
    // Ends the session, once; from close() and so from fail().
    virtual void closeSession() = 0;
    void fail(ErrorCode code, const QString &text);
    // A session that failed before its login: a probe tells a server that
    // is unreachable, silent, no server of the protocol or untrusted from a
    // lost connection, which is reported as given.
    void failExplained(ErrorCode code, const QString &text);
    // The session refused the server's certificate, for the reason given.
    void refuseCertificate(const QString &refusal);
    bool isClosed() const { return mClosed; }

    AccountConfig mConfig; // with the password once it is read
    AccountConfig::Server mServer;
    QTimer *mWatchdog;
    // What the watchdog waits for, named in its log line.
    QString mWaitingFor;

private:
    void startSession();

    CertificateProbe::Protocol mProtocol;
    bool mClosed = false;
    bool mExplaining = false;
};

#endif // SERVERCONNECTION_H
