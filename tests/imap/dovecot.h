#ifndef DOVECOT_H
#define DOVECOT_H

#include <QProcess>
#include <QStringList>

// Distinct free TCP ports on 127.0.0.1 (free when asked).
QList<quint16> freePorts(int count = 1);
// Runs a program to its end: its standard output, a null string on failure.
QString run(const QString &program, const QStringList &arguments, const QByteArray &input = {});

// A Dovecot of our own: IMAP (993-style TLS and STARTTLS ports) and
// submission, a relay behind submission, users "ann" and "carl" with password
// "secret".
// On 127.0.0.2 the same server names no MOVE: a server of the IMAP before it.
class Dovecot
{
public:
    // Starts it with its files in `dir`; mail of "ann" in dir/home/ann/Maildir.
    bool start(const QString &dir);
    ~Dovecot() { stop(); }
    void stop();
    // Starts the IMAP and submission server again after stop(), on the same
    // ports (the relay behind submission stays stopped).
    bool resume();
    QString doveadm(const QStringList &arguments, const QByteArray &input = {}) const
    {
        return run(QStringLiteral("doveadm"), QStringList { "-c", mConfig } + arguments, input);
    }
    // The fields of ann's messages in the mailbox that match the search (in
    // doveadm's words), one "field=value" line each; null when doveadm fails.
    QString fetch(const QString &fields, const QString &mailbox, const QStringList &search) const
    {
        return doveadm(
                   QStringList { "-f", "flow", "fetch", "-u", "ann", fields, "mailbox", mailbox }
                   + search)
            .trimmed();
    }
    // Creates an enabled "imap-mail" account of user "ann" on this server
    // (IMAP over TLS, submission with STARTTLS, the certificate trusted, the
    // password stored with the credentials service); the settings
    // ("type:key=value", as ag-tool takes them) come last and override, and
    // "string:password=P" stores P instead (nothing when P is empty). Its id,
    // 0 on failure.
    quint32 addAccount(const QStringList &settings = {}) const;
    // Waits until the running message server has mirrored the account as
    // enabled: it takes in another process's change of the accounts database
    // when its notice arrives, which may be after that process's next request.
    static bool mirrored(quint32 account);
    // Stores the account's password as a user does, with postvane-password.
    static bool setPassword(quint32 account, const QString &password);
    QString fingerprint;
    quint16 imaps = 0;
    quint16 imap = 0;
    quint16 submission = 0;
    quint16 relay = 0; // the SMTP server behind submission: no TLS, no login

private:
    QString mDir;
    QString mConfig;
    QProcess mRelay;
};

#endif // DOVECOT_H
