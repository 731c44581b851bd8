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

QByteArray ImapBackend::settingsKey(const AccountConfig &config)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const AccountConfig::Server &server : { config.imap, config.smtp }) {
        hash.addData(QStringList({ server.host, QString::number(server.port), server.encryption,
                                   server.userName })
                         .join(QLatin1Char('\n'))
                         .toUtf8());
    }
    // Storing a password makes a new identity, so a refused login is tried
    // again once the user has given a new one.
    hash.addData(QByteArray::number(config.credentialsId));
    hash.addData(config.trustedCertificate.toUtf8());
    return hash.result();
}

ServiceJob *ImapBackend::watched(ServiceJob *job, const AccountConfig &config)
{
    const QMailAccountId account = job->accountId();
    const QByteArray key = settingsKey(config);
    if (mRefused.value(account) == key) {
        const QMailServerRequestType type = job->requestType();
        delete job;
        return new FailedJob(type, account, QMailServiceAction::Status::ErrLoginFailed,
                             QStringLiteral("The server refused the login of account %1; not "
                                            "tried again until its settings change")
                                 .arg(account.toULongLong()));
    }
    mRefused.remove(account);
    connect(job, &ServiceJob::finished, this,
            [this, account, key](const QMailServiceAction::Status &status) {
                if (status.errorCode == QMailServiceAction::Status::ErrLoginFailed) {
                    mRefused.insert(account, key);
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
                                              const QMailFolderIdList &folderIds, uint minimum)
{
    return watched(new ImapMessageListJob(accountId, config, folderIds, minimum), config);
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
    const QByteArray key = settingsKey(config);
    QHash<QPair<quint64, quint64>, QString> wanted;
    if (config.enabled && config.pushEnabled && handles(config)
        && mRefused.value(accountId) != key) {
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
        mWatchers.insert(it.key(), { watcher, key });
    }
}
