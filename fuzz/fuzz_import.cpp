// Bytes as "qmfctl import" and the message server take them (a message file or an mbox):
// added to a real store by their own import, loaded back and written as the mirror's
// statements. Findings: a crash, a failed addition, a message that comes back changed or
// whose metadata (read from its header only) differs from its whole text's, a value that
// left its term.
#include "mailsource.h"
#include "trackerindexer.h"

#include <qmailstore.h>

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

namespace {

QTemporaryDir *home;
QMailStore *store;
QMailFolder folder;

[[noreturn]] void fail(const char *what, const QString &detail = QString())
{
    qFatal("fuzz_import: %s %s", what, qPrintable(detail));
}

// The INSERT operations of an update text read as SPARQL reads it (literals and IRIs skipped):
// a value that left its term shows as an extra operation, unclosed term or leftover placeholder.
int insertCount(const QString &text)
{
    int count = 0;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
            for (++i; i < text.size() && text.at(i) != c; ++i) {
                if (text.at(i) == QLatin1Char('\n'))
                    fail("line break in a literal", text);
                if (text.at(i) == QLatin1Char('\\'))
                    ++i;
            }
            if (i >= text.size())
                fail("unclosed literal", text);
        } else if (c == QLatin1Char('<')) {
            for (++i; i < text.size() && text.at(i) != QLatin1Char('>'); ++i) {
                if (text.at(i).unicode() <= 0x20
                    || QStringLiteral("<\"{}|^`\\").contains(text.at(i)))
                    fail("character not allowed in an IRI", text);
            }
        } else if (text.midRef(i, 2) == QLatin1String("?:")) {
            fail("unbound placeholder", text);
        } else if (text.midRef(i, 8) == QLatin1String("INSERT {")) {
            ++count;
        }
    }
    return count;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // Never the user's store, never a real bus.
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    home = new QTemporaryDir;
    qputenv("QMF_DATA", QFile::encodeName(home->path()));
    new QCoreApplication(*argc, *argv);
    store = QMailStore::instance();
    QMailAccount account;
    if (store->addAccount(&account))
        folder = QMailFolder(QStringLiteral("INBOX"), QMailFolderId(), account.id());
    if (!account.id().isValid() || !store->addFolder(&folder))
        fail("cannot add the account and its folder", store->lastErrorText());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = home->filePath(QStringLiteral("input"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size))
        fail("cannot write the input");
    file.close();

    MailSource source({ path });
    if (!source.prepare())
        fail("cannot prepare", source.errorString());
    QMailMessageIdList added;
    // Refused as not mail: nothing to check.
    if (!source.importInto(store, folder, false, &added)) {
        if (store->lastError() != QMailStore::NoError
            && store->lastError() != QMailStore::ContentRefused)
            fail("import failed:", source.errorString());
        return 0;
    }
    const QByteArray input
        = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    for (const QMailMessageId &id : qAsConst(added)) {
        const QMailMessage stored(id);
        if (!input.startsWith("From ") && stored.toRfc2822() != input)
            fail("content changed in the store");
        // The store's record separators in addresses become blanks; nothing else changes.
        const QMailMessage whole = QMailMessage::fromRfc2822(stored.toRfc2822());
        if (stored.subject() != whole.subject() || stored.to().size() != whole.to().size()
            || stored.date() != whole.date() || stored.size() != whole.size()
            || stored.content() != whole.content())
            fail("metadata differs from the whole text's", stored.subject());
        const QString statement = TrackerIndexer::messageInsertStatement(stored);
        // The message's, one per 500 recipients beyond its first 100, one per attachment.
        int operations = 1 + (qMax(0, stored.to().size() - 100) + 499) / 500;
        for (int part = 0; part < stored.partCount(); ++part)
            operations += stored.partAt(part).contentDisposition().type()
                == QMailMessageContentDisposition::Attachment;
        if (insertCount(statement) != operations)
            fail("wrong number of INSERT operations", statement);
    }
    // Removed in batches: one removal per input would double the time per run.
    static int inputs = 0;
    if (++inputs % 64 == 0 && !store->removeMessages(QMailMessageKey::parentFolderId(folder.id())))
        fail("removeMessages failed:", store->lastErrorText());
    return 0;
}
