#ifndef SMTPSENDER_H
#define SMTPSENDER_H

#include "net/serverconnection.h"

#include <qmailmessage.h>

#include <QObject>
#include <QPointer>

namespace KSmtp {
class Session;
}

// One SMTP session of an account on KSMTP: settings checked, connected
// (the session checks the certificate, as for IMAP), logged in; then
// ready(), and send()
// hands over one message at a time, answered by sent() or failed().
// Codes: refused login 1029, unreachable server 1034, no answer 1040,
// refused recipient 1038, other refusals 1028, unusable settings or
// certificate 1037.
class SmtpSender : public ServerConnection
{
    Q_OBJECT
public:
    SmtpSender(const AccountConfig &config, QObject *parent = nullptr);
    ~SmtpSender() override;

    void send(const QMailMessage &message);

    // The message's text as it leaves this system (to the SMTP server and
    // into Sent): without its Bcc field, whose recipients only the envelope
    // names, so that no recipient learns of them.
    static QByteArray withoutBcc(const QByteArray &text);

Q_SIGNALS:
    void sent();

protected:
    void connectSession(bool encrypted) override;
    void closeSession() override;

private:
    static AccountConfig::Server serverOf(const AccountConfig &config);

    QPointer<KSmtp::Session> mSession;
    QString mConnectionError;
    QString mCertificateRefusal; // why the session refused the certificate
    bool mLoggedIn = false;
};

#endif // SMTPSENDER_H
