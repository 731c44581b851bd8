#include "imap/imapconnection.h"

#include "server/credentials.h"
#include "server/messageserverlog.h"

#include <KIMAP/CapabilitiesJob>
#include <KIMAP/LoginJob>
#include <KIMAP/Session>
#include <KIMAP/SessionUiProxy>

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QSslSocket>
#include <QTimer>

namespace {

// Accepts the certificate that CertificateProbe found trusted by fingerprint.
class PinnedCertificateProxy : public KIMAP::SessionUiProxy
{
public:
    bool ignoreSslError(const KSslErrorUiData &) override { return true; }
};

bool isLoopback(const QString &host)
{
    const QHostAddress address(host);
    return host == QLatin1String("localhost") || (!address.isNull() && address.isLoopback());
}

QString normalisedFingerprint(QString text)
{
    return text.remove(QLatin1Char(':')).remove(QLatin1Char(' ')).toLower();
}

} // namespace

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
    if (server.userName.isEmpty()) {
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

ImapConnection::ImapConnection(const AccountConfig &config, QObject *parent)
    : QObject(parent)
    , mConfig(config)
    , mWatchdog(new QTimer(this))
{
    mWatchdog->setSingleShot(true);
    mWatchdog->setInterval(qMax(1, config.timeout) * 1000);
    connect(mWatchdog, &QTimer::timeout, this, [this] {
        qMailLog(MessageServer) << "no answer from" << mConfig.imap.host << "while waiting for"
                                << mWaitingFor;
        fail(QMailServiceAction::Status::ErrTimeout,
             QStringLiteral("No answer from %1 within %2 s")
                 .arg(mConfig.imap.host)
                 .arg(mConfig.timeout));
    });
}

ImapConnection::~ImapConnection()
{
    close();
}

void ImapConnection::open()
{
    const QString invalid = checkServerSettings(mConfig.imap, QStringLiteral("IMAP"));
    if (!invalid.isEmpty()) {
        // Reported once the caller is listening.
        QTimer::singleShot(0, this, [this, invalid] {
            fail(QMailServiceAction::Status::ErrConfiguration, invalid);
        });
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
                     probeServer();
                 });
}

void ImapConnection::probeServer()
{
    auto *probe = new CertificateProbe(mConfig.imap, mConfig.trustedCertificate,
                                       CertificateProbe::Imap, mConfig.timeout, this);
    QElapsedTimer probeTime;
    probeTime.start();
    connect(probe, &CertificateProbe::finished, this,
            [this, probe, probeTime](int verdict, const QString &why) {
                probe->deleteLater();
                mProbeMs = probeTime.elapsed();
                if (verdict != CertificateProbe::Trusted) {
                    fail(CertificateProbe::errorFor(verdict), why);
                    return;
                }
                connectSession();
            });
    mWaitingFor = QStringLiteral("the certificate");
    mWatchdog->start();
    probe->start();
}

void ImapConnection::connectSession()
{
    mSession = new KIMAP::Session(mConfig.imap.host, quint16(mConfig.imap.port), this);
    // The session connects on its own thread from its constructor on, and
    // only then wires up that thread's signals. When the connection is made
    // first (a busy CPU, a near server) the session never learns of it: its
    // login stays queued and not a byte is sent. The probe has just reached
    // the server, so a session still unaware of its connection long after
    // the probe's time is that case, and one fresh session is tried.
    if (!mReconnected) {
        const qint64 graceMs = qMax<qint64>(2000, 10 * mProbeMs);
        if (graceMs < mWatchdog->interval()) {
            QTimer::singleShot(graceMs, mSession, [this] { reconnectIfConnectionMissed(); });
        }
    }
    // Our own watchdog decides about silence; KIMAP's must not come first.
    mSession->setTimeout(mConfig.timeout + 30);
    // The probe has accepted the certificate.
    mSession->setUiProxy(KIMAP::SessionUiProxy::Ptr(new PinnedCertificateProxy));
    // A job that is waiting when the connection goes would otherwise wait for
    // the watchdog.
    for (auto lost : { &KIMAP::Session::connectionLost, &KIMAP::Session::connectionFailed }) {
        connect(mSession, lost, this, [this] {
            fail(QMailServiceAction::Status::ErrNoConnection,
                 QStringLiteral("The connection to %1 was lost").arg(mConfig.imap.host));
        });
    }
    auto *login = new KIMAP::LoginJob(mSession);
    mLogin = login;
    login->setUserName(mConfig.imap.userName);
    login->setPassword(mConfig.password);
    login->setAuthenticationMode(KIMAP::LoginJob::ClearText);
    login->setEncryptionMode(
        mConfig.imap.encryption == QLatin1String("tls")            ? KIMAP::LoginJob::SSLorTLS
            : mConfig.imap.encryption == QLatin1String("starttls") ? KIMAP::LoginJob::STARTTLS
                                                                   : KIMAP::LoginJob::Unencrypted);
    run(login, [this] {
        auto *capabilities = new KIMAP::CapabilitiesJob(mSession);
        run(capabilities, [this, capabilities] {
            mCapabilities = capabilities->capabilities();
            Q_EMIT ready();
        });
    });
}

void ImapConnection::reconnectIfConnectionMissed()
{
    // The session takes the login's user name when it learns of its
    // connection, and only then.
    if (mClosed || !mLogin || !mSession->userName().isEmpty()) {
        return; // from here on the watchdog judges
    }
    qMailLog(MessageServer) << "the session with" << mConfig.imap.host
                            << "missed its connection; connecting again";
    mReconnected = true;
    mLogin->disconnect(this);
    mSession->disconnect(this);
    mSession->close();
    mSession->deleteLater();
    connectSession();
}

void ImapConnection::run(KJob *job, const std::function<void()> &next, bool watch)
{
    const bool login = qobject_cast<KIMAP::LoginJob *>(job) != nullptr;
    connect(job, &KJob::result, this, [this, next, login](KJob *done) {
        if (mClosed) {
            return;
        }
        mWatchdog->stop();
        if (done->error() != 0) {
            fail(codeFor(done, login), done->errorString());
            return;
        }
        next();
    });
    if (watch) {
        mWaitingFor = QString::fromLatin1(job->metaObject()->className());
        mWatchdog->start();
    }
    job->start();
}

void ImapConnection::heardFromServer()
{
    if (mWatchdog->isActive()) {
        mWatchdog->start();
    }
}

ErrorCode ImapConnection::codeFor(KJob *job, bool login) const
{
    const QString text = job->errorString();
    qMailLog(MessageServer) << "IMAP job failed:" << job->error() << text;
    // KIMAP writes response codes out as "[ INUSE  ]".
    if (text.contains(QLatin1String("INUSE"))) {
        return QMailServiceAction::Status::ErrConnectionInUse;
    }
    if (job->error() == KIMAP::LoginJob::ERR_COULD_NOT_CONNECT) {
        return QMailServiceAction::Status::ErrNoConnection;
    }
    if (login && text.contains(QLatin1String("auth"), Qt::CaseInsensitive)) {
        return QMailServiceAction::Status::ErrLoginFailed;
    }
    return QMailServiceAction::Status::ErrUnknownResponse;
}

void ImapConnection::fail(ErrorCode code, const QString &text)
{
    if (mClosed) {
        return;
    }
    close();
    Q_EMIT failed(code, text);
}

void ImapConnection::close()
{
    if (mClosed) {
        return;
    }
    mClosed = true;
    mWatchdog->stop();
    if (mSession) {
        mSession->close();
        mSession->deleteLater();
    }
}
