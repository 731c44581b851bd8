#include "maildir/maildirjobs.h"

#include "server/messageserverlog.h"
#include "sync/sync.h"

#include <qmailaccount.h>
#include <qmailbulkpriority.h>
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
// Messages per store transaction: mail shows, and the search mirror follows,
// while a large folder is still being read, instead of all at its end.
const int CommitSize = 500;

} // namespace

MaildirJob::MaildirJob(QMailServerRequestType requestType, const QMailAccountId &accountId,
                       const QString &root, QObject *parent)
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

void MaildirJob::failFromStore(const QString &what, const QMailFolderId &folderId)
{
    const QString reason = QMailStore::instance()->lastErrorText();
    fail(Sync::codeForStore(reason), QStringLiteral("%1: %2").arg(what, reason), folderId);
}

QList<Sync::RemoteFolder> FolderListJob::listing(const QString &root, bool *complete)
{
    QList<Sync::RemoteFolder> result;
    QSet<QString> listed;
    const QList<Maildir::Folder> folders = Maildir::folders(root);
    for (const Maildir::Folder &folder : folders) {
        result.append({ folder.path, QLatin1Char('.'), {}, folder.displayName });
        listed.insert(folder.directory);
    }
    // A folder we may not look into is not a folder that has gone.
    *complete = true;
    const QFileInfoList entries
        = QDir(root).entryInfoList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        if (entry.fileName().startsWith(QLatin1Char('.')) && !listed.contains(entry.filePath())
            && !(entry.isReadable() && entry.isExecutable())) {
            *complete = false;
        }
    }
    return result;
}

void FolderListJob::doStart()
{
    if (!checkRoot()) {
        return;
    }
    bool complete = false;
    const QList<Sync::RemoteFolder> folders = listing(mRoot, &complete);
    // A Maildir keeps no record of the flags last agreed on: any message of a
    // folder that vanished may carry a change not yet written, so it stays.
    QMailFolderIdList removed;
    const QMailServiceAction::Status status = Sync::syncFolders(
        accountId(), folders, complete, true, [](const QMailMessageMetaData &) { return true; },
        &removed);
    if (status.errorCode != QMailServiceAction::Status::ErrNoError) {
        fail(status.errorCode, status.text);
        return;
    }
    succeed();
}

MessageListJob::MessageListJob(const QMailAccountId &accountId, const QString &root,
                               const QMailFolderIdList &folderIds, QObject *parent)
    : MaildirJob(RetrieveMessageListRequestType, accountId, root, parent)
    , mFolderIds(folderIds)
    , mAgreed(accountId)
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
    QList<QMailFolder> folders;
    if (!accountFolders(mFolderIds, &folders)) {
        return;
    }
    for (const QMailFolder &folder : qAsConst(folders)) {
        const QMailFolderId id = folder.id();
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
        // Read whole: what the folder lacks is gone from it.
        QStringList listing;
        for (const Maildir::Entry &entry : qAsConst(entries)) {
            listing.append(entry.uid);
        }
        const Sync::Folder view = Sync::readStore(accountId(), id);
        const Sync::Actions actions = Sync::plan(view, listing, true);
        const QSet<QString> wanted(actions.import.cbegin(), actions.import.cend());
        QHash<QString, QString> &agreed = mAgreed.folder(id);
        QHash<QString, QString> kept; // records of the files still here
        QHash<QMailMessageId, QMailMessageMetaData> stored;
        if (!agreed.isEmpty()) {
            const auto all
                = QMailStore::instance()->messagesMetaData(QMailMessageKey::parentFolderId(id));
            for (const QMailMessageMetaData &message : all) {
                stored.insert(message.id(), message);
            }
        }
        const quint64 mask = Maildir::mappedStatusMask();
        for (const Maildir::Entry &entry : qAsConst(entries)) {
            if (wanted.contains(entry.uid)) {
                work.fresh.append(entry);
                continue;
            }
            const QString letters = Maildir::flagsOf(entry.fileName);
            const auto message = stored.find(view.stored.value(entry.uid));
            if (message != stored.end()
                && Maildir::AgreedFlags::fileChanged(agreed, entry.uid, letters,
                                                     message->status())) {
                message->setStatus(mask, false);
                message->setStatus(Maildir::statusFromFlags(letters) & mask, true);
                work.reflagged.append(*message);
                kept.insert(entry.uid, letters);
            } else if (view.stored.contains(entry.uid)) {
                kept.insert(entry.uid, agreed.value(entry.uid, letters));
            }
        }
        agreed = kept;
        work.gone = actions.drop;
        for (const QString &uid : actions.purgeRecords) {
            work.purged.append({ QMailMessageId(), accountId(), id, uid });
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
        mAgreed.save();
        succeed();
        return;
    }
    if (!mInTransaction && !beginFolder()) {
        return;
    }
    QMailStore *store = QMailStore::instance();
    FolderWork &work = mWork[mFolder];
    const QMailBulkSlice slice(mTotal >= uint(QMailBulkSlice::Threshold));
    for (int n = 0; n < SliceSize && mNext < work.fresh.size(); ++n, ++mNext) {
        const Maildir::Entry &entry = work.fresh.at(mNext);
        const QString path = Maildir::pathOf(work.directory, entry);
        QMailMessageMetaData message;
        message.setParentAccountId(accountId());
        message.setParentFolderId(work.folderId);
        message.setServerUid(entry.uid);
        message.setStatus(Sync::ImportedStatus
                              | Maildir::statusFromFlags(Maildir::flagsOf(entry.fileName)),
                          true);
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
        mAgreed.folder(work.folderId).insert(entry.uid, Maildir::flagsOf(entry.fileName));
        ++mDone;
    }
    setProgress(mDone, mTotal);
    if (mNext >= work.fresh.size() ? !finishFolder()
                                   : mNext - mCommitted >= CommitSize && !commitSlice()) {
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
    mCommitted = 0;
    if (!work.gone.isEmpty() && !store->removeMessages(QMailMessageKey::id(work.gone))) {
        abandon();
        failFromStore(QStringLiteral("Cannot remove messages gone from the Maildir"),
                      work.folderId);
        return false;
    }
    if (!store->purgeMessageRemovalRecords(work.purged)) {
        abandon();
        failFromStore(QStringLiteral("Cannot drop removal records"), work.folderId);
        return false;
    }
    for (QMailMessageMetaData message : work.reflagged) {
        if (!store->updateMessage(&message)) {
            abandon();
            failFromStore(QStringLiteral("Cannot update message flags"), work.folderId);
            return false;
        }
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
    ++mFolder;
    return true;
}

// What a cancel or a crash then keeps are whole messages, each with its
// flags; the next sync brings the rest of the folder.
bool MessageListJob::commitSlice()
{
    QMailStore *store = QMailStore::instance();
    const QMailFolderId folderId = mWork.at(mFolder).folderId;
    if (!store->commitTransaction()) {
        abandon();
        failFromStore(QStringLiteral("Cannot store the messages"), folderId);
        return false;
    }
    mCommitted = mNext;
    if (!store->startTransaction()) {
        mInTransaction = false;
        failFromStore(QStringLiteral("Cannot open a store transaction"), folderId);
        return false;
    }
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
    struct Place
    {
        QMailFolderId folderId;
        QString directory;
        QHash<QString, Maildir::Entry> files;
        QHash<QString, QMailMessageId> stored;
    };
    QHash<QMailFolderId, Place> places;
    Maildir::AgreedFlags agreedFlags(accountId());
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
        place.stored = Sync::readStore(accountId(), id).stored;
        places.insert(id, place);
    }
    auto fileOf = [](const Place &place, const Maildir::Entry &entry) {
        return Maildir::pathOf(place.directory, entry);
    };
    auto failFile = [this](int error, const QString &what, const QString &path) {
        fail(Sync::codeForErrno(error),
             QStringLiteral("Cannot %1 \"%2\": %3")
                 .arg(what, path, QString::fromLocal8Bit(strerror(error))));
    };
    auto removeFile = [&](Place &place, const QString &uid) {
        const QString path = fileOf(place, place.files.take(uid));
        if (std::remove(QFile::encodeName(path).constData()) != 0 && errno != ENOENT) {
            failFile(errno, QStringLiteral("delete"), path);
            return false;
        }
        return true;
    };

    // The user's removals: the files their records name.
    QList<QMailServerCopy> done;
    const QList<QMailServerCopy> records = store->messageRemovalRecords(accountId());
    for (const QMailServerCopy &record : records) {
        auto place = places.find(record.folderId);
        if (place == places.end()) {
            continue; // its folder is not read: the record waits
        }
        if (place->files.contains(record.serverUid) && !removeFile(*place, record.serverUid)) {
            return;
        }
        done.append(record);
    }
    if (!store->purgeMessageRemovalRecords(done)) {
        failFromStore(QStringLiteral("Cannot drop the removal records"));
        return;
    }

    // Moves made in the store, from here.
    QMailMessageIdList arrived;
    const QList<QMailServerCopy> origins = store->messageOrigins(accountId());
    for (const QMailServerCopy &origin : origins) {
        auto from = places.find(origin.folderId);
        if (from == places.end() || !from->files.contains(origin.serverUid)) {
            continue; // the copy is not at hand: the message stays as it is
        }
        QMailMessageMetaData message = store->messageMetaData(origin.messageId);
        const QMailFolder destination = store->folder(message.parentFolderId());
        QString directory = places.value(destination.id()).directory;
        if (destination.parentAccountId() != accountId() && sMaildirOf) {
            const QString root = sMaildirOf(destination.parentAccountId());
            directory
                = root.isEmpty() ? QString() : Maildir::directoryFor(root, destination.path());
            if (!directory.isEmpty() && !Maildir::isMaildir(directory)) {
                directory.clear();
            }
        }
        const Maildir::Entry entry = from->files.value(origin.serverUid);
        const QString path = fileOf(*from, entry);
        switch (Sync::moveOf(origin, destination, !directory.isEmpty())) {
        case Sync::Move::LeaveAlone:
            break;
        case Sync::Move::Home:
            arrived.append(origin.messageId);
            break;
        case Sync::Move::WithinAccount: {
            const QString target = directory + QStringLiteral("/cur/")
                + Maildir::fileName(origin.serverUid, Maildir::flagsOf(entry.fileName));
            if (std::rename(QFile::encodeName(path).constData(),
                            QFile::encodeName(target).constData())
                != 0) {
                failFile(errno, QStringLiteral("move"), path);
                return;
            }
            Maildir::Entry moved = entry;
            moved.inNew = false;
            moved.fileName = QFileInfo(target).fileName();
            from->files.remove(origin.serverUid);
            places[destination.id()].files.insert(origin.serverUid, moved);
            places[destination.id()].stored.insert(origin.serverUid, origin.messageId);
            arrived.append(origin.messageId);
            break;
        }
        case Sync::Move::ToOtherAccount: {
            // Delivered there first: the source goes only once the copy is safe.
            QFile source(path);
            if (!source.open(QIODevice::ReadOnly)) {
                failFile(EIO, QStringLiteral("read"), path);
                return;
            }
            QString uid;
            int error = 0;
            if (!Maildir::deliver(directory, source.readAll(), Maildir::flagsOf(entry.fileName),
                                  &uid, &error)) {
                failFile(error, QStringLiteral("deliver into"), directory);
                return;
            }
            message.setServerUid(uid);
            if (!store->updateMessage(&message)
                || !store->clearMessageOrigins({ origin.messageId })) {
                QFile::remove(directory + QStringLiteral("/cur/")
                              + Maildir::fileName(uid, Maildir::flagsOf(entry.fileName)));
                failFromStore(QStringLiteral("Cannot record the move of message %1")
                                  .arg(origin.messageId.toULongLong()));
                return;
            }
            if (!removeFile(*from, origin.serverUid)) {
                return;
            }
            break;
        }
        }
    }
    if (!store->clearMessageOrigins(arrived)) {
        failFromStore(QStringLiteral("Cannot record the moves"));
        return;
    }

    // Flags, and messages marked removed in the store.
    QMailMessageIdList removed;
    for (Place &place : places) {
        for (auto it = place.stored.cbegin(); it != place.stored.cend(); ++it) {
            if (!place.files.contains(it.key())) {
                continue;
            }
            const Maildir::Entry entry = place.files.value(it.key());
            const QString from = fileOf(place, entry);
            const quint64 status = store->messageMetaData(it.value()).status();
            if (status & QMailMessageMetaData::Removed) {
                if (!removeFile(place, it.key())) {
                    return;
                }
                removed.append(it.value());
                continue;
            }
            const QString current = Maildir::flagsOf(entry.fileName);
            QHash<QString, QString> &agreed = agreedFlags.folder(place.folderId);
            if (Maildir::AgreedFlags::fileChanged(agreed, entry.uid, current, status)) {
                continue; // another client's change: the store takes it at its next look
            }
            const QString wanted = Maildir::flagsFromStatus(status, current);
            agreed.insert(entry.uid, wanted);
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
    agreedFlags.save();
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
            fail(Sync::codeForErrno(error),
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
        setProgress(++done, uint(ids.size()));
    }
    succeed();
}

std::function<QString(const QMailAccountId &)> ExportUpdatesJob::sMaildirOf;
