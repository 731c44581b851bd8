#include "smtp/smtpsender.h"

#include "server/credentials.h"

#include "server/messageserverlog.h"

#include <KSMTP/LoginJob>
#include <KSMTP/SendJob>
#include <KSMTP/Session>
#include <KSMTP/SessionUiProxy>

#include <QRegularExpression>
#include <QTimer>

namespace {

// Accepts the certificate that CertificateProbe found trusted by fingerprint.
class PinnedCertificateProxy : public KSmtp::SessionUiProxy
{
public:
    bool ignoreSslError(const KSslErrorUiData &) override { return true; }
};

} // namespace

SmtpSender::SmtpSender(const AccountConfig &config, QObject *parent)
    : QObject(parent)
    , mConfig(config)
    , mServer(config.smtp)
    , mWatchdog(new QTimer(this))
{
    // An account with one server name and one user name for both protocols
    // need not give them twice.
    if (mServer.host.isEmpty()) {
        mServer.host = config.imap.host;
    }
    if (mServer.userName.isEmpty()) {
        mServer.userName = config.imap.userName;
    }
    mWatchdog->setSingleShot(true);
    mWatchdog->setInterval(qMax(1, config.timeout) * 1000);
    connect(mWatchdog, &QTimer::timeout, this, [this] {
        fail(
            QMailServiceAction::Status::ErrTimeout,
            QStringLiteral("No answer from %1 within %2 s").arg(mServer.host).arg(mConfig.timeout));
    });
}

SmtpSender::~SmtpSender()
{
    close();
}

void SmtpSender::open()
{
    const QString invalid = checkServerSettings(mServer, QStringLiteral("SMTP"));
    if (!invalid.isEmpty()) {
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

void SmtpSender::probeServer()
{
    mWatchdog->start();
    if (mServer.encryption == QLatin1String("none")) {
        connectSession(false);
        return;
    }
    auto *probe = new CertificateProbe(mServer, mConfig.trustedCertificate, CertificateProbe::Smtp,
                                       mConfig.timeout, this);
    connect(probe, &CertificateProbe::finished, this,
            [this, probe](int verdict, const QString &why) {
                probe->deleteLater();
                if (verdict != CertificateProbe::Trusted) {
                    fail(CertificateProbe::errorFor(verdict), why);
                    return;
                }
                connectSession(true);
            });
    probe->start();
}

void SmtpSender::connectSession(bool trustCertificate)
{
    if (mClosed) {
        return;
    }
    mSession = new KSmtp::Session(mServer.host, quint16(mServer.port), this);
    mSession->setEncryptionMode(mServer.encryption == QLatin1String("tls") ? KSmtp::Session::TLS
                                    : mServer.encryption == QLatin1String("starttls")
                                    ? KSmtp::Session::STARTTLS
                                    : KSmtp::Session::Unencrypted);
    if (trustCertificate) {
        mSession->setUiProxy(KSmtp::SessionUiProxy::Ptr(new PinnedCertificateProxy));
    }
    connect(mSession, &KSmtp::Session::connectionError, this,
            [this](const QString &error) { mConnectionError = error; });
    connect(mSession, &KSmtp::Session::stateChanged, this, [this](KSmtp::Session::State state) {
        if (state == KSmtp::Session::NotAuthenticated && !mLoggedIn) {
            auto *login = new KSmtp::LoginJob(mSession);
            login->setUserName(mServer.userName);
            login->setPassword(mConfig.password);
            login->setPreferedAuthMode(KSmtp::LoginJob::Plain);
            connect(login, &KJob::result, this, [this](KJob *job) {
                mWatchdog->stop();
                if (job->error() != 0) {
                    const bool lost
                        = !mSession || mSession->state() == KSmtp::Session::Disconnected;
                    fail(lost ? QMailServiceAction::Status::ErrNoConnection
                              : QMailServiceAction::Status::ErrLoginFailed,
                         job->errorString());
                    return;
                }
                mLoggedIn = true;
                Q_EMIT ready();
            });
            mWatchdog->start();
            login->start();
        } else if (state == KSmtp::Session::Disconnected) {
            const QString why = mConnectionError.isEmpty()
                ? QStringLiteral("The connection to %1 was lost").arg(mServer.host)
                : mConnectionError;
            fail(QMailServiceAction::Status::ErrNoConnection, why);
        }
    });
    mSession->open();
}

void SmtpSender::send(const QMailMessage &message)
{
    auto *job = new KSmtp::SendJob(mSession);
    const QString from
        = mConfig.fromAddress.isEmpty() ? message.from().address() : mConfig.fromAddress;
    QStringList to;
    for (const QMailAddress &address : message.to() + message.cc()) {
        to.append(address.address());
    }
    job->setFrom(from);
    job->setTo(to);
    job->setData(message.toRfc2822());
    connect(job, &KJob::result, this, [this](KJob *done) {
        mWatchdog->stop();
        if (done->error() != 0) {
            const QString text = done->errorString();
            qMailLog(MessageServer) << "SMTP send failed:" << done->error() << text;
            // KSMTP words a refused RCPT (550, or an enhanced code 5.1.x) this way.
            const bool recipient
                = text.contains(QLatin1String("Mailbox unavailable"), Qt::CaseInsensitive)
                || text.contains(QLatin1String("recipient"), Qt::CaseInsensitive)
                || text.contains(QRegularExpression(QStringLiteral("\\b5\\.1\\.\\d")));
            fail(recipient ? QMailServiceAction::Status::ErrInvalidAddress
                           : QMailServiceAction::Status::ErrUnknownResponse,
                 text);
            return;
        }
        Q_EMIT sent();
    });
    mWatchdog->start();
    job->start();
}

void SmtpSender::fail(ErrorCode code, const QString &text)
{
    if (mClosed) {
        return;
    }
    close();
    Q_EMIT failed(code, text);
}

void SmtpSender::close()
{
    if (mClosed) {
        return;
    }
    mClosed = true;
    mWatchdog->stop();
    if (mSession) {
        mSession->disconnect(this);
        if (mSession->state() != KSmtp::Session::Disconnected) {
            mSession->quit();
        }
        mSession->deleteLater();
    }
}
