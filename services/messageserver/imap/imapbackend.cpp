#include "imap/imapbackend.h"

#include "imap/idlewatcher.h"
#include "imap/imapjobs.h"

#include <qmailstore.h>

#include <QCryptographicHash>

ImapBackend::ImapBackend(QObject *parent)
    : MailBackend(parent)
{ }

ImapBackend::~ImapBackend() = default;

bool ImapBackend::handles(const AccountConfig &config) const
{
    return config.maildir.isEmpty() && !config.imap.host.isEmpty();
}

QByteArray ImapBackend::settingsKey(const AccountConfig &config, Protocol protocol)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    // The SMTP server may borrow the IMAP host and user name.
    const AccountConfig::Server &server = protocol == Imap ? config.imap : config.smtp;
    hash.addData(QStringList({ server.host, QString::number(server.port), server.encryption,
                               server.userName, QString::number(server.login), config.imap.host,
                               config.imap.userName, QString::number(protocol) })
                     .join(QLatin1Char('\n'))
                     .toUtf8());
    // Storing a password makes a new identity, so a refused login is tried
    // again once the user has given a new one.
    hash.addData(QByteArray::number(config.credentialsId));
    hash.addData(config.trustedCertificate.toUtf8());
    return hash.result();
}

void ImapBackend::refuse(Protocol protocol, const QMailAccountId &account, const QByteArray &key,
                         const QString &why)
{
    mRefused[protocol].insert(
        account,
        { key,
          QStringLiteral("The %1 server refused the login of account %2 (%3); not tried again "
                         "until its settings change")
              .arg(protocol == Imap ? QStringLiteral("IMAP") : QStringLiteral("SMTP"))
              .arg(account.toULongLong())
              .arg(why) });
}

QString ImapBackend::refusal(Protocol protocol, const QMailAccountId &account,
                             const AccountConfig &config) const
{
    const auto it = mRefused[protocol].constFind(account);
    return it != mRefused[protocol].cend() && it->key == settingsKey(config, protocol) ? it->why
                                                                                       : QString();
}

ServiceJob *ImapBackend::watched(ServiceJob *job, const AccountConfig &config)
{
    const QMailAccountId account = job->accountId();
    const bool sending = job->requestType() == TransmitMessagesRequestType;
    for (Protocol protocol : { Imap, Smtp }) {
        if (refusal(protocol, account, config).isEmpty()) {
            mRefused[protocol].remove(account);
        }
    }
    // Sending needs the SMTP server; its copy for the Sent folder fails at once
    // while the IMAP server refuses.
    const QString refused = refusal(sending ? Smtp : Imap, account, config);
    if (!refused.isEmpty()) {
        const QMailServerRequestType type = job->requestType();
        delete job;
        return new FailedJob(type, account, QMailServiceAction::Status::ErrLoginFailed, refused);
    }
    auto *imapJob = qobject_cast<ImapJob *>(job);
    if (imapJob) {
        imapJob->refuseImap(refusal(Imap, account, config));
    }
    connect(job, &ServiceJob::finished, this,
            [this, account, config, imapJob](const QMailServiceAction::Status &status) {
                if (status.errorCode == QMailServiceAction::Status::ErrLoginFailed) {
                    const Protocol protocol = imapJob && imapJob->failedInSmtp() ? Smtp : Imap;
                    if (refusal(protocol, account, config).isEmpty()) {
                        refuse(protocol, account, settingsKey(config, protocol), status.text);
                    }
                }
            });
    return job;
}

ServiceJob *ImapBackend::retrieveFolderList(const QMailAccountId &accountId,
                                            const AccountConfig &config, const QMailFolderId &)
{
    // LIST answers for all folders at once: the whole list is no dearer than a part.
    return watched(new ImapFolderListJob(RetrieveFolderListRequestType, accountId, config), config);
}

ServiceJob *ImapBackend::retrieveMessageLists(const QMailAccountId &accountId,
                                              const AccountConfig &config,
                                              const QMailFolderIdList &folderIds, uint)
{
    // A folder's whole content, so any minimum is met.
    return watched(new ImapMessageListJob(accountId, config, folderIds), config);
}

ServiceJob *ImapBackend::exportUpdates(const QMailAccountId &accountId, const AccountConfig &config)
{
    return watched(new ImapExportJob(ExportUpdatesRequestType, accountId, config), config);
}

ServiceJob *ImapBackend::transmitMessages(const QMailAccountId &accountId,
                                          const AccountConfig &config)
{
    return watched(new ImapTransmitJob(TransmitMessagesRequestType, accountId, config), config);
}

void ImapBackend::setPushFolders(const QMailAccountId &accountId, const AccountConfig &config)
{
    const QByteArray key = settingsKey(config, Imap);
    QHash<QPair<quint64, quint64>, QString> wanted;
    if (config.enabled && config.pushEnabled && handles(config)
        && refusal(Imap, accountId, config).isEmpty()) {
        QMailStore *store = QMailStore::instance();
        for (const QString &path : config.pushFolders) {
            const QMailFolderIdList ids = store->queryFolders(
                QMailFolderKey::parentAccountId(accountId) & QMailFolderKey::path(path));
            if (!ids.isEmpty()) { // otherwise it appears after the next folder list
                wanted.insert({ accountId.toULongLong(), ids.first().toULongLong() }, path);
            }
        }
    }
    for (auto it = mWatchers.begin(); it != mWatchers.end();) {
        const bool keep = it.key().first != accountId.toULongLong()
            || (wanted.contains(it.key()) && it->second == key);
        if (!keep) {
            delete it->first;
            it = mWatchers.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = wanted.cbegin(); it != wanted.cend(); ++it) {
        if (mWatchers.contains(it.key())) {
            continue;
        }
        auto *watcher
            = new IdleWatcher(accountId, QMailFolderId(it.key().second), it.value(), config, this);
        connect(watcher, &IdleWatcher::changed, this, &MailBackend::folderChanged);
        // A password that no longer works shows as the account's error: the
        // look at the folder that push would have made fails with the refusal.
        connect(
            watcher, &IdleWatcher::loginRefused, this,
            [this, accountId, key, folder = QMailFolderId(it.key().second)](const QString &why) {
                // Once per refusal, whichever of its folders hears it first.
                if (mRefused[Imap].value(accountId).key != key) {
                    refuse(Imap, accountId, key, why);
                    Q_EMIT folderChanged(accountId, folder);
                }
            });
        mWatchers.insert(it.key(), { watcher, key });
    }
}
