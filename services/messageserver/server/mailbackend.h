#ifndef MAILBACKEND_H
#define MAILBACKEND_H

#include <qmailid.h>

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class ServiceJob;

// What the accounts database says about one e-mail account.
struct AccountConfig
{
    bool known = false; // the accounts database has the account with an e-mail service
    QString unreadable; // why the accounts database could not say (empty: it could)
    QString refused; // why the account is not served although the database has it
    bool enabled = false; // the account and its e-mail service are enabled
    QString name;
    QString fromName;
    QString fromAddress;
    QString signature;
    QString maildir; // the "maildir" service setting: root of the account's Maildir
    bool pushEnabled = false; // "pushEnabled" is "1": the account is in always-on mode
    QStringList pushFolders; // "pushFolders": folder paths, one per line

    // A mail server: the "imap/..." or "smtp/..." service settings.
    struct Server
    {
        QString host;
        int port = 0;
        QString encryption; // "tls", "starttls" or "none"
        QString userName;
        // SMTP only: "smtp/authentication" is not "none" (a relay that takes
        // mail without a login, on this machine or a trusted network).
        bool login = true;
    };
    Server imap;
    Server smtp;
    quint32 credentialsId = 0; // "CredentialsId": the signond identity of both servers' password
    QString password; // read from that identity when a connection opens; never logged
    QString trustedCertificate; // "certificateSha256": a server certificate trusted as is
    int timeout = 60; // "timeout": seconds without an answer before a request gives up
    int syncDays = 0; // "syncDays": only mail received in the last N days is fetched (0: all)
};

// One kind of mail source behind the request handling: it turns each request
// into a job and keeps push folders watched. The Maildir backend is the
// first; a network backend (IMAP and SMTP) plugs in the same way.
class MailBackend : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~MailBackend() override = default;

    // Whether the backend serves an account configured like this.
    virtual bool handles(const AccountConfig &config) const = 0;

    virtual ServiceJob *retrieveFolderList(const QMailAccountId &accountId,
                                           const AccountConfig &config,
                                           const QMailFolderId &folderId)
        = 0;
    virtual ServiceJob *retrieveMessageLists(const QMailAccountId &accountId,
                                             const AccountConfig &config,
                                             const QMailFolderIdList &folderIds, uint minimum)
        = 0;
    virtual ServiceJob *exportUpdates(const QMailAccountId &accountId, const AccountConfig &config)
        = 0;
    virtual ServiceJob *transmitMessages(const QMailAccountId &accountId,
                                         const AccountConfig &config)
        = 0;

    // Follows new mail in the account's push folders (none: stop following).
    virtual void setPushFolders(const QMailAccountId &accountId, const AccountConfig &config) = 0;

Q_SIGNALS:
    // Mail has arrived in a push folder.
    void folderChanged(const QMailAccountId &accountId, const QMailFolderId &folderId);
};

#endif // MAILBACKEND_H
