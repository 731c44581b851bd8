// The decisions every backend shares, in-process: a listing against the
// store's view of a folder, the folder roles, the error codes and the moves.
#include "imap/rawfetchjob.h"
#include "maildir/maildirjobs.h"
#include "sync/sync.h"

#include <QtTest>

#include <cerrno>

namespace {

// Each letter is one uid (a Maildir name or an IMAP number alike).
QStringList uids(const QString &letters)
{
    return letters.split(QString(), Qt::SkipEmptyParts);
}

// A listing as a backend makes it: IMAP "path;attribute" items, or the
// dot-folders of a Maildir made for them (a "!" or "*" after an item: see below).
QList<Sync::RemoteFolder> listing(const QString &backend, const QString &items)
{
    QList<Sync::RemoteFolder> result;
    QTemporaryDir dir;
    for (QString item : items.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QList<QByteArray> parts
            = item.remove(QRegularExpression("[!*]$")).toUtf8().split(';');
        result.append({ parts.first(), QLatin1Char('/'), parts.mid(1), QString() });
        QDir().mkpath(dir.path() + QLatin1Char('/') + item + QStringLiteral("/cur"));
    }
    bool complete = false;
    return backend == "imap" ? result : FolderListJob::listing(dir.path(), &complete);
}

// The store after a sync of `items` (ids from 1): "!" marks a folder kept
// Removed, "*" one holding needed mail.
QList<Sync::StoredFolder> storeOf(const QString &backend, const QString &items,
                                  QMap<QMailFolder::StandardFolder, QMailFolderId> *roles)
{
    QList<Sync::StoredFolder> folders;
    if (items.isEmpty())
        return folders;
    const Sync::FolderPlan plan
        = Sync::planFolders(listing(backend, items), true, {}, {}, backend != "imap");
    const QString marked = QString(QLatin1Char(',') + items + ',').replace(",.", ",");
    QHash<QString, QMailFolderId> ids;
    for (Sync::FolderPlan::Change change : plan.store) {
        QMailFolder &folder = change.folder;
        folder.setId(QMailFolderId(folders.size() + 1));
        folder.setParentFolderId(ids.value(change.parentPath, folder.parentFolderId()));
        folder.setStatus(QMailFolder::Removed, marked.contains(',' + folder.path() + "!,"));
        folders.append({ folder, marked.contains(',' + folder.path() + "*,") });
        ids.insert(folder.path(), folder.id());
    }
    for (auto it = plan.roles.cbegin(); it != plan.roles.cend(); ++it)
        roles->insert(it.key(), ids.value(it.value()));
    if (plan.makeOutbox) {
        folders.append({ QMailFolder(QStringLiteral("Outbox")), false });
        folders.last().folder.setId(QMailFolderId(folders.size()));
        roles->insert(QMailFolder::OutboxFolder, folders.last().folder.id());
    }
    return folders;
}

} // namespace

class TestSync : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void plan_data();
    void plan();
    void folders_data();
    void folders();
    void tables();
};

void TestSync::plan_data()
{
    // listing, stored, records, moved away -> imported, dropped, purged
    QTest::addColumn<bool>("complete");
    QTest::addColumn<QStringList>("columns");
    auto row = [](const char *name, bool complete, const QString &columns) {
        QTest::newRow(name) << complete << columns.split(QLatin1Char('|'));
    };
    row("new mail", true, "abc|a|||bc||");
    row("store empty or behind: all again, nothing deleted", true, "abc||||abc||");
    row("gone from a listing read whole, same UIDVALIDITY", true, "a|abc||||bc|");
    row("listing broken off or renumbered: nothing leaves", false, "a|abc|b||||");
    row("removed by the user: waits for the export", true, "abc|a|b||c||");
    row("record of a copy gone already", true, "a|a|b||||b");
    row("moved away in the store: not imported again", true, "abc|a||bc|||");
}

void TestSync::plan()
{
    QFETCH(bool, complete);
    QFETCH(QStringList, columns);
    Sync::Folder folder;
    for (const QString &uid : uids(columns.at(1)))
        folder.stored.insert(uid, QMailMessageId(uid.at(0).unicode()));
    const QStringList records = uids(columns.at(2)), moved = uids(columns.at(3));
    folder.records = QSet<QString>(records.cbegin(), records.cend());
    folder.movedAway = QSet<QString>(moved.cbegin(), moved.cend());
    const Sync::Actions actions = Sync::plan(folder, uids(columns.at(0)), complete);
    QCOMPARE(actions.import, uids(columns.at(4)));
    QString dropped;
    for (const QMailMessageId &id : actions.drop)
        dropped += QChar(ushort(id.toULongLong()));
    std::sort(dropped.begin(), dropped.end());
    QCOMPARE(dropped, columns.at(5));
    QCOMPARE(actions.purgeRecords, uids(columns.at(6)));
}

void TestSync::folders_data()
{
    // listing (IMAP items, or Maildir dot-folders; "?" first: the listing
    // failed), the store made from a listing before -> what changes: +added
    // ~updated -removed !kept ^parent, role=folder, +outbox.
    QTest::addColumn<QString>("listing");
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("changes");
    auto row = [](const char *name, const char *listing, const char *before, const char *changes) {
        QTest::newRow(name) << listing << before << changes;
    };
    const char *imap = "INBOX,Sent,Sent Messages;\\Sent,Archive;\\Noselect,Archive/2020";
    row("IMAP: special-use before names", imap, "",
        "+Archive noselect, +Archive/2020^Archive, +INBOX, +Sent, +Sent Messages, inbox=INBOX, "
        "sent=Sent Messages, +outbox");
    row("IMAP: the same again changes nothing", imap, imap, "");
    row("IMAP: a server Outbox is not the outbox", "INBOX,Outbox", "INBOX,Outbox", "");
    row("new special-use folder takes the role", "INBOX,Sent,Sent Items;\\Sent", "INBOX,Sent",
        "+Sent Items, sent=Sent Items");
    row("gone from a complete listing", "INBOX", "INBOX,Old,Old/Sub,Trash",
        "-Old, -Old/Sub, -Trash, trash=");
    row("gone but holding needed mail: kept, with its parent", "INBOX", "INBOX,Old,Old/Sub*",
        "!Old, !Old/Sub^Old");
    row("failed listing removes nothing", "?INBOX", "INBOX,Old", "");
    row("empty listing removes nothing", "", "INBOX,Old", "");
    row("kept folder comes back: matched by its path", "INBOX,Old", "INBOX,Old!", "~Old");
    row("Maildir: names give the roles",
        ".Sent,.Sent Items,.INBOX.Archive,.Drafts,.Deleted Items,.Spam", "",
        "+Deleted Items, +Drafts, +INBOX, +INBOX.Archive^INBOX, +Sent, +Sent Items, +Spam, "
        "inbox=INBOX, drafts=Drafts, sent=Sent, trash=Deleted Items, junk=Spam, +outbox");
    row("Maildir: an Outbox folder is the outbox", ".Outbox", "",
        "+INBOX, +Outbox, inbox=INBOX, outbox=Outbox");
    row("Maildir: parent gone, sub-folder moves up", ".Lists.Work", ".Lists,.Lists.Work",
        "~Lists.Work, -Lists");
}

void TestSync::folders()
{
    QFETCH(QString, listing);
    QFETCH(QString, before);
    QFETCH(QString, changes);
    const QString backend = (listing + before).startsWith('.') ? "maildir" : "imap";
    QMap<QMailFolder::StandardFolder, QMailFolderId> roles;
    const QList<Sync::StoredFolder> stored = storeOf(backend, before, &roles);
    auto pathOf = [&](const QMailFolderId &id) {
        return id.isValid() ? stored.at(int(id.toULongLong()) - 1).folder.path() : QString();
    };
    const Sync::FolderPlan plan
        = Sync::planFolders(::listing(backend, QString(listing).remove('?')),
                            !listing.startsWith('?'), stored, roles, backend != "imap");
    QStringList got;
    for (const Sync::FolderPlan::Change &change : plan.store) {
        const QMailFolder &f = change.folder;
        const QString parent = change.parentPath + pathOf(f.parentFolderId());
        got << QStringLiteral("%1%2%3%4")
                   .arg(f.status() & QMailFolder::Removed ? "!"
                            : f.id().isValid()            ? "~"
                                                          : "+",
                        f.path(), parent.isEmpty() ? QString() : "^" + parent,
                        f.status() & QMailFolder::MessagesPermitted ? "" : " noselect");
    }
    for (const QMailFolderId &id : plan.remove)
        got << "-" + pathOf(id);
    const QStringList names = { "", "inbox", "outbox", "drafts", "sent", "trash", "junk" };
    for (auto it = plan.roles.cbegin(); it != plan.roles.cend(); ++it)
        got << names.at(it.key()) + "=" + it.value();
    if (plan.makeOutbox)
        got << QStringLiteral("+outbox");
    QCOMPARE(got.join(", "), changes);
}

void TestSync::tables()
{
    // One role table for every backend: attributes first, then names.
    const QList<QPair<const char *, QMailFolder::StandardFolder>> roles = {
        { "INBOX", QMailFolder::InboxFolder },   { "Sent Items", QMailFolder::SentFolder },
        { "sent", QMailFolder::SentFolder },     { "Deleted Items", QMailFolder::TrashFolder },
        { "Trash", QMailFolder::TrashFolder },   { "Spam", QMailFolder::JunkFolder },
        { "Junk", QMailFolder::JunkFolder },     { "Drafts", QMailFolder::DraftsFolder },
        { "Outbox", QMailFolder::OutboxFolder }, { "Archive", QMailFolder::StandardFolder(0) }
    };
    for (const auto &role : roles)
        QCOMPARE(Sync::roleOf(QLatin1String(role.first)), role.second);
    QCOMPARE(Sync::roleOf(QStringLiteral("Trash"), { "\\HasNoChildren", "\\Junk" }),
             QMailFolder::JunkFolder);
    // An IMAP server's Outbox is mail on the server, never mail to send.
    QCOMPARE(Sync::roleOf(QStringLiteral("Outbox"), {}, false), QMailFolder::StandardFolder(0));
    // A full disk is one code, from a file and from the store.
    QCOMPARE(Sync::codeForErrno(ENOSPC), Sync::codeForStore("database or disk is full"));
    QCOMPARE(Sync::codeForErrno(ENOSPC), QMailServiceAction::Status::ErrFileSystemFull);
    // Moves, seen from the account (1) that holds the copy in folder 10.
    const QMailServerCopy origin { QMailMessageId(1), QMailAccountId(1), QMailFolderId(10), "u" };
    QMailFolder to(QStringLiteral("INBOX"), QMailFolderId(), QMailAccountId(1));
    for (quint64 id : { 10, 11 }) {
        to.setId(QMailFolderId(id));
        QCOMPARE(Sync::moveOf(origin, to, true),
                 id == 10 ? Sync::Move::Home : Sync::Move::WithinAccount);
    }
    QCOMPARE(Sync::moveOf(origin, to, false), Sync::Move::LeaveAlone);
    to.setParentAccountId(QMailAccountId(2));
    QCOMPARE(Sync::moveOf(origin, to, true), Sync::Move::ToOtherAccount);
    // IMAP's date-time in UTC, whatever the locale; anything else is no date.
    const QList<QPair<QByteArray, QString>> dates {
        { "\" 7-Jul-1996 02:44:25 -0700\"", "1996-07-07T09:44:25Z" },
        { "17-Dec-2026 23:30:00 +0100", "2026-12-17T22:30:00Z" },
        { "31-Feb-2026 10:00:00 +0000", "" },
        { "7-July-1996 02:44:25 -0700", "" },
        { "7-Jul-1996 02:44 -0700", "" },
        { "7-Jul-1996 02:44:25 0700", "" },
        { "7-Jul-1996 02:44:25 +07x0", "" },
        { "7-Jul-1996 02:44:25 +07-5", "" },
        { "", "" },
    };
    for (const auto &date : dates)
        QCOMPARE(RawFetchJob::internalDate(date.first).toString(Qt::ISODate), date.second);
}

QTEST_GUILESS_MAIN(TestSync)
#include "tst_sync.moc"
