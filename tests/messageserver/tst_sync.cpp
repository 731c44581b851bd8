// The decisions every backend shares, in-process: a listing against the
// store's view of a folder, the folder roles, the error codes and the moves.
#include "sync/sync.h"

#include <QtTest>

#include <cerrno>

namespace {

// Each letter is one uid (a Maildir name or an IMAP number alike).
QStringList uids(const QString &letters)
{
    return letters.split(QString(), Qt::SkipEmptyParts);
}

} // namespace

class TestSync : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void plan_data();
    void plan();
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
}

QTEST_GUILESS_MAIN(TestSync)
#include "tst_sync.moc"
