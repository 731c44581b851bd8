#include "net/serverconnection.h"

#include "server/credentials.h"
#include "server/messageserverlog.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QSslSocket>
#include <QTimer>

namespace {

bool isLoopback(const QString &host)
{
    const QHostAddress address(host);
    return host == QLatin1String("localhost") || (!address.isNull() && address.isLoopback());
}

QString normalisedFingerprint(QString text)
{
    return text.remove(QLatin1Char(':')).remove(QLatin1Char(' ')).toLower();
}

// The layout of KIO's KSslErrorUiData (KIO 5, ksslerroruidata_p.h): one
// pointer to its private record, which starts with the peer's certificate
// chain, then a list of the handshake errors, the peer's address and its
// host name.
struct SslErrorRecord
{
    QList<QSslCertificate> certificateChain;
    QList<void *> errors; // not read: its element type changed across versions
    QString ip;
    QString host;
};

} // namespace

QString certificateRefusal(const KSslErrorUiData &data, const QString &host,
                           const QString &fingerprint)
{
    const auto *record = *reinterpret_cast<const SslErrorRecord *const *>(&data);
    // A record of another layout names no host we asked for: refused.
    if (record == nullptr || record->host != host || record->certificateChain.isEmpty()) {
        return QStringLiteral("The certificate of %1 could not be read").arg(host);
    }
    const QString digest = QString::fromLatin1(
        record->certificateChain.first().digest(QCryptographicHash::Sha256).toHex());
    const QString pinned = normalisedFingerprint(fingerprint);
    if (!pinned.isEmpty() && digest == pinned) {
        return QString();
    }
    return QStringLiteral("The certificate of %1 is not trusted (%2SHA-256 %3)")
        .arg(host, pinned.isEmpty() ? QString() : QStringLiteral("not the pinned one; "), digest);
}

QString checkServerSettings(const AccountConfig::Server &server, const QString &kind)
{
    static const QStringList modes
        = { QStringLiteral("tls"), QStringLiteral("starttls"), QStringLiteral("none") };
    if (server.host.isEmpty()) {
        return QStringLiteral("No %1 server is set").arg(kind);
    }
    if (server.port <= 0 || server.port > 65535) {
        return QStringLiteral("The %1 port %2 is not valid").arg(kind).arg(server.port);
    }
    if (!modes.contains(server.encryption)) {
        return QStringLiteral("The %1 encryption \"%2\" is not tls, starttls or none")
            .arg(kind, server.encryption);
    }
    if (server.encryption == QLatin1String("none") && !isLoopback(server.host)) {
        return QStringLiteral("The %1 server %2 would be reached unencrypted; only this machine "
                              "may be")
            .arg(kind, server.host);
    }
    if (server.login && server.userName.isEmpty()) {
        return QStringLiteral("No user name is set for the %1 server").arg(kind);
    }
    return QString();
}

CertificateProbe::CertificateProbe(const AccountConfig::Server &server, const QString &fingerprint,
                                   Protocol protocol, int timeout, QObject *parent)
    : QObject(parent)
    , mServer(server)
    , mFingerprint(normalisedFingerprint(fingerprint))
    , mProtocol(protocol)
    , mTimeout(timeout)
    , mSocket(new QSslSocket(this))
{
    connect(mSocket, &QSslSocket::encrypted, this, [this] { finish(Trusted, QString()); });
    connect(mSocket, qOverload<const QList<QSslError> &>(&QSslSocket::sslErrors), this,
            &CertificateProbe::onSslErrors);
    connect(mSocket, &QAbstractSocket::errorOccurred, this, [this] {
        finish(Unreachable,
               QStringLiteral("Cannot reach %1 on port %2: %3")
                   .arg(mServer.host)
                   .arg(mServer.port)
                   .arg(mSocket->errorString()));
    });
    connect(mSocket, &QIODevice::readyRead, this, [this] {
        mBuffer += mSocket->readAll();
        int end;
        while (!mDone && mStep < 3 && (end = mBuffer.indexOf('\n')) >= 0) {
            const QByteArray line = mBuffer.left(end + 1);
            mBuffer.remove(0, end + 1);
            onLine(line);
        }
    });
}

void CertificateProbe::start()
{
    QTimer::singleShot(qMax(1, mTimeout) * 1000, this, [this] {
        finish(Silent,
               QStringLiteral("No answer from %1 within %2 s").arg(mServer.host).arg(mTimeout));
    });
    if (mServer.encryption == QLatin1String("tls")) {
        mStep = 3;
        mSocket->connectToHostEncrypted(mServer.host, quint16(mServer.port));
    } else {
        mSocket->connectToHost(mServer.host, quint16(mServer.port));
    }
}

ErrorCode CertificateProbe::errorFor(int verdict)
{
    switch (verdict) {
    case Untrusted:
        return QMailServiceAction::Status::ErrConfiguration;
    case Unreachable:
        return QMailServiceAction::Status::ErrNoConnection;
    case Silent:
        return QMailServiceAction::Status::ErrTimeout;
    default:
        return QMailServiceAction::Status::ErrUnknownResponse;
    }
}

void CertificateProbe::onLine(const QByteArray &line)
{
    // IMAP: greeting, "p STARTTLS", "p OK". SMTP: greeting, EHLO, STARTTLS, "220".
    const bool last = mProtocol == Imap || line.size() < 4 || line.at(3) == ' ';
    if (!last) {
        return;
    }
    if (mStep == 0) {
        const bool greeting = mProtocol == Imap
            ? line.startsWith("* OK") || line.startsWith("* PREAUTH")
            : line.startsWith("220");
        if (!greeting) {
            finish(NotAServer,
                   QStringLiteral("%1 did not greet as an %2 server")
                       .arg(mServer.host,
                            mProtocol == Imap ? QStringLiteral("IMAP") : QStringLiteral("SMTP")));
            return;
        }
        if (mServer.encryption == QLatin1String("none")) {
            finish(Trusted, QString()); // nothing to look at
            return;
        }
    }
    if (mProtocol == Imap) {
        if (mStep == 0) {
            mSocket->write("p STARTTLS\r\n");
            mStep = 2;
        } else if (line.startsWith("p ")) {
            mStep = 3;
            mSocket->startClientEncryption();
        }
    } else if (mStep == 0) {
        mSocket->write("EHLO probe\r\n");
        mStep = 1;
    } else if (mStep == 1) {
        mSocket->write("STARTTLS\r\n");
        mStep = 2;
    } else {
        mStep = 3;
        mSocket->startClientEncryption();
    }
}

void CertificateProbe::onSslErrors()
{
    const QByteArray digest = mSocket->peerCertificate().digest(QCryptographicHash::Sha256).toHex();
    if (!mFingerprint.isEmpty() && QString::fromLatin1(digest) == mFingerprint) {
        finish(Trusted, QString());
        return;
    }
    QStringList errors;
    for (const QSslError &error : mSocket->sslHandshakeErrors()) {
        errors.append(error.errorString());
    }
    finish(Untrusted,
           QStringLiteral("The certificate of %1 is not trusted (%2; SHA-256 %3)")
               .arg(mServer.host, errors.join(QStringLiteral(", ")), QString::fromLatin1(digest)));
}

void CertificateProbe::finish(Verdict verdict, const QString &why)
{
    if (mDone) {
        return;
    }
    mDone = true;
    mSocket->abort();
    Q_EMIT finished(verdict, why);
}

ServerConnection::ServerConnection(const AccountConfig &config, const AccountConfig::Server &server,
                                   CertificateProbe::Protocol protocol, QObject *parent)
    : QObject(parent)
    , mConfig(config)
    , mServer(server)
    , mWatchdog(new QTimer(this))
    , mProtocol(protocol)
{
    mWatchdog->setSingleShot(true);
    mWatchdog->setInterval(qMax(1, config.timeout) * 1000);
    connect(mWatchdog, &QTimer::timeout, this, [this] {
        qMailLog(MessageServer) << "no answer from" << mServer.host << "while waiting for"
                                << mWaitingFor;
        fail(
            QMailServiceAction::Status::ErrTimeout,
            QStringLiteral("No answer from %1 within %2 s").arg(mServer.host).arg(mConfig.timeout));
    });
}

ServerConnection::~ServerConnection() = default;

void ServerConnection::open()
{
    const QString invalid = checkServerSettings(
        mServer,
        mProtocol == CertificateProbe::Imap ? QStringLiteral("IMAP") : QStringLiteral("SMTP"));
    if (!invalid.isEmpty()) {
        // Reported once the caller is listening.
        QTimer::singleShot(0, this, [this, invalid] {
            fail(QMailServiceAction::Status::ErrConfiguration, invalid);
        });
        return;
    }
    if (!mServer.login) {
        startSession();
        return;
    }
    readPassword(mConfig.credentialsId, mConfig.timeout, this,
                 [this](const QString &password, const QString &error) {
                     if (mClosed) {
                         return;
                     }
                     if (password.isEmpty()) {
                         fail(QMailServiceAction::Status::ErrConfiguration, error);
                         return;
                     }
                     mConfig.password = password;
                     startSession();
                 });
}

void ServerConnection::startSession()
{
    // The session checks the certificate itself; a probe looks at the
    // server only once a session failed before its login, to tell why.
    mWaitingFor = mProtocol == CertificateProbe::Imap ? QStringLiteral("the IMAP session")
                                                      : QStringLiteral("the SMTP session");
    mWatchdog->start();
    connectSession(mServer.encryption != QLatin1String("none"));
}

void ServerConnection::refuseCertificate(const QString &refusal)
{
    // The session's record of the handshake names the certificate's
    // fingerprint; when it could not be read, the probe's look names it.
    if (refusal.contains(QLatin1String("SHA-256"))) {
        fail(QMailServiceAction::Status::ErrConfiguration, refusal);
    } else {
        failExplained(QMailServiceAction::Status::ErrConfiguration, refusal);
    }
}

void ServerConnection::failExplained(ErrorCode code, const QString &text)
{
    if (mClosed || mExplaining) {
        return;
    }
    mExplaining = true;
    mWatchdog->stop(); // the probe keeps its own time
    auto *probe = new CertificateProbe(mServer, mConfig.trustedCertificate, mProtocol,
                                       mConfig.timeout, this);
    connect(probe, &CertificateProbe::finished, this,
            [this, probe, code, text](int verdict, const QString &why) {
                probe->deleteLater();
                mExplaining = false;
                if (verdict != CertificateProbe::Trusted) {
                    fail(CertificateProbe::errorFor(verdict), why);
                } else {
                    fail(code, text);
                }
            });
    probe->start();
}

void ServerConnection::fail(ErrorCode code, const QString &text)
{
    if (mClosed || mExplaining) { // the session's last words wait for the probe's
        return;
    }
    close();
    Q_EMIT failed(code, text);
}

void ServerConnection::close()
{
    if (mClosed) {
        return;
    }
    mClosed = true;
    mWatchdog->stop();
    closeSession();
}
