#include "imap/imapconnection.h"

#include "server/messageserverlog.h"

#include <KIMAP/CapabilitiesJob>
#include <KIMAP/LoginJob>
#include <KIMAP/Session>
#include <KIMAP/SessionUiProxy>

#include <QTimer>

namespace {

// Accepts a certificate the system refuses only when it is the pinned one;
// why it refused another is kept for the failure.
class PinnedCertificateProxy : public KIMAP::SessionUiProxy
{
public:
    PinnedCertificateProxy(const QString &host, const QString &fingerprint,
                           std::shared_ptr<QString> refusal)
        : mHost(host)
        , mFingerprint(fingerprint)
        , mRefusal(std::move(refusal))
    { }
    bool ignoreSslError(const KSslErrorUiData &data) override
    {
        *mRefusal = certificateRefusal(data, mHost, mFingerprint);
        return mRefusal->isEmpty();
    }

private:
    QString mHost;
    QString mFingerprint;
    std::shared_ptr<QString> mRefusal;
};

} // namespace

ImapConnection::ImapConnection(const AccountConfig &config, QObject *parent)
    : ServerConnection(config, config.imap, CertificateProbe::Imap, parent)
{ }

ImapConnection::~ImapConnection()
{
    close();
}

void ImapConnection::connectSession(bool)
{
    mSession = new KIMAP::Session(mConfig.imap.host, quint16(mConfig.imap.port), this);
    // The session connects on its own thread from its constructor on, and
    // only then wires up that thread's signals. When the connection is made
    // first (a busy CPU, a near server) the session never learns of it: its
    // login stays queued and not a byte is sent. A session still unaware of
    // its connection after a while is that case, and one fresh session is
    // tried.
    if (!mReconnected) {
        const qint64 graceMs = 2000;
        if (graceMs < mWatchdog->interval()) {
            QTimer::singleShot(graceMs, mSession, [this] { reconnectIfConnectionMissed(); });
        }
    }
    // Our own watchdog decides about silence; KIMAP's must not come first.
    mSession->setTimeout(mConfig.timeout + 30);
    // The session that logs in checks the certificate itself.
    mCertificateRefusal->clear();
    mSession->setUiProxy(KIMAP::SessionUiProxy::Ptr(new PinnedCertificateProxy(
        mConfig.imap.host, mConfig.trustedCertificate, mCertificateRefusal)));
    // A job that is waiting when the connection goes would otherwise wait for
    // the watchdog.
    for (auto lost : { &KIMAP::Session::connectionLost, &KIMAP::Session::connectionFailed }) {
        connect(mSession, lost, this, [this] {
            const QString lost
                = QStringLiteral("The connection to %1 was lost").arg(mConfig.imap.host);
            if (!mCertificateRefusal->isEmpty()) {
                refuseCertificate(*mCertificateRefusal);
            } else if (mLogin) {
                failExplained(QMailServiceAction::Status::ErrNoConnection, lost);
            } else {
                fail(QMailServiceAction::Status::ErrNoConnection, lost);
            }
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
    if (isClosed() || !mLogin || !mSession->userName().isEmpty()) {
        return; // from here on the watchdog judges
    }
    qMailLog(MessageServer) << "the session with" << mConfig.imap.host
                            << "missed its connection; connecting again";
    mReconnected = true;
    mLogin->disconnect(this);
    mSession->disconnect(this);
    mSession->close();
    mSession->deleteLater();
    connectSession(true);
}

void ImapConnection::run(KJob *job, const std::function<void()> &next, bool watch)
{
    const bool login = qobject_cast<KIMAP::LoginJob *>(job) != nullptr;
    connect(job, &KJob::result, this, [this, next, login](KJob *done) {
        if (isClosed()) {
            return;
        }
        mWatchdog->stop();
        if (!mCertificateRefusal->isEmpty()) {
            refuseCertificate(*mCertificateRefusal);
            return;
        }
        if (done->error() != 0) {
            const ErrorCode code = codeFor(done, login);
            if (login && code != QMailServiceAction::Status::ErrLoginFailed) {
                failExplained(code, done->errorString());
            } else {
                fail(code, done->errorString());
            }
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

void ImapConnection::closeSession()
{
    if (mSession) {
        mSession->close();
        mSession->deleteLater();
    }
}
