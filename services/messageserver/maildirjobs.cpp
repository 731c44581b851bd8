#include "maildirjobs.h"

#include "messageserverlog.h"

#include <qmailaccount.h>
#include <qmailstore.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTimer>

#include <cerrno>
#include <cstdio>

namespace {

// Messages imported per slice: small enough that a cancel request waits
// only a moment, large enough that the event loop costs nothing.
const int SliceSize = 50;

const quint64 ImportedStatus
    = QMailMessageMetaData::Incoming | QMailMessageMetaData::ContentAvailable;

// Standard roles recognised by folder name, as mail clients name them.
QMailFolder::StandardFolder roleOf(const QString &path)
{
    const QString name = path.toLower();
    if (name == QLatin1String("sent") || name == QLatin1String("sent items")
        || name == QLatin1String("sent messages")) {
        return QMailFolder::SentFolder;
    }
    if (name == QLatin1String("drafts")) {
        return QMailFolder::DraftsFolder;
    }
    if (name == QLatin1String("trash") || name == QLatin1String("deleted items")
        || name == QLatin1String("deleted messages")) {
        return QMailFolder::TrashFolder;
    }
    if (name == QLatin1String("junk") || name == QLatin1String("spam")) {
        return QMailFolder::JunkFolder;
    }
    if (name == QLatin1String("outbox")) {
        return QMailFolder::OutboxFolder;
    }
    return QMailFolder::StandardFolder(0);
}

} // namespace

KnownMessages::KnownMessages(const QMailAccountId &accountId)
{
    mFile = QMailStore::instance()->storagePath()
        + QStringLiteral("/messageserver/known-%1").arg(accountId.toULongLong());
    QFile file(mFile);
    if (!file.open(QIODevice::ReadOnly)) {
        return;
    }
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        const int tab = line.indexOf('\t');
        if (tab > 0) {
            mUids[QMailFolderId(line.left(tab).toULongLong())].insert(
                QFile::decodeName(line.mid(tab + 1)));
        }
    }
}

void KnownMessages::setFolder(const QMailFolderId &folderId, const QSet<QString> &uids)
{
    mUids.insert(folderId, uids);
}

bool KnownMessages::save() const
{
    QDir().mkpath(QFileInfo(mFile).absolutePath());
    QSaveFile file(mFile);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    for (auto it = mUids.cbegin(); it != mUids.cend(); ++it) {
        const QByteArray folder = QByteArray::number(it.key().toULongLong()) + '\t';
        for (const QString &uid : it.value()) {
            file.write(folder + QFile::encodeName(uid) + '\n');
        }
    }
    return file.commit();
}

MaildirJob::MaildirJob(int requestType, const QMailAccountId &accountId, const QString &root,
                       QObject *parent)
    : ServiceJob(requestType, accountId, parent)
    , mRoot(QDir::cleanPath(root))
{ }

bool MaildirJob::checkRoot()
{
    const QFileInfo info(mRoot);
    if (!info.isAbsolute() || !info.isDir() || !info.isReadable() || !Maildir::isMaildir(mRoot)
        || !QDir(mRoot + QStringLiteral("/cur")).isReadable()) {
        fail(QMailServiceAction::Status::ErrConfiguration,
             QStringLiteral("The Maildir \"%1\" of account %2 is missing or unreadable")
                 .arg(mRoot)
                 .arg(accountId().toULongLong()));
        return false;
    }
    return true;
}

QString MaildirJob::directoryOf(const QMailFolder &folder) const
{
    if (folder.parentAccountId() != accountId()) {
        return QString();
    }
    const QString directory = Maildir::directoryFor(mRoot, folder.path());
    return directory.isEmpty() || !Maildir::isMaildir(directory) ? QString() : directory;
}

QHash<QString, QMailMessageId> MaildirJob::storedMessages(const QMailFolderId &folderId) const
{
    QHash<QString, QMailMessageId> result;
    QMailStore *store = QMailStore::instance();
    const QMailMessageIdList ids = store->queryMessages(QMailMessageKey::parentFolderId(folderId));
    for (const QMailMessageId &id : ids) {
        const QString uid = store->messageMetaData(id).serverUid();
        if (!uid.isEmpty()) {
            result.insert(uid, id);
        }
    }
    return result;
}

QMailServiceAction::Status::ErrorCode MaildirJob::codeForErrno(int error)
{
    switch (error) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return QMailServiceAction::Status::ErrFileSystemFull;
    default:
        return QMailServiceAction::Status::ErrSystemError;
    }
}

void MaildirJob::failFromStore(const QString &what, const QMailFolderId &folderId)
{
    QMailStore *store = QMailStore::instance();
    const QString reason = store->lastErrorText();
    const bool full = reason.contains(QLatin1String("full"), Qt::CaseInsensitive)
        || reason.contains(QLatin1String("space"), Qt::CaseInsensitive);
    fail(full ? QMailServiceAction::Status::ErrFileSystemFull
              : QMailServiceAction::Status::ErrFrameworkFault,
         QStringLiteral("%1: %2").arg(what, reason), folderId);
}

void FolderListJob::doStart()
{
    if (!checkRoot()) {
        return;
    }
    QMailStore *store = QMailStore::instance();
    QMailAccount account = store->account(accountId());
    const QList<Maildir::Folder> folders = Maildir::folders(mRoot);

    QHash<QString, QMailFolder> stored;
    const QMailFolderIdList ids = store->queryFolders(QMailFolderKey::parentAccountId(accountId()));
    for (const QMailFolderId &id : ids) {
        const QMailFolder folder = store->folder(id);
        stored.insert(folder.path(), folder);
    }

    if (!store->startTransaction()) {
        failFromStore(QStringLiteral("Cannot change the folders"));
        return;
    }
    QSet<QString> present;
    uint done = 0;
    for (const Maildir::Folder &entry : folders) {
        present.insert(entry.path);
        QMailFolder folder = stored.value(entry.path);
        const bool isNew = !folder.id().isValid();
        QMailFolder wanted = folder;
        wanted.setPath(entry.path);
        wanted.setDisplayName(entry.displayName);
        wanted.setParentAccountId(accountId());
        wanted.setParentFolderId(stored.value(entry.parentPath).id());
        const QMailFolder::StandardFolder role
            = entry.path == Maildir::inboxPath() ? QMailFolder::InboxFolder : roleOf(entry.path);
        wanted.setStatus(QMailFolder::MessagesPermitted, true);
        if (role != 0) {
            wanted.setStatus(QMailFolder::statusForStandardFolder(role), true);
        }
        if (role == QMailFolder::InboxFolder) {
            wanted.setStatus(QMailFolder::Incoming, true);
        }
        bool ok = true;
        if (isNew) {
            ok = store->addFolder(&wanted);
        } else if (wanted != folder) {
            ok = store->updateFolder(&wanted);
        }
        if (!ok) {
            store->rollbackTransaction();
            failFromStore(QStringLiteral("Cannot store folder \"%1\"").arg(entry.path));
            return;
        }
        stored.insert(entry.path, wanted);
        if (role != 0 && !account.standardFolder(role).isValid()) {
            account.setStandardFolder(role, wanted.id());
        }
        setProgress(++done, uint(folders.size()));
    }

    // The outbox holds what is to be sent; a Maildir has none, so it lives in the store.
    if (!account.standardFolder(QMailFolder::OutboxFolder).isValid()) {
        QMailFolder outbox(QStringLiteral("Outbox"), QMailFolderId(), accountId());
        outbox.setDisplayName(QStringLiteral("Outbox"));
        outbox.setStatus(QMailFolder::MessagesPermitted | QMailFolder::Outgoing, true);
        if (stored.contains(outbox.path())) {
            outbox = stored.value(outbox.path());
        } else if (!store->addFolder(&outbox)) {
            store->rollbackTransaction();
            failFromStore(QStringLiteral("Cannot store the outbox"));
            return;
        }
        account.setStandardFolder(QMailFolder::OutboxFolder, outbox.id());
    }
    const QMailFolderId outboxId = account.standardFolder(QMailFolder::OutboxFolder);

    for (const QMailFolder &folder : qAsConst(stored)) {
        if (present.contains(folder.path()) || folder.id() == outboxId) {
            continue;
        }
        // Gone from the Maildir: removed with its messages (and sub-folders).
        if (store->folder(folder.id()).id().isValid() && !store->removeFolder(folder.id())) {
            store->rollbackTransaction();
            failFromStore(QStringLiteral("Cannot remove folder \"%1\"").arg(folder.path()));
            return;
        }
        const auto roles = account.standardFolders();
        for (auto it = roles.cbegin(); it != roles.cend(); ++it) {
            if (it.value() == folder.id()) {
                account.setStandardFolder(it.key(), QMailFolderId());
            }
        }
    }
    if (account != store->account(accountId()) && !store->updateAccount(&account)) {
        store->rollbackTransaction();
        failFromStore(QStringLiteral("Cannot store the account's standard folders"));
        return;
    }
    if (!store->commitTransaction()) {
        failFromStore(QStringLiteral("Cannot change the folders"));
        return;
    }
    succeed();
}

MessageListJob::MessageListJob(const QMailAccountId &accountId, const QString &root,
                               const QMailFolderIdList &folderIds, QObject *parent)
    : MaildirJob(3, accountId, root, parent)
    , mFolderIds(folderIds)
    , mKnown(accountId)
{ }

MessageListJob::~MessageListJob()
{
    abandon();
}

void MessageListJob::doStart()
{
    if (!checkRoot()) {
        return;
    }
    QMailStore *store = QMailStore::instance();
    QMailFolderIdList ids = mFolderIds;
    if (ids.isEmpty()) {
        ids = store->queryFolders(QMailFolderKey::parentAccountId(accountId()));
    }
    for (const QMailFolderId &id : qAsConst(ids)) {
        const QMailFolder folder = store->folder(id);
        if (folder.parentAccountId() != accountId()) {
            fail(QMailServiceAction::Status::ErrInvalidData,
                 QStringLiteral("Folder %1 is not a folder of account %2")
                     .arg(id.toULongLong())
                     .arg(accountId().toULongLong()),
                 id);
            return;
        }
        FolderWork work;
        work.folderId = id;
        work.directory = directoryOf(folder);
        if (work.directory.isEmpty()) {
            continue; // a folder of the store only, such as the outbox
        }
        QList<Maildir::Entry> entries;
        if (!Maildir::entries(work.directory, &entries)) {
            fail(QMailServiceAction::Status::ErrConfiguration,
                 QStringLiteral("Cannot read the Maildir folder \"%1\"").arg(work.directory), id);
            return;
        }
        const QHash<QString, QMailMessageId> stored = storedMessages(id);
        const QSet<QString> known = mKnown.folder(id);
        QSet<QString> inMaildir;
        for (const Maildir::Entry &entry : qAsConst(entries)) {
            inMaildir.insert(entry.uid);
            if (stored.contains(entry.uid)) {
                work.kept.insert(entry.uid);
            } else if (!known.contains(entry.uid)) {
                work.fresh.append(entry);
            } // else deleted in the store: export updates deletes the file
        }
        for (auto it = stored.cbegin(); it != stored.cend(); ++it) {
            if (!inMaildir.contains(it.key())) {
                work.gone.append(it.value());
            }
        }
        mTotal += uint(work.fresh.size());
        mWork.append(work);
    }
    setProgress(0, mTotal);
    QTimer::singleShot(0, this, &MessageListJob::step);
}

void MessageListJob::step()
{
    if (isFinished()) {
        return;
    }
    if (isCancelled()) {
        abandon();
        fail(QMailServiceAction::Status::ErrCancel, QStringLiteral("Cancelled"));
        return;
    }
    if (mFolder >= mWork.size()) {
        if (!mUnreadable.isEmpty()) {
            fail(QMailServiceAction::Status::ErrUnknownResponse,
                 QStringLiteral("Cannot read %1 message(s): %2")
                     .arg(mUnreadable.size())
                     .arg(mUnreadable.join(QStringLiteral(", "))));
            return;
        }
        succeed();
        return;
    }
    if (!mInTransaction && !beginFolder()) {
        return;
    }
    QMailStore *store = QMailStore::instance();
    FolderWork &work = mWork[mFolder];
    for (int n = 0; n < SliceSize && mNext < work.fresh.size(); ++n, ++mNext) {
        const Maildir::Entry &entry = work.fresh.at(mNext);
        const QString path = work.directory
            + (entry.inNew ? QStringLiteral("/new/") : QStringLiteral("/cur/")) + entry.fileName;
        QMailMessageMetaData message;
        message.setParentAccountId(accountId());
        message.setParentFolderId(work.folderId);
        message.setServerUid(entry.uid);
        message.setStatus(
            ImportedStatus | Maildir::statusFromFlags(Maildir::flagsOf(entry.fileName)), true);
        message.setStatus(QMailMessageMetaData::New, entry.inNew);
        if (!store->addMessageFromFile(&message, path)) {
            if (store->lastError() == QMailStore::ContentRefused) {
                // Left where it is, and said once: it is listed again at every sync.
                static QSet<QString> told;
                if (!told.contains(path)) {
                    told.insert(path);
                    qWarning("Not imported: %s", qPrintable(store->lastErrorText()));
                }
                ++mDone;
                continue;
            }
            if (store->lastError() == QMailStore::ContentInaccessible
                && store->lastErrorText().startsWith(path + QLatin1Char(':'))) {
                mUnreadable.append(QStringLiteral("\"%1\"").arg(store->lastErrorText()));
                continue;
            }
            abandon();
            failFromStore(QStringLiteral("Cannot store \"%1\"").arg(path), work.folderId);
            return;
        }
        work.kept.insert(entry.uid);
        ++mDone;
    }
    setProgress(mDone, mTotal);
    if (mNext >= work.fresh.size() && !finishFolder()) {
        return;
    }
    QTimer::singleShot(0, this, &MessageListJob::step);
}

bool MessageListJob::beginFolder()
{
    QMailStore *store = QMailStore::instance();
    const FolderWork &work = mWork.at(mFolder);
    setWorkingOn(work.folderId);
    if (!store->startTransaction()) {
        failFromStore(QStringLiteral("Cannot open a store transaction"), work.folderId);
        return false;
    }
    mInTransaction = true;
    mNext = 0;
    if (!work.gone.isEmpty() && !store->removeMessages(QMailMessageKey::id(work.gone))) {
        abandon();
        failFromStore(QStringLiteral("Cannot remove messages gone from the Maildir"),
                      work.folderId);
        return false;
    }
    return true;
}

bool MessageListJob::finishFolder()
{
    const FolderWork &work = mWork.at(mFolder);
    mInTransaction = false;
    if (!QMailStore::instance()->commitTransaction()) {
        QMailStore::instance()->rollbackTransaction();
        failFromStore(QStringLiteral("Cannot store the messages"), work.folderId);
        return false;
    }
    mKnown.setFolder(work.folderId, work.kept);
    if (!mKnown.save()) {
        qWarning("Cannot record the messages of account %llu",
                 static_cast<unsigned long long>(accountId().toULongLong()));
    }
    ++mFolder;
    return true;
}

void MessageListJob::abandon()
{
    if (mInTransaction) {
        mInTransaction = false;
        QMailStore::instance()->rollbackTransaction();
    }
}

void ExportUpdatesJob::doStart()
{
    if (!checkRoot()) {
        return;
    }
    QMailStore *store = QMailStore::instance();
    KnownMessages known(accountId());
    struct Place
    {
        QMailFolderId folderId;
        QString directory;
        QHash<QString, Maildir::Entry> files;
        QHash<QString, QMailMessageId> stored;
    };
    QList<Place> places;
    const QMailFolderIdList ids = store->queryFolders(QMailFolderKey::parentAccountId(accountId()));
    for (const QMailFolderId &id : ids) {
        Place place;
        place.folderId = id;
        place.directory = directoryOf(store->folder(id));
        QList<Maildir::Entry> entries;
        if (place.directory.isEmpty() || !Maildir::entries(place.directory, &entries)) {
            continue;
        }
        for (const Maildir::Entry &entry : qAsConst(entries)) {
            place.files.insert(entry.uid, entry);
        }
        place.stored = storedMessages(id);
        places.append(place);
    }
    auto fileOf = [](const Place &place, const Maildir::Entry &entry) {
        return place.directory + (entry.inNew ? QStringLiteral("/new/") : QStringLiteral("/cur/"))
            + entry.fileName;
    };
    auto failFile = [this](int error, const QString &what, const QString &path) {
        fail(codeForErrno(error),
             QStringLiteral("Cannot %1 \"%2\": %3")
                 .arg(what, path, QString::fromLocal8Bit(strerror(error))));
    };

    // Deletions and moves made in the store: names it held, and no longer holds here.
    QMailMessageIdList removed;
    for (Place &place : places) {
        const QSet<QString> was = known.folder(place.folderId);
        for (const QString &uid : was) {
            if (place.stored.contains(uid) || !place.files.contains(uid)) {
                continue;
            }
            const Maildir::Entry entry = place.files.take(uid);
            const QString from = fileOf(place, entry);
            const QMailMessageMetaData moved = store->messageMetaData(uid, accountId());
            QString target;
            for (const Place &other : qAsConst(places)) {
                if (other.folderId == moved.parentFolderId() && other.folderId != place.folderId) {
                    target = other.directory + QStringLiteral("/cur/")
                        + Maildir::fileName(uid, Maildir::flagsOf(entry.fileName));
                }
            }
            const int result = target.isEmpty()
                ? std::remove(QFile::encodeName(from).constData())
                : std::rename(QFile::encodeName(from).constData(),
                              QFile::encodeName(target).constData());
            if (result != 0 && errno != ENOENT) {
                failFile(errno,
                         target.isEmpty() ? QStringLiteral("delete") : QStringLiteral("move"),
                         from);
                return;
            }
            if (!target.isEmpty()) {
                for (Place &other : places) {
                    if (other.folderId == moved.parentFolderId()) {
                        Maildir::Entry arrived = entry;
                        arrived.inNew = false;
                        arrived.fileName = QFileInfo(target).fileName();
                        other.files.insert(uid, arrived);
                    }
                }
            }
        }
    }

    // Flags, and messages marked removed in the store.
    for (Place &place : places) {
        for (auto it = place.stored.cbegin(); it != place.stored.cend(); ++it) {
            if (!place.files.contains(it.key())) {
                continue;
            }
            const Maildir::Entry entry = place.files.value(it.key());
            const QString from = fileOf(place, entry);
            const quint64 status = store->messageMetaData(it.value()).status();
            if (status & QMailMessageMetaData::Removed) {
                if (std::remove(QFile::encodeName(from).constData()) != 0 && errno != ENOENT) {
                    failFile(errno, QStringLiteral("delete"), from);
                    return;
                }
                removed.append(it.value());
                continue;
            }
            const QString current = Maildir::flagsOf(entry.fileName);
            const QString wanted = Maildir::flagsFromStatus(status, current);
            if (wanted == current) {
                continue;
            }
            // Maildir readers look for changed flags in cur/ only.
            const QString to
                = place.directory + QStringLiteral("/cur/") + Maildir::fileName(entry.uid, wanted);
            if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData())
                != 0) {
                failFile(errno, QStringLiteral("rename"), from);
                return;
            }
        }
    }
    if (!removed.isEmpty() && !store->removeMessages(QMailMessageKey::id(removed))) {
        failFromStore(QStringLiteral("Cannot remove the deleted messages"));
        return;
    }
    for (const Place &place : qAsConst(places)) {
        QSet<QString> uids;
        for (auto it = place.stored.cbegin(); it != place.stored.cend(); ++it) {
            if (!removed.contains(it.value())) {
                uids.insert(it.key());
            }
        }
        known.setFolder(place.folderId, uids);
    }
    known.save();
    succeed();
}

QMailFolderId TransmitJob::sentFolder()
{
    QMailStore *store = QMailStore::instance();
    QMailAccount account = store->account(accountId());
    const QMailFolderId sent = account.standardFolder(QMailFolder::SentFolder);
    if (sent.isValid() && !directoryOf(store->folder(sent)).isEmpty()) {
        return sent;
    }
    // A Maildir without a Sent folder gets one, as mail clients make it.
    const QString path = QStringLiteral("Sent");
    if (!Maildir::makeMaildir(Maildir::directoryFor(mRoot, path))) {
        return QMailFolderId();
    }
    QMailFolder folder(path, QMailFolderId(), accountId());
    const QMailFolderIdList existing = store->queryFolders(
        QMailFolderKey::parentAccountId(accountId()) & QMailFolderKey::path(path));
    if (!existing.isEmpty()) {
        folder = store->folder(existing.first());
    } else {
        folder.setDisplayName(path);
        folder.setStatus(QMailFolder::MessagesPermitted | QMailFolder::Sent, true);
        if (!store->addFolder(&folder)) {
            return QMailFolderId();
        }
    }
    account.setStandardFolder(QMailFolder::SentFolder, folder.id());
    store->updateAccount(&account);
    return folder.id();
}

void TransmitJob::doStart()
{
    if (!checkRoot()) {
        return;
    }
    QMailStore *store = QMailStore::instance();
    const QMailAccount account = store->account(accountId());
    const QMailFolderId outbox = account.standardFolder(QMailFolder::OutboxFolder);
    QMailMessageKey queued = QMailMessageKey::parentAccountId(accountId())
        & QMailMessageKey::status(QMailMessageMetaData::Outbox);
    if (outbox.isValid()) {
        queued |= QMailMessageKey::parentFolderId(outbox);
    }
    const QMailMessageIdList ids = store->queryMessages(queued);
    if (ids.isEmpty()) {
        succeed();
        return;
    }
    const QMailFolderId sent = sentFolder();
    const QString directory = directoryOf(store->folder(sent));
    if (!sent.isValid() || directory.isEmpty()) {
        fail(QMailServiceAction::Status::ErrConfiguration,
             QStringLiteral("Cannot make a Sent folder in \"%1\"").arg(mRoot));
        return;
    }
    KnownMessages known(accountId());
    QSet<QString> sentUids = known.folder(sent);
    uint done = 0;
    for (const QMailMessageId &id : ids) {
        QMailMessage message(id);
        const QByteArray text = message.toRfc2822();
        if (text.isEmpty()) {
            fail(QMailServiceAction::Status::ErrInvalidData,
                 QStringLiteral("Message %1 has no content to send").arg(id.toULongLong()),
                 QMailFolderId(), id);
            return;
        }
        QString uid;
        int error = 0;
        if (!Maildir::deliver(directory, text, QStringLiteral("S"), &uid, &error)) {
            fail(codeForErrno(error),
                 QStringLiteral("Cannot deliver message %1 into \"%2\": %3")
                     .arg(id.toULongLong())
                     .arg(directory, QString::fromLocal8Bit(strerror(error))),
                 QMailFolderId(), id);
            return;
        }
        message.setParentFolderId(sent);
        message.setServerUid(uid);
        message.setStatus(QMailMessageMetaData::Outbox | QMailMessageMetaData::Draft, false);
        message.setStatus(QMailMessageMetaData::Sent | QMailMessageMetaData::Outgoing
                              | QMailMessageMetaData::Read,
                          true);
        QMailMessageMetaData metaData = message;
        if (!store->updateMessage(&metaData)) {
            // Delivered but not recorded: take the copy back so nothing is sent twice.
            QFile::remove(directory + QStringLiteral("/cur/")
                          + Maildir::fileName(uid, QStringLiteral("S")));
            failFromStore(
                QStringLiteral("Cannot move message %1 to the Sent folder").arg(id.toULongLong()));
            return;
        }
        sentUids.insert(uid);
        setProgress(++done, uint(ids.size()));
    }
    known.setFolder(sent, sentUids);
    known.save();
    succeed();
}
