#include "mailsource.h"

#include <qmailmaildir.h>
#include <qmailstore.h>

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool isMboxStart(const QByteArray &line)
{
    return line.startsWith("From ");
}

// mboxrd quoting: ">From " lines (with any number of '>') lose one '>'.
void unquoteFromLine(QByteArray &line)
{
    int i = 0;
    while (i < line.size() && line.at(i) == '>')
        ++i;
    if (i > 0 && line.mid(i, 5) == "From ")
        line.remove(0, 1);
}

} // namespace

MailSource::MailSource(const QStringList &paths)
    : m_paths(paths)
{ }

MailSource::~MailSource() = default;

bool MailSource::prepare()
{
    for (const QString &path : qAsConst(m_paths)) {
        const QFileInfo info(path);
        if (!info.exists()) {
            m_error = QStringLiteral("%1: no such file or folder").arg(path);
            return false;
        }
        if (info.isDir()) {
            const QDir dir(path);
            const bool maildir
                = dir.exists(QStringLiteral("cur")) || dir.exists(QStringLiteral("new"));
            const QStringList subdirs = maildir
                ? QStringList { QStringLiteral("new"), QStringLiteral("cur") }
                : QStringList { QString() };
            Folder folder { path, {}, {} };
            // Only the folder itself is read (a Maildir's new/ and cur/):
            // its other folders are said, never imported behind the user's back.
            const QStringList others = dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
            for (const QString &other : others) {
                if (!maildir
                    || (other != QLatin1String("cur") && other != QLatin1String("new")
                        && other != QLatin1String("tmp")))
                    folder.subfolders.append(other);
            }
            m_folders.append(folder);
            for (const QString &sub : subdirs) {
                const QDir files(sub.isEmpty() ? path : dir.filePath(sub));
                if (!files.exists())
                    continue;
                if (!files.isReadable()) {
                    m_error = QStringLiteral("%1: cannot read the folder").arg(files.path());
                    return false;
                }
                const QFileInfoList list
                    = files.entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
                for (const QFileInfo &file : list)
                    m_entries.append(
                        { file.filePath(), false, maildir, false, int(m_folders.size() - 1) });
            }
            continue;
        }
        if (!info.isFile()) {
            // A pipe or FIFO: opening it here and again later would lose what
            // the first open read, or wait for a writer that has gone.
            if (::access(QFile::encodeName(path).constData(), R_OK) != 0) {
                m_error
                    = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(strerror(errno)));
                return false;
            }
            m_entries.append({ path, false, false, true, -1 });
            continue;
        }
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            m_error = QStringLiteral("%1: %2").arg(path, file.errorString());
            return false;
        }
        const bool mbox = isMboxStart(file.peek(5));
        m_entries.append({ path, mbox, false, false, -1 });
    }
    return true;
}

QStringList MailSource::notes() const
{
    QStringList notes;
    for (const Folder &folder : m_folders) {
        if (!folder.skipped.isEmpty())
            notes.append(
                QStringLiteral("%1: skipped %2 %3 that %4 not mail (empty, not starting "
                               "with a header field, too large, or not a regular file): %5")
                    .arg(folder.path)
                    .arg(folder.skipped.size())
                    .arg(folder.skipped.size() == 1 ? QLatin1String("file")
                                                    : QLatin1String("files"))
                    .arg(folder.skipped.size() == 1 ? QLatin1String("is") : QLatin1String("are"))
                    .arg(folder.skipped.join(QLatin1String(", "))));
        if (!folder.subfolders.isEmpty())
            notes.append(QStringLiteral("%1: subfolders are not imported (name them to import "
                                        "them): %2")
                             .arg(folder.path, folder.subfolders.join(QLatin1String(", "))));
    }
    return notes;
}

bool MailSource::judge(int folder, const QString &path, const QString &why, bool *skip)
{
    *skip = false;
    if (why.isEmpty())
        return true;
    if (folder >= 0) {
        m_folders[folder].skipped.append(QFileInfo(path).fileName());
        *skip = true;
        return true;
    }
    m_error = why;
    return false;
}

bool MailSource::next(SourceMessage *message)
{
    *message = SourceMessage();
    while (true) {
        if (m_mbox) {
            if (readMboxMessage(message)) {
                bool skip = false;
                const QString name
                    = QStringLiteral("%1 (message %2)").arg(m_mboxPath).arg(m_mboxCount);
                const QString why = QMailMessageFile::notMail(message->text);
                return judge(-1, name,
                             why.isEmpty()
                                 ? why
                                 : QStringLiteral("%1: not a mail message: %2").arg(name, why),
                             &skip);
            }
            if (!m_error.isEmpty())
                return false;
            m_mbox.reset();
            continue;
        }
        if (m_index >= m_entries.size())
            return false;
        const Entry entry = m_entries.at(m_index++);
        if (entry.mbox) {
            if (!openMbox(entry.path))
                return false;
            continue;
        }
        if (!entry.stream) {
            readFile(entry, message);
            return true;
        }
        if (!readStream(entry, message))
            return false;
        if (m_mbox)
            continue;
        const QString why = QMailMessageFile::notMail(message->text);
        bool skip = false;
        return judge(
            -1, entry.path,
            why.isEmpty() ? why : QStringLiteral("%1: not a mail message: %2").arg(entry.path, why),
            &skip);
    }
}

bool MailSource::importInto(QMailStore *store, const QMailFolder &folder, bool read,
                            QMailMessageIdList *added)
{
    SourceMessage item;
    while (next(&item)) {
        QMailMessage message
            = item.file.isEmpty() ? QMailMessage::fromRfc2822(item.text) : QMailMessage();
        message.setParentFolderId(folder.id());
        message.setParentAccountId(folder.parentAccountId());
        message.setServerUid(item.serverUid);
        if (item.received.isValid())
            message.setReceivedDate(QMailTimeStamp(item.received));
        message.setStatus(QMailMessage::Incoming | QMailMessage::ContentAvailable, true);
        message.setStatus(QMailMessage::Read, item.read || read);
        QMailMessageMetaData *metaData = &message;
        const bool ok = item.file.isEmpty() ? store->addMessage(&message)
                                            : store->addMessageFromFile(metaData, item.file);
        if (!ok && store->lastError() == QMailStore::ContentRefused) {
            bool skip = false;
            if (!judge(item.folder, item.file, store->lastErrorText(), &skip))
                return false;
            continue;
        }
        if (!ok) {
            m_error = store->lastErrorText();
            return false;
        }
        added->append(message.id());
    }
    return m_error.isEmpty();
}

bool MailSource::readStream(const Entry &entry, SourceMessage *message)
{
    // Like cat: waits for a FIFO's writer, reads until the end of the stream.
    auto stream = std::make_unique<QFile>(entry.path);
    if (!stream->open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        m_error = QStringLiteral("%1: %2").arg(entry.path, stream->errorString());
        return false;
    }
    QByteArray text;
    // An mbox is read message by message; anything else is one message.
    while (text.size() < 5) {
        const QByteArray more = stream->read(5 - text.size());
        if (more.isEmpty())
            break;
        text += more;
    }
    if (isMboxStart(text)) {
        m_mbox = std::move(stream);
        m_mboxPath = entry.path;
        m_mboxCount = 0;
        m_pendingFromLine = text + m_mbox->readLine();
        return true;
    }
    char buffer[65536];
    while (true) {
        const qint64 n = stream->read(buffer, sizeof(buffer));
        if (n < 0) {
            m_error = QStringLiteral("%1: %2").arg(entry.path, stream->errorString());
            return false;
        }
        if (n == 0)
            break;
        if (text.size() + n > QMailMessageFile::MaximumSize) {
            m_error = QMailMessageFile::tooLarge(entry.path);
            return false;
        }
        text.append(buffer, int(n));
    }
    message->text = text;
    message->serverUid = QFileInfo(entry.path).fileName();
    message->received = QDateTime::currentDateTimeUtc();
    return true;
}

void MailSource::readFile(const Entry &entry, SourceMessage *message)
{
    const QString fileName = entry.path.mid(entry.path.lastIndexOf(QLatin1Char('/')) + 1);
    // A link named on the command line is the user's choice; one found in
    // a folder is never followed.
    message->file = entry.folder < 0 && QFileInfo(entry.path).isSymLink()
        ? QFileInfo(entry.path).canonicalFilePath()
        : entry.path;
    message->folder = entry.folder;
    message->serverUid = entry.maildir ? Maildir::uidOf(fileName) : fileName;
    message->read = entry.maildir
        && (Maildir::statusFromFlags(Maildir::flagsOf(fileName)) & QMailMessage::Read);
}

bool MailSource::openMbox(const QString &path)
{
    m_mbox = std::make_unique<QFile>(path);
    if (!m_mbox->open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("%1: %2").arg(path, m_mbox->errorString());
        m_mbox.reset();
        return false;
    }
    m_mboxPath = path;
    m_mboxCount = 0;
    m_pendingFromLine = m_mbox->readLine();
    return true;
}

bool MailSource::readMboxMessage(SourceMessage *message)
{
    if (m_pendingFromLine.isEmpty())
        return false;
    QByteArray text;
    bool previousBlank = true;
    while (true) {
        QByteArray line = m_mbox->readLine();
        if (line.isEmpty()) {
            if (m_mbox->error() != QFileDevice::NoError) {
                m_error = QStringLiteral("%1: %2").arg(m_mboxPath, m_mbox->errorString());
                return false;
            }
            m_pendingFromLine.clear();
            break;
        }
        // A "From " line after a blank line starts the next message.
        if (previousBlank && isMboxStart(line) && !text.isEmpty()) {
            m_pendingFromLine = line;
            break;
        }
        previousBlank = line == "\n" || line == "\r\n";
        unquoteFromLine(line);
        if (text.size() + line.size() > QMailMessageFile::MaximumSize) {
            m_error = QMailMessageFile::tooLarge(m_mboxPath);
            return false;
        }
        text.append(line);
    }
    // The blank line before the separator belongs to the mbox, not the message.
    if (text.endsWith("\n\n"))
        text.chop(1);
    else if (text.endsWith("\r\n\r\n"))
        text.chop(2);
    message->text = text;
    message->serverUid
        = QFileInfo(m_mboxPath).fileName() + QLatin1Char('#') + QString::number(++m_mboxCount);
    message->received = QDateTime::currentDateTimeUtc();
    return true;
}
