#include "maildirbackend.h"

#include "maildir.h"
#include "maildirjobs.h"
#include "messageserverlog.h"

#include <qmailstore.h>

#include <QFileSystemWatcher>
#include <QTimer>

namespace {

// Deliveries that come in a burst are reported together.
const int SettleMs = 100;

} // namespace

MaildirBackend::MaildirBackend(QObject *parent)
    : MailBackend(parent)
    , mWatcher(new QFileSystemWatcher(this))
    , mSettle(new QTimer(this))
{
    mSettle->setSingleShot(true);
    mSettle->setInterval(SettleMs);
    connect(mWatcher, &QFileSystemWatcher::directoryChanged, this,
            &MaildirBackend::onDirectoryChanged);
    connect(mSettle, &QTimer::timeout, this, &MaildirBackend::onSettled);
}

MaildirBackend::~MaildirBackend() = default;

bool MaildirBackend::handles(const AccountConfig &config) const
{
    return !config.maildir.isEmpty();
}

ServiceJob *MaildirBackend::retrieveFolderList(const QMailAccountId &accountId,
                                               const AccountConfig &config, const QMailFolderId &)
{
    // A Maildir's folders are all at hand: the whole list is cheaper than a part.
    return new FolderListJob(2, accountId, config.maildir);
}

ServiceJob *MaildirBackend::retrieveMessageLists(const QMailAccountId &accountId,
                                                 const AccountConfig &config,
                                                 const QMailFolderIdList &folderIds, uint)
{
    // Every new message is imported: that is at least the minimum asked for.
    return new MessageListJob(accountId, config.maildir, folderIds);
}

ServiceJob *MaildirBackend::exportUpdates(const QMailAccountId &accountId,
                                          const AccountConfig &config)
{
    return new ExportUpdatesJob(9, accountId, config.maildir);
}

ServiceJob *MaildirBackend::transmitMessages(const QMailAccountId &accountId,
                                             const AccountConfig &config)
{
    return new TransmitJob(1, accountId, config.maildir);
}

void MaildirBackend::setPushFolders(const QMailAccountId &accountId, const AccountConfig &config)
{
    QStringList wanted;
    QHash<QString, Watched> watched;
    if (config.enabled && config.pushEnabled && handles(config)) {
        QMailStore *store = QMailStore::instance();
        for (const QString &path : config.pushFolders) {
            const QMailFolderIdList ids = store->queryFolders(
                QMailFolderKey::parentAccountId(accountId) & QMailFolderKey::path(path));
            const QString directory = Maildir::directoryFor(config.maildir, path);
            if (ids.isEmpty() || directory.isEmpty() || !Maildir::isMaildir(directory)) {
                continue; // appears after the next folder list
            }
            watched.insert(directory + QStringLiteral("/new"), { accountId, ids.first() });
        }
    }
    for (auto it = mWatched.begin(); it != mWatched.end();) {
        if (it->accountId == accountId && !watched.contains(it.key())) {
            mWatcher->removePath(it.key());
            it = mWatched.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = watched.cbegin(); it != watched.cend(); ++it) {
        if (!mWatched.contains(it.key())) {
            if (!mWatcher->addPath(it.key())) {
                qWarning("Cannot watch the push folder \"%s\"", qPrintable(it.key()));
                continue;
            }
            qMailLog(MessageServer)
                << "account" << accountId.toULongLong() << "push folder" << it.key();
            // Mail that came while nobody watched is fetched at once.
            mChanged.insert(it.key());
            mSettle->start();
        }
        mWatched.insert(it.key(), it.value());
    }
}

void MaildirBackend::onDirectoryChanged(const QString &directory)
{
    if (mWatched.contains(directory)) {
        mChanged.insert(directory);
        if (!mSettle->isActive()) {
            mSettle->start();
        }
    }
}

void MaildirBackend::onSettled()
{
    const QSet<QString> changed = mChanged;
    mChanged.clear();
    for (const QString &directory : changed) {
        const auto it = mWatched.constFind(directory);
        if (it != mWatched.cend()) {
            Q_EMIT folderChanged(it->accountId, it->folderId);
        }
    }
}
