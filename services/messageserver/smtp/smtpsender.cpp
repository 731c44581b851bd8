#include "smtp/smtpsender.h"

#include "server/messageserverlog.h"

#include <KSMTP/LoginJob>
#include <KSMTP/SendJob>
#include <KSMTP/Session>
#include <KSMTP/SessionUiProxy>

#include <QRegularExpression>
#include <QTimer>

namespace {

// Accepts a certificate the system refuses only when it is the pinned one;
// why it refused another is kept for the failure.
class PinnedCertificateProxy : public KSmtp::SessionUiProxy
{
public:
    PinnedCertificateProxy(const QString &host, const QString &fingerprint, QString *refusal)
        : mHost(host)
        , mFingerprint(fingerprint)
        , mRefusal(refusal)
    { }
    bool ignoreSslError(const KSslErrorUiData &data) override
    {
        *mRefusal = certificateRefusal(data, mHost, mFingerprint);
        return mRefusal->isEmpty();
    }

private:
    QString mHost;
    QString mFingerprint;
    QString *mRefusal; // the sender's, which outlives its session
};

} // namespace

// An account with one server name and one user name for both protocols
// need not give them twice.
AccountConfig::Server SmtpSender::serverOf(const AccountConfig &config)
{
    AccountConfig::Server server = config.smtp;
    if (server.host.isEmpty()) {
        server.host = config.imap.host;
    }
    if (server.userName.isEmpty()) {
        server.userName = config.imap.userName;
    }
    return server;
}

SmtpSender::SmtpSender(const AccountConfig &config, QObject *parent)
    : ServerConnection(config, serverOf(config), CertificateProbe::Smtp, parent)
{ }

SmtpSender::~SmtpSender()
{
    close();
}

void SmtpSender::connectSession(bool encrypted)
{
    if (isClosed()) {
        return;
    }
    mSession = new KSmtp::Session(mServer.host, quint16(mServer.port), this);
    mSession->setEncryptionMode(mServer.encryption == QLatin1String("tls") ? KSmtp::Session::TLS
                                    : mServer.encryption == QLatin1String("starttls")
                                    ? KSmtp::Session::STARTTLS
                                    : KSmtp::Session::Unencrypted);
    if (encrypted) {
        mSession->setUiProxy(KSmtp::SessionUiProxy::Ptr(new PinnedCertificateProxy(
            mServer.host, mConfig.trustedCertificate, &mCertificateRefusal)));
    }
    // A connection that cannot be made changes no state of the session.
    connect(mSession, &KSmtp::Session::connectionError, this, [this](const QString &error) {
        mConnectionError = error;
        if (!mLoggedIn && mSession->state() == KSmtp::Session::Disconnected) {
            failExplained(QMailServiceAction::Status::ErrNoConnection, error);
        }
    });
    connect(mSession, &KSmtp::Session::stateChanged, this, [this](KSmtp::Session::State state) {
        if (state == KSmtp::Session::NotAuthenticated && !mLoggedIn && !mServer.login) {
            mWatchdog->stop();
            mLoggedIn = true;
            Q_EMIT ready();
        } else if (state == KSmtp::Session::NotAuthenticated && !mLoggedIn) {
            auto *login = new KSmtp::LoginJob(mSession);
            login->setUserName(mServer.userName);
            login->setPassword(mConfig.password);
            login->setPreferedAuthMode(KSmtp::LoginJob::Plain);
            connect(login, &KJob::result, this, [this](KJob *job) {
                mWatchdog->stop();
                if (!mCertificateRefusal.isEmpty()) {
                    refuseCertificate(mCertificateRefusal);
                    return;
                }
                if (job->error() != 0) {
                    if (!mSession || mSession->state() == KSmtp::Session::Disconnected) {
                        failExplained(QMailServiceAction::Status::ErrNoConnection,
                                      job->errorString());
                    } else {
                        fail(QMailServiceAction::Status::ErrLoginFailed, job->errorString());
                    }
                    return;
                }
                mLoggedIn = true;
                Q_EMIT ready();
            });
            mWatchdog->start();
            login->start();
        } else if (state == KSmtp::Session::Disconnected && !mCertificateRefusal.isEmpty()) {
            refuseCertificate(mCertificateRefusal);
        } else if (state == KSmtp::Session::Disconnected) {
            const QString why = mConnectionError.isEmpty()
                ? QStringLiteral("The connection to %1 was lost").arg(mServer.host)
                : mConnectionError;
            if (mLoggedIn) {
                fail(QMailServiceAction::Status::ErrNoConnection, why);
            } else {
                failExplained(QMailServiceAction::Status::ErrNoConnection, why);
            }
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
    const QList<QMailAddress> bcc
        = QMailAddress::fromStringList(message.headerFieldText(QStringLiteral("Bcc")));
    for (const QMailAddress &address : message.to() + message.cc() + bcc) {
        if (!address.address().isEmpty() && !to.contains(address.address())) {
            to.append(address.address());
        }
    }
    job->setFrom(from);
    job->setTo(to);
    job->setData(withoutBcc(message.toRfc2822()));
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

QByteArray SmtpSender::withoutBcc(const QByteArray &text)
{
    QByteArray result;
    result.reserve(text.size());
    bool inBcc = false;
    int start = 0;
    while (start < text.size()) {
        const int newline = text.indexOf('\n', start);
        const int end = newline < 0 ? text.size() : newline + 1;
        const QByteArray line = text.mid(start, end - start);
        if (line == "\n" || line == "\r\n") {
            break; // the body follows, unchanged
        }
        // A field goes on in lines that start with white space.
        if (!line.startsWith(' ') && !line.startsWith('\t')) {
            const int colon = line.indexOf(':');
            inBcc = colon > 0 && line.left(colon).trimmed().toLower() == "bcc";
        }
        if (!inBcc) {
            result += line;
        }
        start = end;
    }
    return result + text.mid(start);
}

void SmtpSender::closeSession()
{
    if (mSession) {
        mSession->disconnect(this);
        if (mSession->state() != KSmtp::Session::Disconnected) {
            mSession->quit();
        }
        mSession->deleteLater();
    }
}
