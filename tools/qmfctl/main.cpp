// qmfctl: the command line of the mail store, for people and for tests.

#include "mailsource.h"

#include <qmailprivatefiles.h>
#include <qmailstore.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QTextStream>

#include <cstdio>
#include <functional>
#include <new>

namespace {

const char Usage[]
    = "Usage: qmfctl COMMAND [ARGUMENTS]\n"
      "\n"
      "Reads and changes the mail store in $QMF_DATA (default ~/.qmf). IDs are the\n"
      "numbers that the add commands print and the list commands show.\n"
      "\n"
      "Accounts:\n"
      "  account add --name NAME [--id N] [--from ADDRESS] [--signature TEXT]\n"
      "              [--standard-folders]\n"
      "      Creates an account and prints its id. --id N gives it the number N.\n"
      "      The message server leaves such an account alone, and does not serve\n"
      "      the accounts database's account of the same number while it exists.\n"
      "      --standard-folders also creates Inbox, Outbox, Drafts, Sent, Trash and\n"
      "      Junk folders and makes them the account's standard folders.\n"
      "  account update ID [--name NAME] [--from ADDRESS] [--signature TEXT]\n"
      "  account remove ID\n"
      "      Removes the account with its folders and messages.\n"
      "\n"
      "Folders:\n"
      "  folder add --account ID --path PATH [--parent FOLDER] [--name DISPLAYNAME]\n"
      "             [--standard KIND] [--favourite]\n"
      "      Creates a folder and prints its id. KIND is inbox, outbox, drafts,\n"
      "      sent, trash or junk: the folder becomes the account's folder of that\n"
      "      kind and gets the matching status flag.\n"
      "  folder update ID [--path PATH] [--name DISPLAYNAME] [--standard KIND]\n"
      "                [--favourite | --no-favourite]\n"
      "  folder remove ID\n"
      "      Removes the folder with its sub-folders and their messages.\n"
      "\n"
      "Messages:\n"
      "  import --folder ID [--read] PATH...\n"
      "      Imports RFC 822 files, mbox files, Maildir folders (cur/ and new/;\n"
      "      the Maildir flag S marks a message read) and folders of message files\n"
      "      into the folder, as one store operation: all or nothing. --read marks\n"
      "      every imported message read. Prints the number of messages imported.\n"
      "      PATH may be a pipe or FIFO (/dev/stdin, <(...)): read once, to its end.\n"
      "      A file named here that is not mail (empty, not starting with a header\n"
      "      field, larger than 256 MiB) fails the import; such files in a folder,\n"
      "      and links, FIFOs and devices there, are skipped and counted on standard\n"
      "      error, as are subfolders, which are not imported.\n"
      "  mark (--read | --unread | --read-elsewhere | --not-read-elsewhere) MESSAGE...\n"
      "      Sets or clears the read or the read-elsewhere flag of the messages.\n"
      "  move --folder ID MESSAGE...\n"
      "      Moves the messages into the folder and its account.\n"
      "  delete MESSAGE...\n"
      "      Removes the messages and their content.\n"
      "\n"
      "Listing (tab-separated columns):\n"
      "  list accounts\n"
      "      id, name, from address, standard folders (kind=id)\n"
      "  list folders [--account ID]\n"
      "      id, account, parent folder, path, display name, flags\n"
      "  list messages [--folder ID] [--account ID]\n"
      "      id, folder, flags (R read, E read elsewhere, A attachments), date,\n"
      "      sender, subject\n"
      "\n"
      "Watching:\n"
      "  watch [--count N]\n"
      "      Prints \"watching\" and the store's database file, then one line for\n"
      "      each change signal of the store, as every process with the store open\n"
      "      receives it: the signal's name, a tab, and the ids separated by blanks.\n"
      "      Stops after N signals, otherwise runs until interrupted. Needs the\n"
      "      session bus.\n"
      "\n"
      "  help, --help, -h   this text\n"
      "\n"
      "Exit status: 0 on success, 1 when the store refuses or fails, 2 for wrong\n"
      "arguments; the reason is one line on standard error.\n"
      "\n"
      "A damaged store (\"The mail store FILE is damaged: ...\") is refused by every\n"
      "command and program. Stop the programs that use it, move the store's folder\n"
      "aside (it keeps the mail files in mail/), then add the accounts and folders\n"
      "again and import the mail anew, the old content files included\n"
      "(qmfctl import --folder ID OLD/mail/*/; their flags and folders are lost).\n";

QString oneLine(QString text)
{
    text.replace(QLatin1Char('\t'), QLatin1Char(' '));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    return text;
}

void quietMessages(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "qmfctl: %s\n", qPrintable(oneLine(text)));
}

// A failed command: one line on standard error and a non-zero exit.
class Failure
{
public:
    Failure(const QString &text, int code = 1)
        : text(text)
        , code(code)
    { }
    QString text;
    int code;
};

Failure usageError(const QString &text)
{
    return Failure(text + QStringLiteral(" (see qmfctl --help)"), 2);
}

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

// The arguments of one command: options with values, switches, positionals.
class Arguments
{
public:
    Arguments(const QStringList &args, const QStringList &valueOptions, const QStringList &switches)
    {
        for (int i = 0; i < args.size(); ++i) {
            const QString &arg = args.at(i);
            if (arg.startsWith(QLatin1String("--"))) {
                QString name = arg.mid(2);
                QString value;
                const int eq = name.indexOf(QLatin1Char('='));
                const bool inlineValue = eq >= 0;
                if (inlineValue) {
                    value = name.mid(eq + 1);
                    name = name.left(eq);
                }
                if (valueOptions.contains(name)) {
                    if (!inlineValue) {
                        if (i + 1 >= args.size())
                            throw usageError(QStringLiteral("option --%1 needs a value").arg(name));
                        value = args.at(++i);
                    }
                    m_values.insert(name, value);
                } else if (switches.contains(name) && !inlineValue) {
                    m_switches.append(name);
                } else {
                    throw usageError(QStringLiteral("unknown option --%1").arg(name));
                }
            } else {
                m_positional.append(arg);
            }
        }
    }

    bool has(const QString &name) const
    {
        return m_values.contains(name) || m_switches.contains(name);
    }
    QString value(const QString &name) const { return m_values.value(name); }
    QStringList positional() const { return m_positional; }

private:
    QHash<QString, QString> m_values;
    QStringList m_switches;
    QStringList m_positional;
};

quint64 parseNumber(const QString &text, const char *what)
{
    bool ok = false;
    const quint64 value = text.toULongLong(&ok);
    if (!ok || value == 0)
        throw usageError(QStringLiteral("%1 must be a positive number, not \"%2\"")
                             .arg(QLatin1String(what), text));
    return value;
}

QMailStore *openStore()
{
    QMailStore *store = QMailStore::instance();
    if (QMailStore::initializationState() != QMailStore::Initialized)
        throw Failure(store->lastErrorText());
    return store;
}

// A read that failed (a damaged database, an unreadable row) is an error,
// never an empty or partial answer.
void checkRead(QMailStore *store)
{
    if (store->lastError() != QMailStore::NoError && store->lastError() != QMailStore::InvalidId)
        throw Failure(store->lastErrorText());
}

void check(bool ok, QMailStore *store)
{
    if (!ok)
        throw Failure(store->lastErrorText().isEmpty()
                          ? QStringLiteral("the store refused the change")
                          : store->lastErrorText());
}

// Runs the changes as one store transaction: all of them or none.
template<typename Changes> void inOneTransaction(QMailStore *store, Changes changes)
{
    check(store->startTransaction(), store);
    try {
        changes();
        check(store->commitTransaction(), store);
    } catch (...) {
        store->rollbackTransaction();
        throw;
    }
}

QMailAccount loadAccount(QMailStore *store, quint64 id)
{
    const QMailAccount account = store->account(QMailAccountId(id));
    checkRead(store);
    if (!account.id().isValid())
        throw Failure(QStringLiteral("no account %1").arg(id));
    return account;
}

QMailFolder loadFolder(QMailStore *store, quint64 id)
{
    const QMailFolder folder = store->folder(QMailFolderId(id));
    checkRead(store);
    if (!folder.id().isValid())
        throw Failure(QStringLiteral("no folder %1").arg(id));
    return folder;
}

bool standardKind(const QString &text, QMailFolder::StandardFolder *kind)
{
    for (int k = QMailFolder::InboxFolder; k <= QMailFolder::JunkFolder; ++k) {
        if (QMailFolder::standardFolderName(QMailFolder::StandardFolder(k)) == text.toLower()) {
            *kind = QMailFolder::StandardFolder(k);
            return true;
        }
    }
    return false;
}

QMailMessageIdList messageIds(QMailStore *store, const QStringList &args)
{
    if (args.isEmpty())
        throw usageError(QStringLiteral("no message ids given"));
    QMailMessageIdList ids;
    for (const QString &arg : args)
        ids.append(QMailMessageId(parseNumber(arg, "a message id")));
    const QMailMessageIdList found = store->queryMessages(QMailMessageKey::id(ids));
    checkRead(store);
    for (const QMailMessageId &id : qAsConst(ids)) {
        if (!found.contains(id))
            throw Failure(QStringLiteral("no message %1").arg(id.toULongLong()));
    }
    return ids;
}

// Accounts

int accountAdd(const QStringList &args)
{
    const Arguments a(args, { "name", "id", "from", "signature" }, { "standard-folders" });
    if (!a.positional().isEmpty())
        throw usageError(QStringLiteral("unexpected argument \"%1\"").arg(a.positional().first()));
    if (!a.has("name"))
        throw usageError(QStringLiteral("account add needs --name"));
    QMailStore *store = openStore();
    QMailAccount account;
    if (a.has("id"))
        account.setId(QMailAccountId(parseNumber(a.value("id"), "an account id")));
    account.setName(a.value("name"));
    account.setSignature(a.value("signature"));
    if (a.has("from"))
        account.setFromAddress(QMailAddress(a.value("from")));
    account.setStatus(QMailAccount::Enabled | QMailAccount::CanRetrieve
                      | QMailAccount::CanTransmit);

    inOneTransaction(store, [&] {
        check(store->addAccount(&account), store);
        if (!a.has("standard-folders"))
            return;
        static const char *const paths[] = { "Inbox", "Outbox", "Drafts", "Sent", "Trash", "Junk" };
        for (int k = QMailFolder::InboxFolder; k <= QMailFolder::JunkFolder; ++k) {
            const auto kind = QMailFolder::StandardFolder(k);
            QMailFolder folder { QLatin1String(paths[k - 1]), QMailFolderId(), account.id() };
            folder.setStatus(QMailFolder::statusForStandardFolder(kind)
                             | QMailFolder::MessagesPermitted);
            check(store->addFolder(&folder), store);
            account.setStandardFolder(kind, folder.id());
        }
        check(store->updateAccount(&account), store);
    });
    out() << account.id().toULongLong() << Qt::endl;
    return 0;
}

int accountUpdate(const QStringList &args)
{
    const Arguments a(args, { "name", "from", "signature" }, {});
    if (a.positional().size() != 1)
        throw usageError(QStringLiteral("account update needs one account id"));
    QMailStore *store = openStore();
    QMailAccount account = loadAccount(store, parseNumber(a.positional().first(), "an account id"));
    if (a.has("name"))
        account.setName(a.value("name"));
    if (a.has("from"))
        account.setFromAddress(QMailAddress(a.value("from")));
    if (a.has("signature"))
        account.setSignature(a.value("signature"));
    check(store->updateAccount(&account), store);
    return 0;
}

int accountRemove(const QStringList &args)
{
    const Arguments a(args, {}, {});
    if (a.positional().size() != 1)
        throw usageError(QStringLiteral("account remove needs one account id"));
    QMailStore *store = openStore();
    const QMailAccount account
        = loadAccount(store, parseNumber(a.positional().first(), "an account id"));
    check(store->removeAccount(account.id()), store);
    return 0;
}

// Folders

void applyStandard(QMailStore *store, QMailFolder *folder, const QString &kindText)
{
    QMailFolder::StandardFolder kind;
    if (!standardKind(kindText, &kind))
        throw usageError(QStringLiteral("unknown standard folder kind \"%1\"").arg(kindText));
    if (!folder->parentAccountId().isValid())
        throw Failure(QStringLiteral("a standard folder needs an account"));
    folder->setStatus(QMailFolder::statusForStandardFolder(kind), true);
    QMailAccount account = loadAccount(store, folder->parentAccountId().toULongLong());
    account.setStandardFolder(kind, folder->id());
    check(store->updateAccount(&account), store);
}

int folderAdd(const QStringList &args)
{
    const Arguments a(args, { "account", "path", "parent", "name", "standard" }, { "favourite" });
    if (!a.positional().isEmpty())
        throw usageError(QStringLiteral("unexpected argument \"%1\"").arg(a.positional().first()));
    if (!a.has("account") || !a.has("path"))
        throw usageError(QStringLiteral("folder add needs --account and --path"));
    QMailStore *store = openStore();
    const QMailAccount account
        = loadAccount(store, parseNumber(a.value("account"), "an account id"));
    QMailFolderId parent;
    if (a.has("parent"))
        parent = loadFolder(store, parseNumber(a.value("parent"), "a folder id")).id();
    QMailFolder folder(a.value("path"), parent, account.id());
    folder.setDisplayName(a.value("name"));
    folder.setStatus(QMailFolder::MessagesPermitted
                     | (a.has("favourite") ? QMailFolder::Favourite : 0));
    inOneTransaction(store, [&] {
        check(store->addFolder(&folder), store);
        if (a.has("standard")) {
            applyStandard(store, &folder, a.value("standard"));
            check(store->updateFolder(&folder), store);
        }
    });
    out() << folder.id().toULongLong() << Qt::endl;
    return 0;
}

int folderUpdate(const QStringList &args)
{
    const Arguments a(args, { "path", "name", "standard" }, { "favourite", "no-favourite" });
    if (a.positional().size() != 1)
        throw usageError(QStringLiteral("folder update needs one folder id"));
    if (a.has("favourite") && a.has("no-favourite"))
        throw usageError(QStringLiteral("--favourite and --no-favourite exclude each other"));
    QMailStore *store = openStore();
    QMailFolder folder = loadFolder(store, parseNumber(a.positional().first(), "a folder id"));
    if (a.has("path"))
        folder.setPath(a.value("path"));
    if (a.has("name"))
        folder.setDisplayName(a.value("name"));
    if (a.has("favourite"))
        folder.setStatus(QMailFolder::Favourite, true);
    if (a.has("no-favourite"))
        folder.setStatus(QMailFolder::Favourite, false);
    inOneTransaction(store, [&] {
        if (a.has("standard"))
            applyStandard(store, &folder, a.value("standard"));
        check(store->updateFolder(&folder), store);
    });
    return 0;
}

int folderRemove(const QStringList &args)
{
    const Arguments a(args, {}, {});
    if (a.positional().size() != 1)
        throw usageError(QStringLiteral("folder remove needs one folder id"));
    QMailStore *store = openStore();
    const QMailFolder folder
        = loadFolder(store, parseNumber(a.positional().first(), "a folder id"));
    check(store->removeFolder(folder.id()), store);
    return 0;
}

// Messages

int import(const QStringList &args)
{
    const Arguments a(args, { "folder" }, { "read" });
    if (!a.has("folder"))
        throw usageError(QStringLiteral("import needs --folder"));
    if (a.positional().isEmpty())
        throw usageError(QStringLiteral("import needs at least one file or folder"));
    QMailStore *store = openStore();
    const QMailFolder folder = loadFolder(store, parseNumber(a.value("folder"), "a folder id"));

    MailSource source(a.positional());
    if (!source.prepare())
        throw Failure(source.errorString());

    // All messages form one transaction: all or nothing.
    QMailMessageIdList added;
    inOneTransaction(store, [&] {
        if (!source.importInto(store, folder, a.has("read"), &added))
            throw Failure(source.errorString());
    });
    const int imported = added.size();
    out() << imported << Qt::endl;
    for (const QString &note : source.notes())
        std::fprintf(stderr, "qmfctl: %s\n", qPrintable(oneLine(note)));
    return 0;
}

int mark(const QStringList &args)
{
    const Arguments a(args, {}, { "read", "unread", "read-elsewhere", "not-read-elsewhere" });
    int choices = 0;
    quint64 flag = 0;
    bool set = true;
    if (a.has("read")) {
        ++choices;
        flag = QMailMessage::Read;
    }
    if (a.has("unread")) {
        ++choices;
        flag = QMailMessage::Read;
        set = false;
    }
    if (a.has("read-elsewhere")) {
        ++choices;
        flag = QMailMessage::ReadElsewhere;
    }
    if (a.has("not-read-elsewhere")) {
        ++choices;
        flag = QMailMessage::ReadElsewhere;
        set = false;
    }
    if (choices != 1)
        throw usageError(
            QStringLiteral("mark needs exactly one of --read, --unread, --read-elsewhere, "
                           "--not-read-elsewhere"));
    QMailStore *store = openStore();
    const QMailMessageIdList ids = messageIds(store, a.positional());
    check(store->updateMessagesMetaData(QMailMessageKey::id(ids), flag, set), store);
    return 0;
}

int move(const QStringList &args)
{
    const Arguments a(args, { "folder" }, {});
    if (!a.has("folder"))
        throw usageError(QStringLiteral("move needs --folder"));
    QMailStore *store = openStore();
    const QMailFolder folder = loadFolder(store, parseNumber(a.value("folder"), "a folder id"));
    const QMailMessageIdList ids = messageIds(store, a.positional());
    check(store->moveMessages(QMailMessageKey::id(ids), folder.id()), store);
    return 0;
}

int remove(const QStringList &args)
{
    const Arguments a(args, {}, {});
    QMailStore *store = openStore();
    const QMailMessageIdList ids = messageIds(store, a.positional());
    check(store->removeMessages(QMailMessageKey::id(ids), QMailStore::CreateRemovalRecord), store);
    return 0;
}

QString folderFlags(quint64 status)
{
    QStringList flags;
    const QList<QPair<quint64, const char *>> names = {
        { QMailFolder::Favourite, "favourite" }, { QMailFolder::Incoming, "incoming" },
        { QMailFolder::Outgoing, "outgoing" },   { QMailFolder::Drafts, "drafts" },
        { QMailFolder::Sent, "sent" },           { QMailFolder::Trash, "trash" },
        { QMailFolder::Junk, "junk" },
    };
    for (const auto &entry : names) {
        if (status & entry.first)
            flags.append(QLatin1String(entry.second));
    }
    return flags.join(QLatin1Char(','));
}

int list(const QStringList &args)
{
    if (args.isEmpty())
        throw usageError(QStringLiteral("list needs accounts, folders or messages"));
    const QString what = args.first();
    QMailStore *store = openStore();
    // Printed only when every row could be read.
    QString rows;
    QTextStream table(&rows);
    if (what == QLatin1String("accounts")) {
        const Arguments a(args.mid(1), {}, {});
        if (!a.positional().isEmpty())
            throw usageError(
                QStringLiteral("unexpected argument \"%1\"").arg(a.positional().first()));
        const QMailAccountIdList ids = store->queryAccounts();
        checkRead(store);
        for (const QMailAccountId &id : ids) {
            const QMailAccount account = loadAccount(store, id.toULongLong());
            QStringList standard;
            const auto folders = account.standardFolders();
            for (auto it = folders.cbegin(); it != folders.cend(); ++it)
                standard.append(QMailFolder::standardFolderName(it.key()) + QLatin1Char('=')
                                + QString::number(it.value().toULongLong()));
            table << id.toULongLong() << '\t' << oneLine(account.name()) << '\t'
                  << oneLine(account.fromAddress().toString()) << '\t'
                  << standard.join(QLatin1Char(' ')) << '\n';
        }
    } else if (what == QLatin1String("folders")) {
        const Arguments a(args.mid(1), { "account" }, {});
        if (!a.positional().isEmpty())
            throw usageError(
                QStringLiteral("unexpected argument \"%1\"").arg(a.positional().first()));
        QMailFolderKey key;
        if (a.has("account"))
            key = QMailFolderKey::parentAccountId(
                loadAccount(store, parseNumber(a.value("account"), "an account id")).id());
        const QMailFolderIdList ids = store->queryFolders(key);
        checkRead(store);
        for (const QMailFolderId &id : ids) {
            const QMailFolder folder = loadFolder(store, id.toULongLong());
            table << id.toULongLong() << '\t' << folder.parentAccountId().toULongLong() << '\t'
                  << folder.parentFolderId().toULongLong() << '\t' << oneLine(folder.path()) << '\t'
                  << oneLine(folder.displayName()) << '\t' << folderFlags(folder.status()) << '\n';
        }
    } else if (what == QLatin1String("messages")) {
        const Arguments a(args.mid(1), { "folder", "account" }, {});
        if (!a.positional().isEmpty())
            throw usageError(
                QStringLiteral("unexpected argument \"%1\"").arg(a.positional().first()));
        QMailMessageKey key;
        if (a.has("folder"))
            key &= QMailMessageKey::parentFolderId(
                loadFolder(store, parseNumber(a.value("folder"), "a folder id")).id());
        if (a.has("account"))
            key &= QMailMessageKey::parentAccountId(
                loadAccount(store, parseNumber(a.value("account"), "an account id")).id());
        const QMailMessageIdList ids = store->queryMessages(key);
        checkRead(store);
        for (const QMailMessageId &id : ids) {
            const QMailMessageMetaData m = store->messageMetaData(id);
            checkRead(store);
            if (!m.id().isValid())
                throw Failure(
                    QStringLiteral("message %1 vanished while listing").arg(id.toULongLong()));
            QString flags;
            flags += (m.status() & QMailMessage::Read) ? QLatin1Char('R') : QLatin1Char('-');
            flags
                += (m.status() & QMailMessage::ReadElsewhere) ? QLatin1Char('E') : QLatin1Char('-');
            flags += (m.status() & QMailMessage::HasAttachments) ? QLatin1Char('A')
                                                                 : QLatin1Char('-');
            table << id.toULongLong() << '\t' << m.parentFolderId().toULongLong() << '\t' << flags
                  << '\t'
                  << (m.date().isValid() ? m.date().toString(QMailTimeStamp::Rfc3339) : QString())
                  << '\t' << oneLine(m.from().toString()) << '\t' << oneLine(m.subject()) << '\n';
        }
    } else {
        throw usageError(QStringLiteral("cannot list \"%1\"").arg(what));
    }
    table.flush();
    out() << rows;
    out().flush();
    return 0;
}

// Watching

template<typename Ids>
void printChanges(QMailStore *store, void (QMailStore::*signal)(const Ids &), const char *name,
                  const std::function<void()> &counted)
{
    QObject::connect(store, signal, store, [name, counted](const Ids &ids) {
        QStringList numbers;
        for (const auto &id : ids)
            numbers.append(QString::number(id.toULongLong()));
        out() << name << '\t' << numbers.join(QLatin1Char(' ')) << Qt::endl;
        counted();
    });
}

int watch(const QStringList &args)
{
    const Arguments a(args, { "count" }, {});
    if (!a.positional().isEmpty())
        throw usageError(QStringLiteral("unexpected argument \"%1\"").arg(a.positional().first()));
    const quint64 limit = a.has("count") ? parseNumber(a.value("count"), "a count") : 0;
    QMailStore *store = openStore();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        throw Failure(QStringLiteral("no session bus: the changes of other processes cannot be "
                                     "watched"));
    // The bus handles this connection's messages in order: once this call
    // has returned, it routes the store's signals here.
    bus.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.DBus"));
    out() << "watching " << store->databasePath() << Qt::endl;

    quint64 seen = 0;
    const std::function<void()> counted = [&seen, limit] {
        if (limit > 0 && ++seen == limit)
            QCoreApplication::quit();
    };
    printChanges(store, &QMailStore::accountsAdded, "accountsAdded", counted);
    printChanges(store, &QMailStore::accountsUpdated, "accountsUpdated", counted);
    printChanges(store, &QMailStore::accountsRemoved, "accountsRemoved", counted);
    printChanges(store, &QMailStore::foldersAdded, "foldersAdded", counted);
    printChanges(store, &QMailStore::foldersUpdated, "foldersUpdated", counted);
    printChanges(store, &QMailStore::foldersRemoved, "foldersRemoved", counted);
    printChanges(store, &QMailStore::messagesAdded, "messagesAdded", counted);
    printChanges(store, &QMailStore::messagesUpdated, "messagesUpdated", counted);
    printChanges(store, &QMailStore::messagesRemoved, "messagesRemoved", counted);
    return QCoreApplication::exec();
}

int run(const QStringList &args)
{
    if (args.isEmpty())
        throw usageError(QStringLiteral("no command given"));
    const QString command = args.first();
    const QStringList rest = args.mid(1);
    if (command == QLatin1String("help") || command == QLatin1String("--help")
        || command == QLatin1String("-h")) {
        out() << Usage;
        return 0;
    }
    if (command == QLatin1String("account") || command == QLatin1String("folder")) {
        if (rest.isEmpty())
            throw usageError(QStringLiteral("%1 needs add, update or remove").arg(command));
        const QString verb = rest.first();
        const QStringList verbArgs = rest.mid(1);
        const bool account = command == QLatin1String("account");
        if (verb == QLatin1String("add"))
            return account ? accountAdd(verbArgs) : folderAdd(verbArgs);
        if (verb == QLatin1String("update"))
            return account ? accountUpdate(verbArgs) : folderUpdate(verbArgs);
        if (verb == QLatin1String("remove"))
            return account ? accountRemove(verbArgs) : folderRemove(verbArgs);
        throw usageError(QStringLiteral("unknown %1 command \"%2\"").arg(command, verb));
    }
    if (command == QLatin1String("import"))
        return import(rest);
    if (command == QLatin1String("mark"))
        return mark(rest);
    if (command == QLatin1String("move"))
        return move(rest);
    if (command == QLatin1String("delete"))
        return remove(rest);
    if (command == QLatin1String("list"))
        return list(rest);
    if (command == QLatin1String("watch"))
        return watch(rest);
    throw usageError(QStringLiteral("unknown command \"%1\"").arg(command));
}

} // namespace

int main(int argc, char *argv[])
{
    // It may be the first to make the mail store.
    qMailKeepFilesPrivate();
    QCoreApplication app(argc, argv);
    // Every failure reaches the user as one line of qmfctl's own; the
    // library's warnings about the same failure would only repeat it.
    qInstallMessageHandler(quietMessages);
    int status = 0;
    try {
        status = run(app.arguments().mid(1));
    } catch (const Failure &failure) {
        std::fprintf(stderr, "qmfctl: %s\n", qPrintable(oneLine(failure.text)));
        status = failure.code;
    } catch (const std::bad_alloc &) {
        // A transaction in progress has been rolled back on the way here.
        std::fprintf(stderr, "qmfctl: out of memory\n");
        status = 1;
    }
    out().flush();
    if (QMailStore::initializationState() == QMailStore::Initialized)
        QMailStore::instance()->flushIpcNotifications();
    return status;
}
