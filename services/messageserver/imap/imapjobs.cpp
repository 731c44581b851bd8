#include "imap/imapjobs.h"

#include "imap/rawfetchjob.h"
#include "maildir/maildir.h"
#include "server/messageserverlog.h"
#include "smtp/smtpsender.h"
#include "sync/sync.h"

#include <qmailaccount.h>
#include <qmailbulkpriority.h>
#include <qmailstore.h>

#include <KIMAP/AppendJob>
#include <KIMAP/CopyJob>
#include <KIMAP/CreateJob>
#include <KIMAP/ExpungeJob>
#include <KIMAP/FetchJob>
#include <KIMAP/ListJob>
#include <KIMAP/MoveJob>
#include <KIMAP/SearchJob>
#include <KIMAP/SelectJob>
#include <KIMAP/StoreJob>

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSaveFile>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Fetched messages stored per transaction: at most so many, or so many bytes.
const int BatchSize = 100;
const qint64 BatchBytes = 2 << 20;
// UIDs per FETCH command: the first, and at most; and the bytes a
// command is sized for. Commands of many megabytes, which arrive faster
// than KIMAP's reader takes them in, cost far more time and memory (seen
// on a loaded machine) than a few more round trips.
const int FirstChunk = 50;
const int MaxChunk = 500;
const qint64 ChunkBytes = 1 << 20;

const quint32 StateMarker = 0xffffffff;

quint8 flagsFromImap(const QList<QByteArray> &flags)
{
    quint8 result = 0;
    for (const QByteArray &flag : flags) {
        const QByteArray name = flag.toLower();
        result |= name == "\\seen" ? SeenFlag
            : name == "\\flagged"  ? FlaggedFlag
            : name == "\\answered" ? AnsweredFlag
                                   : 0;
    }
    return result;
}

bool isDeleted(const QList<QByteArray> &flags)
{
    return std::any_of(flags.cbegin(), flags.cend(),
                       [](const QByteArray &f) { return f.toLower() == "\\deleted"; });
}

quint8 flagsFromStatus(quint64 status)
{
    return ((status & QMailMessageMetaData::Read) ? SeenFlag : 0)
        | ((status & QMailMessageMetaData::Important) ? FlaggedFlag : 0)
        | ((status & QMailMessageMetaData::Replied) ? AnsweredFlag : 0);
}

void applyFlags(QMailMessageMetaData *message, quint8 flags)
{
    message->setStatus(QMailMessageMetaData::Read, flags & SeenFlag);
    message->setStatus(QMailMessageMetaData::Important, flags & FlaggedFlag);
    message->setStatus(QMailMessageMetaData::Replied, flags & AnsweredFlag);
}

QList<QByteArray> imapFlags(quint8 flags)
{
    static const QByteArray names[3] = { "\\Seen", "\\Flagged", "\\Answered" };
    QList<QByteArray> result;
    for (int bit = 0; bit < 3; ++bit) {
        if (flags & (1 << bit)) {
            result.append(names[bit]);
        }
    }
    return result;
}

// The header of RFC 822 text, up to the empty line that ends it.
QByteArray headerOf(const QByteArray &content)
{
    int end = content.indexOf("\n\n");
    const int crlf = content.indexOf("\n\r\n");
    if (crlf >= 0 && (end < 0 || crlf < end)) {
        end = crlf;
    }
    return end < 0 ? content : content.left(end + 1);
}

KIMAP::ImapSet setOf(const QVector<qint64> &uids)
{
    KIMAP::ImapSet set;
    set.add(uids);
    return set;
}

} // namespace

ImapState::ImapState(const QMailAccountId &accountId)
{
    mFile = QMailStore::instance()->storagePath()
        + QStringLiteral("/messageserver/imap-%1").arg(accountId.toULongLong());
    QFile file(mFile);
    if (!file.open(QIODevice::ReadOnly)) {
        return;
    }
    QDataStream in(&file);
    quint32 count = 0;
    in >> count;
    // Files of the first layout start with the folder count; later ones with
    // a marker no count can be, then their layout's number.
    quint32 layout = 1;
    QString identity;
    if (count == StateMarker) {
        in >> layout;
        if (layout >= 3) {
            in >> identity;
        }
        in >> count;
    }
    // What was agreed with another store (made anew) says nothing of this one.
    if (identity != QMailStore::instance()->identity()) {
        qMailLog(MessageServer) << mFile
                                << "belongs to another store: the folders are fetched afresh";
        return;
    }
    for (quint32 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
        quint64 id = 0;
        Folder folder;
        in >> id >> folder.uidValidity >> folder.lastSeen >> folder.known;
        if (layout >= 2) {
            in >> folder.modSeq >> folder.count;
        }
        if (layout >= 5) {
            in >> folder.days >> folder.uidNext;
        } else if (layout == 4) {
            in >> folder.days;
        } else {
            // Looked at whole only up to a minimum count then: looked at again.
            folder.modSeq = 0;
        }
        mFolders.insert(id, folder);
    }
    if (in.status() != QDataStream::Ok) {
        qWarning("Cannot read %s: the account's folders are fetched afresh", qPrintable(mFile));
        mFolders.clear();
    }
}

bool ImapState::save() const
{
    QDir().mkpath(QFileInfo(mFile).absolutePath());
    QSaveFile file(mFile);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    QDataStream out(&file);
    out << StateMarker << quint32(5) << QMailStore::instance()->identity()
        << quint32(mFolders.size());
    for (auto it = mFolders.cbegin(); it != mFolders.cend(); ++it) {
        out << quint64(it.key()) << it->uidValidity << it->lastSeen << it->known << it->modSeq
            << it->count << it->days << it->uidNext;
    }
    return file.commit();
}

ImapJob::ImapJob(QMailServerRequestType requestType, const QMailAccountId &accountId,
                 const AccountConfig &config, QObject *parent)
    : ServiceJob(requestType, accountId, parent)
    , mConfig(config)
    , mState(accountId)
{ }

void ImapJob::cancelRequested()
{
    if (mImap) {
        mImap->close();
    }
    if (QMailStore::instance()->inTransaction()) {
        QMailStore::instance()->rollbackTransaction();
    }
    fail(QMailServiceAction::Status::ErrCancel, QStringLiteral("Cancelled"));
}

void ImapJob::openImap(const std::function<void()> &then)
{
    if (!mImapRefused.isEmpty()) {
        fail(QMailServiceAction::Status::ErrLoginFailed, mImapRefused);
        return;
    }
    mImap = new ImapConnection(mConfig, this);
    connect(mImap, &ImapConnection::failed, this, [this](ErrorCode code, const QString &text) {
        if (QMailStore::instance()->inTransaction()) {
            QMailStore::instance()->rollbackTransaction();
        }
        fail(code, text);
    });
    connect(mImap, &ImapConnection::ready, this, then);
    mImap->open();
}

void ImapJob::finishOk()
{
    if (mImap) {
        mImap->close();
    }
    if (!mState.save()) {
        qWarning("Cannot record the IMAP state of account %llu",
                 static_cast<unsigned long long>(accountId().toULongLong()));
    }
    succeed();
}

void ImapJob::failFromStore(const QString &what, const QMailFolderId &folderId)
{
    QMailStore *store = QMailStore::instance();
    const QString reason = store->lastErrorText();
    if (store->inTransaction()) {
        store->rollbackTransaction();
    }
    if (mImap) {
        mImap->close();
    }
    fail(Sync::codeForStore(reason), QStringLiteral("%1: %2").arg(what, reason), folderId);
}

QHash<qint64, QMailMessageMetaData> ImapJob::storedMessages(const QMailFolderId &folderId) const
{
    // Only messages whose copy is in this folder: one moved here keeps its
    // number of another folder.
    QHash<qint64, QMailMessageMetaData> result;
    const Sync::Folder view = Sync::readStore(accountId(), folderId);
    for (auto it = view.stored.cbegin(); it != view.stored.cend(); ++it) {
        bool ok = false;
        const qint64 uid = it.key().toLongLong(&ok);
        if (ok) {
            result.insert(uid, QMailStore::instance()->messageMetaData(it.value()));
        }
    }
    return result;
}

void ImapFolderListJob::doStart()
{
    openImap([this] {
        auto *list = new KIMAP::ListJob(mImap->session());
        list->setOption(KIMAP::ListJob::IncludeUnsubscribed);
        connect(list, &KIMAP::ListJob::mailBoxesReceived, this,
                [this](const QList<KIMAP::MailBoxDescriptor> &boxes,
                       const QList<QList<QByteArray>> &flags) {
                    mImap->heardFromServer();
                    for (int i = 0; i < boxes.size(); ++i) {
                        mMailboxes.append(
                            { boxes.at(i).name, boxes.at(i).separator, flags.value(i), QString() });
                    }
                });
        run(list, [this] { storeFolders(); });
    });
}

void ImapFolderListJob::storeFolders()
{
    // A change not yet exported is a flag that differs from the one agreed
    // with the server, or a message the server was never asked about.
    auto unexported = [this](const QMailMessageMetaData &message) {
        if (!mState.contains(message.parentFolderId())) {
            return true;
        }
        const ImapState::Folder &state = mState.folder(message.parentFolderId());
        const auto known = state.known.constFind(message.serverUid().toLongLong());
        return known == state.known.cend() || *known != flagsFromStatus(message.status());
    };
    QMailFolderIdList removed;
    // LIST succeeded whole, or the job failed before this point.
    const QMailServiceAction::Status status
        = Sync::syncFolders(accountId(), mMailboxes, true, false, unexported, &removed);
    if (status.errorCode != QMailServiceAction::Status::ErrNoError) {
        if (mImap) {
            mImap->close();
        }
        fail(status.errorCode, status.text);
        return;
    }
    for (const QMailFolderId &id : qAsConst(removed)) {
        mState.remove(id);
    }
    finishOk();
}

ImapMessageListJob::ImapMessageListJob(const QMailAccountId &accountId, const AccountConfig &config,
                                       const QMailFolderIdList &folderIds, QObject *parent)
    : ImapJob(RetrieveMessageListRequestType, accountId, config, parent)
    , mFolderIds(folderIds)
{ }

void ImapMessageListJob::doStart()
{
    QMailStore *store = QMailStore::instance();
    const QMailFolderId outbox
        = store->account(accountId()).standardFolder(QMailFolder::OutboxFolder);
    QList<QMailFolder> folders;
    if (!accountFolders(mFolderIds, &folders)) {
        return;
    }
    mFolderIds.clear();
    for (const QMailFolder &folder : qAsConst(folders)) {
        // A folder gone from the server but kept for its mail has nothing to fetch.
        if (folder.id() != outbox && (folder.status() & QMailFolder::MessagesPermitted)
            && !(folder.status() & QMailFolder::Removed)) {
            mFolderIds.append(folder.id());
        }
    }
    openImap([this] { nextFolder(); });
}

void ImapMessageListJob::nextFolder()
{
    if (mIndex >= mFolderIds.size()) {
        finishOk();
        return;
    }
    const QMailFolderId id = mFolderIds.at(mIndex);
    setWorkingOn(id);
    auto *select = new KIMAP::SelectJob(mImap->session());
    select->setMailBox(QMailFolder(id).path());
    select->setOpenReadOnly(true);
    // Servers such as Dovecot keep modification sequences only once asked to.
    select->setCondstoreEnabled(mImap->hasCapability(QStringLiteral("CONDSTORE")));
    run(select, [this, select, id] {
        mServer.clear();
        mListed = 0;
        mModSeq = select->highestModSequence();
        mCount = select->messageCount();
        mUidNext = select->nextUid();
        const qint64 uidValidity = select->uidValidity();
        const ImapState::Folder known
            = mState.contains(id) ? mState.folder(id) : ImapState::Folder();
        // Since the last complete look: no message came (UIDNEXT) and so none
        // was expunged (the count); the same days limit asks for no other.
        const bool same = mModSeq != 0 && known.modSeq != 0 && known.uidNext != 0
            && known.uidValidity == uidValidity && known.uidNext == mUidNext
            && known.count == mCount && known.days == mConfig.syncDays;
        if (same && known.modSeq == mModSeq) {
            qMailLog(MessageServer) << "folder" << id.toULongLong()
                                    << "unchanged since modification sequence" << mModSeq;
            ++mIndex;
            nextFolder();
        } else if (same && known.modSeq < mModSeq) {
            listChanges(known.modSeq, uidValidity);
        } else if (mCount == 0) {
            reconcile(uidValidity);
        } else {
            listWhole(uidValidity);
        }
    });
}

void ImapMessageListJob::listWhole(qint64 uidValidity)
{
    auto *fetch = new KIMAP::FetchJob(mImap->session());
    KIMAP::FetchJob::FetchScope scope;
    scope.mode = KIMAP::FetchJob::FetchScope::Flags;
    fetch->setScope(scope);
    fetch->setUidBased(true);
    fetch->setSequenceSet(KIMAP::ImapSet(1, 0));
    connect(fetch, &KIMAP::FetchJob::messagesAvailable, this,
            [this](const QMap<qint64, KIMAP::Message> &messages) {
                mImap->heardFromServer();
                mListed += messages.size();
                for (const KIMAP::Message &message : messages) {
                    // Flagged \Deleted: as good as expunged.
                    if (!isDeleted(message.flags)) {
                        mServer.insert(message.uid, flagsFromImap(message.flags));
                    }
                }
            });
    run(fetch, [this, uidValidity] { limitToDays(uidValidity); });
}

void ImapMessageListJob::listChanges(quint64 since, qint64 uidValidity)
{
    auto *fetch = new KIMAP::FetchJob(mImap->session());
    KIMAP::FetchJob::FetchScope scope;
    scope.mode = KIMAP::FetchJob::FetchScope::Flags;
    scope.changedSince = since;
    fetch->setScope(scope);
    fetch->setUidBased(true);
    fetch->setSequenceSet(KIMAP::ImapSet(1, 0));
    auto changed = std::make_shared<QMap<qint64, QList<QByteArray>>>();
    connect(fetch, &KIMAP::FetchJob::messagesAvailable, this,
            [this, changed](const QMap<qint64, KIMAP::Message> &messages) {
                mImap->heardFromServer();
                for (const KIMAP::Message &message : messages) {
                    changed->insert(message.uid, message.flags);
                }
            });
    run(fetch, [this, changed, uidValidity] {
        QMailStore *store = QMailStore::instance();
        const QMailFolderId folderId = mFolderIds.at(mIndex);
        ImapState::Folder &state = mState.folder(folderId);
        const Sync::Folder view = Sync::readStore(accountId(), folderId);
        // This answer names only some messages and deletes nothing: one now
        // flagged \Deleted, or one the store does not hold as the server's
        // copy, is left to the complete listing.
        for (auto it = changed->cbegin(); it != changed->cend(); ++it) {
            if (isDeleted(it.value()) || !view.stored.contains(QString::number(it.key()))) {
                listWhole(uidValidity);
                return;
            }
        }
        qMailLog(MessageServer) << "folder" << folderId.toULongLong() << "flags of"
                                << changed->size() << "messages changed since modification sequence"
                                << state.modSeq;
        if (!store->startTransaction()) {
            failFromStore(QStringLiteral("Cannot open a store transaction"), folderId);
            return;
        }
        for (auto it = changed->cbegin(); it != changed->cend(); ++it) {
            QMailMessageMetaData message
                = store->messageMetaData(view.stored.value(QString::number(it.key())));
            const quint8 flags = flagsFromImap(it.value());
            // Changed there since they agreed: as there (a change made only
            // here goes out with the next export).
            if (flags != state.known.value(it.key(), flagsFromStatus(message.status()))) {
                applyFlags(&message, flags);
                if (!store->updateMessage(&message)) {
                    failFromStore(QStringLiteral("Cannot update message flags"), folderId);
                    return;
                }
            }
            state.known.insert(it.key(), flags);
        }
        if (!store->commitTransaction()) {
            failFromStore(QStringLiteral("Cannot store the folder's changes"), folderId);
            return;
        }
        state.modSeq = mModSeq;
        mState.save();
        ++mIndex;
        nextFolder();
    });
}

void ImapMessageListJob::limitToDays(qint64 uidValidity)
{
    mWithinDays.clear();
    if (mConfig.syncDays <= 0) {
        reconcile(uidValidity);
        return;
    }
    // SINCE compares the date the server received a message, which a
    // sender cannot set into the window.
    auto *search = new KIMAP::SearchJob(mImap->session());
    search->setUidBased(true);
    search->setTerm(
        KIMAP::Term(KIMAP::Term::Since, QDate::currentDate().addDays(-(mConfig.syncDays - 1))));
    run(search, [this, search, uidValidity] {
        const QVector<qint64> within = search->results();
        mWithinDays = QSet<qint64>(within.cbegin(), within.cend());
        reconcile(uidValidity);
    });
}

void ImapMessageListJob::reconcile(qint64 uidValidity)
{
    QMailStore *store = QMailStore::instance();
    const QMailFolderId folderId = mFolderIds.at(mIndex);
    ImapState::Folder &state = mState.folder(folderId);
    if (!store->startTransaction()) {
        failFromStore(QStringLiteral("Cannot open a store transaction"), folderId);
        return;
    }
    Sync::Folder view = Sync::readStore(accountId(), folderId);
    if (state.uidValidity != 0 && state.uidValidity != uidValidity) {
        // The server renumbered the folder: the store's numbers of it are
        // void, and so are removal records by them (never expunged now).
        // Messages as they were agreed come again under their new numbers;
        // those with changes not yet exported stay, unbound from the server.
        qMailLog(MessageServer) << "folder" << folderId.toULongLong()
                                << "UIDVALIDITY changed: fetched afresh";
        QMailMessageIdList agreed;
        QList<QMailServerCopy> records;
        for (auto it = view.stored.cbegin(); it != view.stored.cend(); ++it) {
            QMailMessageMetaData message = store->messageMetaData(it.value());
            const auto known = state.known.constFind(it.key().toLongLong());
            if (known != state.known.cend() && *known == flagsFromStatus(message.status())
                && !view.removedMarks.contains(it.key())) {
                agreed.append(it.value());
                continue;
            }
            message.setServerUid(QString());
            if (!store->updateMessage(&message)) {
                failFromStore(QStringLiteral("Cannot keep the folder's changed messages"),
                              folderId);
                return;
            }
        }
        for (const QString &uid : qAsConst(view.records)) {
            records.append({ QMailMessageId(), accountId(), folderId, uid });
        }
        // Moves out of it wait on numbers that name nothing now: their
        // messages stay where the user put them, unbound, and the old
        // numbers keep no new message out.
        QMailMessageIdList moved;
        const QList<QMailServerCopy> origins = store->messageOrigins(accountId());
        for (const QMailServerCopy &origin : origins) {
            if (origin.folderId != folderId) {
                continue;
            }
            QMailMessageMetaData message = store->messageMetaData(origin.messageId);
            message.setServerUid(QString());
            if (!store->updateMessage(&message)) {
                failFromStore(QStringLiteral("Cannot keep the folder's moved messages"), folderId);
                return;
            }
            moved.append(origin.messageId);
        }
        if (!store->removeMessages(QMailMessageKey::id(agreed))
            || !store->purgeMessageRemovalRecords(records) || !store->clearMessageOrigins(moved)) {
            failFromStore(QStringLiteral("Cannot drop the folder's messages"), folderId);
            return;
        }
        state = ImapState::Folder();
        view = Sync::Folder();
    }
    state.uidValidity = uidValidity;
    // Recorded as looked at whole only once every message is in: a look
    // broken off is made whole next time.
    state.uidNext = mUidNext;
    state.modSeq = 0;
    QStringList listing;
    for (auto it = mServer.constBegin(); it != mServer.constEnd(); ++it) {
        listing.append(QString::number(it.key()));
    }
    // Every message of the folder was listed, under the numbers the store knows.
    const Sync::Actions actions = Sync::plan(view, listing, mListed == mCount);
    for (auto it = view.stored.cbegin(); it != view.stored.cend(); ++it) {
        const qint64 uid = it.key().toLongLong();
        const auto onServer = mServer.constFind(uid);
        if (onServer == mServer.cend()) {
            state.known.remove(uid);
            continue;
        }
        QMailMessageMetaData message = store->messageMetaData(it.value());
        const quint8 agreed = state.known.value(uid, flagsFromStatus(message.status()));
        if (*onServer != agreed) {
            applyFlags(&message, *onServer);
            if (!store->updateMessage(&message)) {
                failFromStore(QStringLiteral("Cannot update message flags"), folderId);
                return;
            }
        }
        state.known.insert(uid, *onServer);
    }
    QList<QMailServerCopy> purged;
    for (const QString &uid : actions.purgeRecords) {
        purged.append({ QMailMessageId(), accountId(), folderId, uid });
    }
    if ((!actions.drop.isEmpty() && !store->removeMessages(QMailMessageKey::id(actions.drop)))
        || !store->purgeMessageRemovalRecords(purged)) {
        failFromStore(QStringLiteral("Cannot remove messages gone from the server"), folderId);
        return;
    }
    if (!store->commitTransaction()) {
        failFromStore(QStringLiteral("Cannot store the folder's changes"), folderId);
        return;
    }
    // Newest first, whatever the store held before: the first screenful
    // comes first. Older than the days limit: left on the server, and what
    // the store holds of it stays.
    mPending.clear();
    for (auto it = actions.import.crbegin(); it != actions.import.crend(); ++it) {
        const qint64 uid = it->toLongLong();
        if (mConfig.syncDays <= 0 || mWithinDays.contains(uid)) {
            mPending.append(uid);
        }
    }
    std::sort(mPending.begin(), mPending.end(), std::greater<qint64>());
    if (!mServer.isEmpty()) {
        state.lastSeen = qMax(state.lastSeen, mServer.lastKey());
    }
    mTotal += uint(mPending.size());
    setProgress(mDone, mTotal);
    fetchBatch();
}

void ImapMessageListJob::fetchBatch()
{
    if (mPending.isEmpty()) {
        // Only now: a look broken off must be made whole next time.
        ImapState::Folder &state = mState.folder(mFolderIds.at(mIndex));
        state.modSeq = mModSeq;
        state.count = mCount;
        state.days = mConfig.syncDays;
        mState.save();
        ++mIndex;
        nextFolder();
        return;
    }
    // One command per chunk: the first small, for the first screenful; then
    // as many as make about ChunkBytes at the sizes seen so far, which is
    // what waits in memory should the store fall behind the server.
    // Whole groups of BatchSize: every commit (and state file written) is a full one.
    int count = FirstChunk;
    if (mFetchedCount > 0) {
        const qint64 average = qMax<qint64>(1, mFetchedBytes / mFetchedCount);
        count = int(qBound<qint64>(1, ChunkBytes / average / BatchSize, MaxChunk / BatchSize))
            * BatchSize;
    }
    const QVector<qint64> chunk = mPending.mid(0, count);
    mPending.remove(0, chunk.size());
    const QPointer<ImapMessageListJob> alive(this);
    auto *fetch
        = new RawFetchJob(mImap->session(), chunk, [alive](const RawFetchJob::Message &message) {
              return alive && alive->arrived(message);
          });
    run(fetch, [this] {
        if (storeBatch()) {
            fetchBatch();
        }
    });
}

bool ImapMessageListJob::arrived(const RawFetchJob::Message &message)
{
    if (isFinished()) {
        return false;
    }
    mImap->heardFromServer();
    mFetchedBytes += message.content.size();
    ++mFetchedCount;
    if (isDeleted(message.flags)) {
        return true;
    }
    mArrived.append(
        { message.uid, flagsFromImap(message.flags), message.content, message.received });
    mArrivedBytes += message.content.size();
    return (mArrived.size() < BatchSize && mArrivedBytes < BatchBytes) || storeBatch();
}

bool ImapMessageListJob::storeBatch()
{
    if (mArrived.isEmpty()) {
        return true;
    }
    const QMailBulkSlice slice(mTotal >= uint(QMailBulkSlice::Threshold));
    QMailStore *store = QMailStore::instance();
    const QMailFolderId folderId = mFolderIds.at(mIndex);
    ImapState::Folder &state = mState.folder(folderId);
    // Newest first into the store, as they were asked for.
    std::sort(mArrived.begin(), mArrived.end(),
              [](const Arrived &a, const Arrived &b) { return a.uid > b.uid; });
    if (!store->startTransaction()) {
        failFromStore(QStringLiteral("Cannot open a store transaction"), folderId);
        return false;
    }
    // Kept through a renumbering for changes not yet exported: the copy that
    // comes under its new number is theirs, not a second message.
    QHash<QString, QMailMessageId> unbound;
    const QMailMessageIdList loose = store->queryMessages(
        QMailMessageKey::parentFolderId(folderId) & QMailMessageKey::serverUid(QStringLiteral(""))
        & QMailMessageKey::status(QMailMessageMetaData::Incoming));
    for (const QMailMessageId &id : loose) {
        const QString header = QMailMessage(id).messageIdHeader();
        if (!header.isEmpty()) {
            unbound.insert(header, id);
        }
    }
    for (const Arrived &fetched : qAsConst(mArrived)) {
        const QMailMessageId kept = unbound.isEmpty()
            ? QMailMessageId()
            : unbound.take(QMailMessage::fromRfc2822(headerOf(fetched.content)).messageIdHeader());
        if (kept.isValid()) {
            QMailMessageMetaData own = store->messageMetaData(kept);
            own.setServerUid(QString::number(fetched.uid));
            if (!store->updateMessage(&own)) {
                failFromStore(QStringLiteral("Cannot store message %1").arg(fetched.uid), folderId);
                return false;
            }
            // As the server has them: the message's own changes go out next.
            state.known.insert(fetched.uid, fetched.flags);
            ++mDone;
            continue;
        }
        // The bytes the server sent are the message's content, as they are.
        QMailMessageMetaData message;
        message.setParentAccountId(accountId());
        message.setParentFolderId(folderId);
        message.setServerUid(QString::number(fetched.uid));
        message.setStatus(Sync::ImportedStatus, true);
        applyFlags(&message, fetched.flags);
        if (fetched.received.isValid()) {
            message.setReceivedDate(QMailTimeStamp(fetched.received));
        }
        if (!store->addMessageFromData(&message, fetched.content)) {
            failFromStore(QStringLiteral("Cannot store message %1").arg(fetched.uid), folderId);
            return false;
        }
        state.known.insert(fetched.uid, fetched.flags);
        ++mDone;
    }
    mArrived.clear();
    mArrivedBytes = 0;
    if (!store->commitTransaction()) {
        failFromStore(QStringLiteral("Cannot store the messages"), folderId);
        return false;
    }
    mState.save();
    setProgress(mDone, mTotal);
    return true;
}

std::function<AccountConfig(const QMailAccountId &)> ImapExportJob::sConfigOf;

void ImapExportJob::doStart()
{
    const QMailFolderIdList ids
        = QMailStore::instance()->queryFolders(QMailFolderKey::parentAccountId(accountId()));
    for (const QMailFolderId &id : ids) {
        if (mState.contains(id) && !(QMailFolder(id).status() & QMailFolder::Removed)) {
            mFolders.append(id);
        }
    }
    if (mFolders.isEmpty()) {
        succeed(); // nothing was ever agreed with the server
        return;
    }
    planMoves();
    if (!isFinished()) {
        openImap([this] { nextMove(); });
    }
}

void ImapExportJob::planMoves()
{
    QMailStore *store = QMailStore::instance();
    const QMailFolderId outbox
        = store->account(accountId()).standardFolder(QMailFolder::OutboxFolder);
    QMailMessageIdList home;
    const QList<QMailServerCopy> origins = store->messageOrigins(accountId());
    for (const QMailServerCopy &origin : origins) {
        Move move;
        move.origin = origin;
        move.destination = store->folder(store->messageMetaData(origin.messageId).parentFolderId());
        const QMailAccountId there = move.destination.parentAccountId();
        const bool permitted = move.destination.status() & QMailFolder::MessagesPermitted;
        bool hasCopies = false;
        if (there == accountId()) {
            hasCopies = permitted && move.destination.id() != outbox
                && mState.contains(move.destination.id());
        } else if (there.isValid() && sConfigOf) {
            move.target = sConfigOf(there);
            if (!move.target.maildir.isEmpty()) {
                move.directory
                    = Maildir::directoryFor(move.target.maildir, move.destination.path());
                hasCopies = Maildir::isMaildir(move.directory);
            } else if (!move.target.imap.host.isEmpty()) {
                // A folder that the other account's server lists and has been looked at.
                hasCopies = permitted
                    && move.destination.id()
                        != store->account(there).standardFolder(QMailFolder::OutboxFolder)
                    && ImapState(there).contains(move.destination.id());
            }
        }
        switch (Sync::moveOf(origin, move.destination, hasCopies)) {
        case Sync::Move::Home:
            home.append(origin.messageId);
            break;
        case Sync::Move::LeaveAlone:
            break;
        case Sync::Move::WithinAccount:
            move.withinAccount = true;
            Q_FALLTHROUGH();
        case Sync::Move::ToOtherAccount: {
            // Only a copy agreed with the server is moved; the message list
            // takes any other in first.
            bool ok = false;
            const qint64 uid = origin.serverUid.toLongLong(&ok);
            if (ok && mState.contains(origin.folderId)
                && mState.folder(origin.folderId).known.contains(uid)) {
                mMoves.append(move);
            }
            break;
        }
        }
    }
    // One SELECT per origin folder.
    std::stable_sort(mMoves.begin(), mMoves.end(), [](const Move &a, const Move &b) {
        return a.origin.folderId.toULongLong() < b.origin.folderId.toULongLong();
    });
    planArrivals(outbox);
    if (!store->clearMessageOrigins(home)) {
        failFromStore(QStringLiteral("Cannot record the moves"));
    }
}

void ImapExportJob::planArrivals(const QMailFolderId &outbox)
{
    QMailStore *store = QMailStore::instance();
    QHash<QString, QHash<QString, QString>> files; // by Maildir folder: paths by uid
    const QList<QMailServerCopy> origins = store->messageOrigins(QMailAccountId());
    for (const QMailServerCopy &origin : origins) {
        Move move;
        move.origin = origin;
        move.destination = store->folder(store->messageMetaData(origin.messageId).parentFolderId());
        if (origin.accountId == accountId() || move.destination.parentAccountId() != accountId()
            || !sConfigOf) {
            continue;
        }
        const QString root = sConfigOf(origin.accountId).maildir;
        const bool hasCopies = (move.destination.status() & QMailFolder::MessagesPermitted)
            && move.destination.id() != outbox && mState.contains(move.destination.id());
        if (root.isEmpty()
            || Sync::moveOf(origin, move.destination, hasCopies) != Sync::Move::ToOtherAccount) {
            continue; // an IMAP account moves its own copies
        }
        const QString directory
            = Maildir::directoryFor(root, store->folder(origin.folderId).path());
        if (!files.contains(directory)) {
            QList<Maildir::Entry> entries;
            Maildir::entries(directory, &entries);
            QHash<QString, QString> &paths = files[directory];
            for (const Maildir::Entry &entry : qAsConst(entries)) {
                paths.insert(entry.uid, Maildir::pathOf(directory, entry));
            }
        }
        move.source = files.value(directory).value(origin.serverUid);
        if (!move.source.isEmpty()) { // otherwise not at hand: the message stays as it is
            mArrivals.append(move);
        }
    }
}

void ImapExportJob::nextArrival()
{
    if (mArrivals.isEmpty()) {
        finishOk();
        return;
    }
    const Move move = mArrivals.takeFirst();
    const QMailMessageMetaData message
        = QMailStore::instance()->messageMetaData(move.origin.messageId);
    // Read as the Maildir import reads: a link or FIFO put in its place
    // since the listing is never followed, and nothing beyond the size limit.
    QString why;
    const int fd = QMailMessageFile::openRegular(move.source, &why);
    QFile file;
    if (fd >= 0) {
        file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    }
    if (fd < 0 || file.size() > QMailMessageFile::MaximumSize) {
        if (fd < 0 && !QFileInfo::exists(move.source)) {
            nextArrival(); // gone meanwhile: the message stays as it is
            return;
        }
        mImap->close();
        fail(QMailServiceAction::Status::ErrSystemError,
             fd < 0 ? QStringLiteral("Cannot read \"%1\": %2").arg(move.source, why)
                    : QMailMessageFile::tooLarge(move.source),
             move.destination.id(), move.origin.messageId);
        return;
    }
    setWorkingOn(move.destination.id());
    // The flags as the store has them: the user's changes since the move
    // never reached the file.
    const quint8 flags = flagsFromStatus(message.status());
    auto *append = new KIMAP::AppendJob(mImap->session());
    append->setMailBox(move.destination.path());
    append->setFlags(imapFlags(flags));
    append->setContent(file.readAll());
    run(append, [this, append, move, flags] { arrived(move, append->uid(), flags); });
}

void ImapExportJob::arrived(const Move &move, qint64 uid, quint8 flags)
{
    // The store follows in one transaction, which also records the file for
    // deletion: killed before the commit, the next export APPENDs again (a
    // second copy on the server at worst, never a lost message); killed
    // after it, the Maildir account's export deletes the file, and its
    // message list never brings it in again meanwhile.
    QMailStore *store = QMailStore::instance();
    QMailMessageMetaData message = store->messageMetaData(move.origin.messageId);
    const QMailServerCopy file { QMailMessageId(), move.origin.accountId, move.origin.folderId,
                                 move.origin.serverUid };
    // Moved on by the user meanwhile: the copy here becomes its origin (the
    // store takes it when the message leaves the folder under the same
    // number), and the next export carries the move on.
    QMailMessageMetaData placed = message;
    placed.setParentFolderId(move.destination.id());
    placed.setParentAccountId(accountId());
    placed.setServerUid(QString::number(uid));
    const bool movedOn = message.parentFolderId() != move.destination.id();
    message.setServerUid(placed.serverUid());
    bool ok = store->startTransaction();
    // Without a number from the server the message leaves the store, and the
    // next listing of the folder brings the copy in.
    ok = ok
        && (uid > 0 ? store->updateMessage(&placed) && store->clearMessageOrigins({ message.id() })
                    && (!movedOn || store->updateMessage(&message))
                    : store->removeMessage(message.id()))
        && store->addMessageRemovalRecords({ file }) && store->commitTransaction();
    if (!ok) {
        const QString reason = store->lastErrorText();
        if (store->inTransaction()) {
            store->rollbackTransaction();
        }
        auto failed = [this, move, reason] {
            mImap->close();
            fail(Sync::codeForStore(reason),
                 QStringLiteral("Cannot record the move of message %1: %2")
                     .arg(move.origin.messageId.toULongLong())
                     .arg(reason),
                 move.destination.id(), move.origin.messageId);
        };
        if (uid <= 0) {
            failed();
            return;
        }
        // The copy goes again, so that the next try leaves no second one.
        auto *select = new KIMAP::SelectJob(mImap->session());
        select->setMailBox(move.destination.path());
        run(select, [this, uid, failed] {
            auto *storeJob = new KIMAP::StoreJob(mImap->session());
            storeJob->setUidBased(true);
            storeJob->setSequenceSet(KIMAP::ImapSet(uid));
            storeJob->setFlags({ "\\Deleted" });
            storeJob->setMode(KIMAP::StoreJob::AppendFlags);
            run(storeJob, [this, uid, failed] { expungeOnly({ uid }, failed); });
        });
        return;
    }
    if (uid > 0) {
        mState.folder(move.destination.id()).known.insert(uid, flags);
        mState.save();
    }
    if (std::remove(QFile::encodeName(move.source).constData()) != 0 && errno != ENOENT) {
        qWarning("Cannot delete \"%s\" yet: %s", qPrintable(move.source), strerror(errno));
    } else {
        store->purgeMessageRemovalRecords({ file });
    }
    nextArrival();
}

void ImapExportJob::selectOrigin(const QMailFolderId &folderId)
{
    auto *select = new KIMAP::SelectJob(mImap->session());
    select->setMailBox(QMailStore::instance()->folder(folderId).path());
    run(select, [this, select, folderId] {
        mSelected = folderId;
        mPresent.clear();
        QVector<qint64> uids;
        for (auto it = mMoves.begin(); it != mMoves.end();) {
            if (it->origin.folderId != folderId) {
                ++it;
            } else if (select->uidValidity() != mState.folder(folderId).uidValidity) {
                // Renumbered since: the numbers name other messages now, and
                // the message list takes the change in first.
                it = mMoves.erase(it);
            } else {
                uids.append(it->origin.serverUid.toLongLong());
                ++it;
            }
        }
        if (uids.isEmpty()) {
            nextMove();
            return;
        }
        // Which copies are still there (another client may have moved or
        // expunged them), and with which flags.
        auto *fetch = new KIMAP::FetchJob(mImap->session());
        KIMAP::FetchJob::FetchScope scope;
        scope.mode = KIMAP::FetchJob::FetchScope::Flags;
        fetch->setScope(scope);
        fetch->setUidBased(true);
        fetch->setSequenceSet(setOf(uids));
        connect(fetch, &KIMAP::FetchJob::messagesAvailable, this,
                [this](const QMap<qint64, KIMAP::Message> &messages) {
                    mImap->heardFromServer();
                    for (const KIMAP::Message &message : messages) {
                        if (!isDeleted(message.flags)) {
                            mPresent.insert(message.uid, flagsFromImap(message.flags));
                        }
                    }
                });
        run(fetch, [this] { nextMove(); });
    });
}

void ImapExportJob::nextMove()
{
    while (!mMoves.isEmpty() && mMoves.first().origin.folderId == mSelected) {
        const Move move = mMoves.takeFirst();
        const qint64 uid = move.origin.serverUid.toLongLong();
        if (!mPresent.contains(uid)) {
            continue; // gone from there: the message stays as it is
        }
        setWorkingOn(move.origin.folderId);
        if (!move.withinAccount) {
            deliver(move);
            return;
        }
        const QString path = move.destination.path();
        if (mImap->hasCapability(QStringLiteral("MOVE"))) {
            auto *job = new KIMAP::MoveJob(mImap->session());
            job->setUidBased(true);
            job->setSequenceSet(KIMAP::ImapSet(uid));
            job->setMailBox(path);
            run(job, [this, job, move] {
                const auto placed = job->resultingUids().intervals();
                moved(move, placed.isEmpty() ? QString() : QString::number(placed.first().begin()));
            });
            return;
        }
        // Copied first: a failed COPY deletes nothing.
        auto *copy = new KIMAP::CopyJob(mImap->session());
        copy->setUidBased(true);
        copy->setSequenceSet(KIMAP::ImapSet(uid));
        copy->setMailBox(path);
        run(copy, [this, copy, move] {
            const auto placed = copy->resultingUids().intervals();
            removeSource(move, [this, move, placed] {
                moved(move, placed.isEmpty() ? QString() : QString::number(placed.first().begin()));
            });
        });
        return;
    }
    if (!mFlagged.isEmpty()) {
        // The copies moved out of the selected folder leave it.
        const QSet<qint64> flagged = mFlagged;
        mFlagged.clear();
        expungeOnly(flagged, [this] { nextMove(); });
        return;
    }
    if (!mMoves.isEmpty()) {
        selectOrigin(mMoves.first().origin.folderId);
        return;
    }
    if (mTarget) {
        mTarget->close();
    }
    nextFolder();
}

void ImapExportJob::deliver(const Move &move)
{
    const QMailMessage message(move.origin.messageId);
    if (!(message.status() & QMailMessageMetaData::ContentAvailable)) {
        nextMove(); // nothing whole to deliver: the message stays as it is
        return;
    }
    const QByteArray content = message.toRfc2822();
    if (!move.directory.isEmpty()) {
        const QString flags = Maildir::flagsFromStatus(message.status(), QString());
        QString uid;
        int error = 0;
        if (!Maildir::deliver(move.directory, content, flags, &uid, &error)) {
            mImap->close();
            fail(Sync::codeForErrno(error),
                 QStringLiteral("Cannot deliver into \"%1\": %2")
                     .arg(move.directory, QString::fromLocal8Bit(strerror(error))),
                 move.destination.id(), move.origin.messageId);
            return;
        }
        // The delivered file stays even if the store cannot follow: the copy
        // here is flagged \Deleted by then.
        removeSource(move, [this, move, uid] { moved(move, uid); });
        return;
    }
    const QMailAccountId there = move.destination.parentAccountId();
    auto append = [this, move, content, message] {
        auto *job = new KIMAP::AppendJob(mTarget->session());
        job->setMailBox(move.destination.path());
        job->setFlags(imapFlags(flagsFromStatus(message.status())));
        job->setContent(content);
        mTarget->run(job, [this, job, move] {
            const QString uid = job->uid() > 0 ? QString::number(job->uid()) : QString();
            removeSource(move, [this, move, uid] { moved(move, uid); });
        });
    };
    if (mTarget && mTargetAccount == there) {
        append();
        return;
    }
    if (mTarget) {
        mTarget->close();
        mTarget->deleteLater();
    }
    mTarget = new ImapConnection(move.target, this);
    mTargetAccount = there;
    connect(mTarget, &ImapConnection::failed, this,
            [this, there, move](ErrorCode code, const QString &text) {
                mImap->close();
                fail(code, QStringLiteral("Account %1: %2").arg(there.toULongLong()).arg(text),
                     move.destination.id(), move.origin.messageId);
            });
    connect(mTarget, &ImapConnection::ready, this, append);
    mTarget->open();
}

void ImapExportJob::removeSource(const Move &move, const std::function<void()> &then)
{
    // Flagged now, expunged once the folder's moves are done: a copy flagged
    // \Deleted is gone for every listing of ours.
    const qint64 uid = move.origin.serverUid.toLongLong();
    auto *storeJob = new KIMAP::StoreJob(mImap->session());
    storeJob->setUidBased(true);
    storeJob->setSequenceSet(KIMAP::ImapSet(uid));
    storeJob->setFlags({ "\\Deleted" });
    storeJob->setMode(KIMAP::StoreJob::AppendFlags);
    run(storeJob, [this, uid, then] {
        mFlagged.insert(uid);
        then();
    });
}

void ImapExportJob::moved(const Move &move, const QString &placed)
{
    QMailStore *store = QMailStore::instance();
    const qint64 uid = move.origin.serverUid.toLongLong();
    const quint8 flags = mPresent.take(uid);
    mState.folder(move.origin.folderId).known.remove(uid);
    QMailMessageMetaData message = store->messageMetaData(move.origin.messageId);
    bool ok = false;
    if (placed.isEmpty()) {
        // The server did not say which number it gave the copy: the next
        // listing of the destination brings it in.
        ok = store->removeMessage(message.id());
    } else {
        message.setServerUid(placed);
        ok = store->updateMessage(&message) && store->clearMessageOrigins({ message.id() });
        if (ok && move.withinAccount) {
            // As the server has them: the store's own changes go out next.
            mState.folder(move.destination.id()).known.insert(placed.toLongLong(), flags);
        }
    }
    if (!ok) {
        failFromStore(QStringLiteral("Cannot record the move of message %1")
                          .arg(move.origin.messageId.toULongLong()),
                      move.destination.id());
        return;
    }
    mState.save();
    nextMove();
}

void ImapExportJob::expungeOnly(const QSet<qint64> &ours, const std::function<void()> &then)
{
    // EXPUNGE takes every message flagged \Deleted: with another client's
    // among them, ours stay flagged (and out of the store's listings).
    auto *search = new KIMAP::SearchJob(mImap->session());
    search->setUidBased(true);
    search->setTerm(KIMAP::Term(KIMAP::Term::Deleted));
    run(search, [this, search, ours, then] {
        const QVector<qint64> flagged = search->results();
        if (std::all_of(flagged.cbegin(), flagged.cend(),
                        [&ours](qint64 uid) { return ours.contains(uid); })) {
            run(new KIMAP::ExpungeJob(mImap->session()), then);
            return;
        }
        qMailLog(MessageServer) << "other messages are flagged \\Deleted: no EXPUNGE";
        then();
    });
}

void ImapExportJob::nextFolder()
{
    QMailStore *store = QMailStore::instance();
    for (; mIndex < mFolders.size(); ++mIndex) {
        const QMailFolderId folderId = mFolders.at(mIndex);
        ImapState::Folder &state = mState.folder(folderId);
        const QHash<qint64, QMailMessageMetaData> stored = storedMessages(folderId);
        // Only the user's removals are expunged: records, and Removed marks.
        const Sync::Folder view = Sync::readStore(accountId(), folderId);
        QVector<qint64> deleted;
        QMailMessageIdList removed;
        QList<QMailServerCopy> records;
        for (const QString &uid : view.records) {
            deleted.append(uid.toLongLong());
            records.append({ QMailMessageId(), accountId(), folderId, uid });
        }
        // Flag changes: [flag][0] to remove, [flag][1] to add.
        QVector<qint64> changes[3][2];
        for (auto it = state.known.cbegin(); it != state.known.cend(); ++it) {
            const auto here = stored.constFind(it.key());
            if (here == stored.cend()) {
                continue; // moved away, removed with a record, or a store behind
            }
            if (here->status() & QMailMessageMetaData::Removed) {
                deleted.append(it.key());
                removed.append(here->id());
                continue;
            }
            const quint8 local = flagsFromStatus(here->status());
            for (int bit = 0; bit < 3; ++bit) {
                const quint8 mask = quint8(1 << bit);
                if ((local & mask) != (it.value() & mask)) {
                    changes[bit][(local & mask) ? 1 : 0].append(it.key());
                }
            }
        }
        bool any = !deleted.isEmpty();
        for (auto &change : changes) {
            any = any || !change[0].isEmpty() || !change[1].isEmpty();
        }
        if (!any) {
            continue;
        }
        setWorkingOn(folderId);
        // The commands go out one after another; the last one's answer ends the folder.
        QList<std::function<KJob *()>> steps;
        static const QByteArray names[3] = { "\\Seen", "\\Flagged", "\\Answered" };
        for (int bit = 0; bit < 3; ++bit) {
            for (int add = 0; add < 2; ++add) {
                const QVector<qint64> uids = changes[bit][add];
                if (uids.isEmpty()) {
                    continue;
                }
                steps.append([this, uids, bit, add] {
                    auto *storeJob = new KIMAP::StoreJob(mImap->session());
                    storeJob->setUidBased(true);
                    storeJob->setSequenceSet(setOf(uids));
                    storeJob->setFlags({ names[bit] });
                    storeJob->setMode(add ? KIMAP::StoreJob::AppendFlags
                                          : KIMAP::StoreJob::RemoveFlags);
                    return storeJob;
                });
            }
        }
        if (!deleted.isEmpty()) {
            steps.append([this, deleted] {
                auto *storeJob = new KIMAP::StoreJob(mImap->session());
                storeJob->setUidBased(true);
                storeJob->setSequenceSet(setOf(deleted));
                storeJob->setFlags({ "\\Deleted" });
                storeJob->setMode(KIMAP::StoreJob::AppendFlags);
                return storeJob;
            });
        }
        auto finish = [this, folderId, stored, deleted, removed, records] {
            ImapState::Folder &agreed = mState.folder(folderId);
            if (!QMailStore::instance()->purgeMessageRemovalRecords(records)) {
                failFromStore(QStringLiteral("Cannot drop the removal records"), folderId);
                return;
            }
            for (qint64 uid : deleted) {
                agreed.known.remove(uid);
            }
            for (auto it = stored.cbegin(); it != stored.cend(); ++it) {
                if (agreed.known.contains(it.key())) {
                    agreed.known.insert(it.key(), flagsFromStatus(it->status()));
                }
            }
            if (!removed.isEmpty()
                && !QMailStore::instance()->removeMessages(QMailMessageKey::id(removed))) {
                failFromStore(QStringLiteral("Cannot remove the deleted messages"), folderId);
                return;
            }
            mState.save();
            ++mIndex;
            nextFolder();
        };
        mSteps = steps;
        mFinishFolder = finish;
        if (!deleted.isEmpty()) {
            const QSet<qint64> ours(deleted.cbegin(), deleted.cend());
            mFinishFolder = [this, ours, finish] { expungeOnly(ours, finish); };
        }
        mStep = 0;
        auto *select = new KIMAP::SelectJob(mImap->session());
        select->setMailBox(store->folder(folderId).path());
        run(select, [this, select, folderId] {
            // Renumbered since: the numbers name other messages now; the
            // message list takes the change in first.
            if (select->uidValidity() != mState.folder(folderId).uidValidity) {
                ++mIndex;
                nextFolder();
                return;
            }
            nextStep();
        });
        return;
    }
    nextArrival();
}

void ImapExportJob::nextStep()
{
    if (mStep >= mSteps.size()) {
        const std::function<void()> finish = mFinishFolder;
        finish();
        return;
    }
    run(mSteps.at(mStep++)(), [this] { nextStep(); });
}

QMailFolderId ImapTransmitJob::sentFolder()
{
    return QMailStore::instance()->account(accountId()).standardFolder(QMailFolder::SentFolder);
}

void ImapTransmitJob::doStart()
{
    QMailStore *store = QMailStore::instance();
    const QMailFolderId outbox
        = store->account(accountId()).standardFolder(QMailFolder::OutboxFolder);
    QMailMessageKey queued = QMailMessageKey::parentAccountId(accountId())
        & QMailMessageKey::status(QMailMessageMetaData::Outbox);
    if (outbox.isValid()) {
        queued |= QMailMessageKey::parentFolderId(outbox);
    }
    mQueued = store->queryMessages(queued);
    if (mQueued.isEmpty()) {
        succeed();
        return;
    }
    mSmtp = new SmtpSender(mConfig, this);
    connect(mSmtp, &SmtpSender::failed, this, [this](ErrorCode code, const QString &text) {
        const QMailMessageId current = mQueued.value(0);
        mFailedInSmtp = true;
        if (mImap) {
            mImap->close();
        }
        fail(code, text, QMailFolderId(), current);
    });
    connect(mSmtp, &SmtpSender::sent, this, [this] {
        // Out of the outbox at once: a later failure must not send it twice.
        QMailMessageMetaData message(mQueued.first());
        if (sentFolder().isValid()) {
            message.setParentFolderId(sentFolder());
        }
        message.setStatus(QMailMessageMetaData::Outbox | QMailMessageMetaData::Draft, false);
        message.setStatus(QMailMessageMetaData::Sent | QMailMessageMetaData::Outgoing
                              | QMailMessageMetaData::Read,
                          true);
        if (!QMailStore::instance()->updateMessage(&message)) {
            mSmtp->close();
            failFromStore(
                QStringLiteral("Cannot record message %1 as sent").arg(message.id().toULongLong()));
            return;
        }
        mSent.append(mQueued.takeFirst());
        setProgress(uint(mSent.size()), uint(mSent.size() + mQueued.size()));
        sendNext();
    });
    connect(mSmtp, &SmtpSender::ready, this, &ImapTransmitJob::sendNext);
    mSmtp->open();
}

void ImapTransmitJob::cancelRequested()
{
    if (mSmtp) {
        mSmtp->close();
    }
    ImapJob::cancelRequested();
}

void ImapTransmitJob::sendNext()
{
    if (!mQueued.isEmpty()) {
        mSmtp->send(QMailMessage(mQueued.first()));
        return;
    }
    mSmtp->close();
    // Everything went out; now the copies for the Sent folder.
    openImap([this] {
        const QMailFolder sent(sentFolder());
        if (sent.id().isValid()) {
            mSentPath = sent.path();
            appendNext();
            return;
        }
        mSentPath = QStringLiteral("Sent");
        auto *create = new KIMAP::CreateJob(mImap->session());
        create->setMailBox(mSentPath);
        run(create, [this] {
            QMailFolder folder(mSentPath, QMailFolderId(), accountId());
            folder.setDisplayName(mSentPath);
            folder.setStatus(QMailFolder::MessagesPermitted | QMailFolder::Sent, true);
            QMailAccount account = QMailStore::instance()->account(accountId());
            if (!QMailStore::instance()->addFolder(&folder)) {
                failFromStore(QStringLiteral("Cannot store the Sent folder"));
                return;
            }
            account.setStandardFolder(QMailFolder::SentFolder, folder.id());
            QMailStore::instance()->updateAccount(&account);
            appendNext();
        });
    });
}

void ImapTransmitJob::appendNext()
{
    if (mSent.isEmpty()) {
        finishOk();
        return;
    }
    QMailMessage message(mSent.first());
    auto *append = new KIMAP::AppendJob(mImap->session());
    append->setMailBox(mSentPath);
    append->setFlags({ "\\Seen" });
    append->setContent(SmtpSender::withoutBcc(message.toRfc2822()));
    run(append, [this, append] {
        QMailMessage done(mSent.takeFirst());
        const QMailFolderId sent = sentFolder();
        done.setParentFolderId(sent);
        if (append->uid() > 0) {
            done.setServerUid(QString::number(append->uid()));
            mState.folder(sent).known.insert(append->uid(), SeenFlag);
        }
        done.setStatus(QMailMessageMetaData::Outbox | QMailMessageMetaData::Draft, false);
        done.setStatus(QMailMessageMetaData::Sent | QMailMessageMetaData::Outgoing
                           | QMailMessageMetaData::Read,
                       true);
        QMailMessageMetaData metaData = done;
        if (!QMailStore::instance()->updateMessage(&metaData)) {
            failFromStore(QStringLiteral("Cannot move message %1 to the Sent folder")
                              .arg(done.id().toULongLong()));
            return;
        }
        appendNext();
    });
}
