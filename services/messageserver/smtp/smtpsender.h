#ifndef SMTPSENDER_H
#define SMTPSENDER_H

#include "imap/imapconnection.h"

#include <qmailmessage.h>

#include <QObject>
#include <QPointer>

namespace KSmtp {
class Session;
}

// One SMTP session of an account on KSMTP: settings checked, certificate
// looked at (as for IMAP), connected, logged in; then ready(), and send()
// hands over one message at a time, answered by sent() or failed().
// Codes: refused login 1029, unreachable server 1034, no answer 1040,
// refused recipient 1038, other refusals 1028, unusable settings or
// certificate 1037.
class SmtpSender : public QObject
{
    Q_OBJECT
public:
    SmtpSender(const AccountConfig &config, QObject *parent = nullptr);
    ~SmtpSender() override;

    void open();
    void send(const QMailMessage &message);
    void close();

Q_SIGNALS:
    void ready();
    void sent();
    void failed(ErrorCode code, const QString &text);

private:
    void probeServer();
    void connectSession(bool trustCertificate);
    void fail(ErrorCode code, const QString &text);

    AccountConfig mConfig;
    AccountConfig::Server mServer;
    QPointer<KSmtp::Session> mSession;
    QTimer *mWatchdog;
    QString mConnectionError;
    bool mLoggedIn = false;
    bool mClosed = false;
};

#endif // SMTPSENDER_H
