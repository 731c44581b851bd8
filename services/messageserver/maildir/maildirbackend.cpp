#include "maildir/maildirbackend.h"

#include "maildir/maildir.h"
#include "maildir/maildirjobs.h"
#include "server/messageserverlog.h"

#include <qmailstore.h>

#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

// Events read together are reported together, and at once: a burst that
// goes on while the folder is imported waits as one more import at most.
const int SettleMs = 0;

} // namespace

MaildirBackend::MaildirBackend(QObject *parent)
    : MailBackend(parent)
    , mInotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    , mSettle(new QTimer(this))
{
    mSettle->setSingleShot(true);
    mSettle->setInterval(SettleMs);
    connect(mSettle, &QTimer::timeout, this, &MaildirBackend::onSettled);
    if (mInotify < 0) {
        qWarning("Cannot watch push folders: inotify: %s", strerror(errno));
        return;
    }
    mNotifier = new QSocketNotifier(mInotify, QSocketNotifier::Read, this);
    connect(mNotifier, &QSocketNotifier::activated, this, &MaildirBackend::onInotify);
}

MaildirBackend::~MaildirBackend()
{
    if (mInotify >= 0) {
        ::close(mInotify);
    }
}

bool MaildirBackend::watch(const QString &directory)
{
    // Not IN_CREATE or IN_MODIFY: a file being written is not mail yet. A
    // rename is a change of flags (or new/ to cur/), a removal another
    // client's deletion: the folder's look, read whole, brings both in.
    const int wd = mInotify < 0
        ? -1
        : ::inotify_add_watch(mInotify, QFile::encodeName(directory).constData(),
                              IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE
                                  | IN_ONLYDIR);
    if (wd < 0) {
        return false;
    }
    mDescriptors.insert(wd, directory);
    return true;
}

void MaildirBackend::unwatch(const QString &directory)
{
    const int wd = mDescriptors.key(directory, -1);
    if (wd >= 0) {
        ::inotify_rm_watch(mInotify, wd);
        mDescriptors.remove(wd);
    }
}

void MaildirBackend::onInotify()
{
    alignas(struct inotify_event) char buffer[16384];
    while (true) {
        const ssize_t n = ::read(mInotify, buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        for (ssize_t i = 0; i < n;) {
            const auto *event = reinterpret_cast<const struct inotify_event *>(buffer + i);
            i += ssize_t(sizeof(struct inotify_event) + event->len);
            if (event->mask & IN_IGNORED) {
                mDescriptors.remove(event->wd); // the folder went away
            } else if (event->mask & (IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE)) {
                changed(mDescriptors.value(event->wd));
            }
        }
    }
}

bool MaildirBackend::handles(const AccountConfig &config) const
{
    return !config.maildir.isEmpty();
}

ServiceJob *MaildirBackend::retrieveFolderList(const QMailAccountId &accountId,
                                               const AccountConfig &config, const QMailFolderId &)
{
    // A Maildir's folders are all at hand: the whole list is cheaper than a part.
    return new FolderListJob(RetrieveFolderListRequestType, accountId, config.maildir);
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
    return new ExportUpdatesJob(ExportUpdatesRequestType, accountId, config.maildir);
}

ServiceJob *MaildirBackend::transmitMessages(const QMailAccountId &accountId,
                                             const AccountConfig &config)
{
    return new TransmitJob(TransmitMessagesRequestType, accountId, config.maildir);
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
            for (const char *part : { "/new", "/cur" }) {
                watched.insert(directory + QLatin1String(part), { accountId, ids.first() });
            }
        }
    }
    for (auto it = mWatched.begin(); it != mWatched.end();) {
        if (it->accountId == accountId && !watched.contains(it.key())) {
            unwatch(it.key());
            it = mWatched.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = watched.cbegin(); it != watched.cend(); ++it) {
        if (!mWatched.contains(it.key())) {
            if (!watch(it.key())) {
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

void MaildirBackend::changed(const QString &directory)
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
    QSet<quint64> told; // new/ and cur/ of a folder: one report
    for (const QString &directory : changed) {
        const auto it = mWatched.constFind(directory);
        if (it != mWatched.cend() && !told.contains(it->folderId.toULongLong())) {
            told.insert(it->folderId.toULongLong());
            Q_EMIT folderChanged(it->accountId, it->folderId);
        }
    }
}
