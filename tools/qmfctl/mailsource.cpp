#include "mailsource.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Far beyond any real message, and well below what one QByteArray can hold:
// a larger source is refused with an error instead of ending the import
// with an allocation failure.
const qint64 MaximumMessageSize = qint64(1) << 30;

QString tooLarge(const QString &path)
{
    return QStringLiteral("%1: a message larger than 1 GiB cannot be imported").arg(path);
}

bool isMboxStart(const QByteArray &line)
{
    return line.startsWith("From ");
}

// Why the text is not a mail message, or nothing when it is one: mail starts
// with a header field ("Name: value"), after an mbox-style "From " line at
// most. A binary file, an empty one or plain text does not.
QString notMail(const QByteArray &text)
{
    if (text.isEmpty())
        return QStringLiteral("the file is empty");
    int start = 0;
    if (isMboxStart(text)) {
        start = text.indexOf('\n') + 1;
        if (start <= 0)
            start = text.size();
    }
    int i = start;
    while (i < text.size()) {
        const uchar c = uchar(text.at(i));
        if (c == ':')
            break;
        if (c <= 32 || c >= 127)
            return QStringLiteral("it does not start with a header field");
        ++i;
    }
    if (i == start || i >= text.size())
        return QStringLiteral("it does not start with a header field");
    return QString();
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

// The Maildir file name without its ":2,FLAGS" info part.
QString maildirUid(const QString &fileName, bool *seen)
{
    const int colon = fileName.indexOf(QLatin1Char(':'));
    *seen = false;
    if (colon < 0)
        return fileName;
    const QString info = fileName.mid(colon + 1);
    if (info.startsWith(QLatin1String("2,")))
        *seen = info.mid(2).contains(QLatin1Char('S'));
    return fileName.left(colon);
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
                QStringLiteral("%1: skipped %2 %3 that %4 not mail (empty, or not "
                               "starting with a header field): %5")
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

bool MailSource::judge(const Entry &entry, const QString &name, const QByteArray &text, bool *skip)
{
    *skip = false;
    const QString why = notMail(text);
    if (why.isEmpty())
        return true;
    if (entry.folder >= 0) {
        m_folders[entry.folder].skipped.append(QFileInfo(entry.path).fileName());
        *skip = true;
        return true;
    }
    m_error = QStringLiteral("%1: not a mail message: %2").arg(name, why);
    return false;
}

bool MailSource::next(SourceMessage *message)
{
    *message = SourceMessage();
    while (true) {
        if (m_mbox) {
            if (readMboxMessage(message)) {
                bool skip = false;
                return judge(Entry { m_mboxPath, true, false, false, -1 },
                             QStringLiteral("%1 (message %2)").arg(m_mboxPath).arg(m_mboxCount),
                             message->text, &skip);
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
        if (entry.stream) {
            if (!readStream(entry, message))
                return false;
            if (m_mbox)
                continue;
        } else if (!readFile(entry, message)) {
            return false;
        }
        bool skip = false;
        if (!judge(entry, entry.path, message->text, &skip))
            return false;
        if (!skip)
            return true;
        *message = SourceMessage();
    }
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
        if (text.size() + n > MaximumMessageSize) {
            m_error = tooLarge(entry.path);
            return false;
        }
        text.append(buffer, int(n));
    }
    message->text = text;
    message->serverUid = QFileInfo(entry.path).fileName();
    message->received = QDateTime::currentDateTimeUtc();
    return true;
}

bool MailSource::readFile(const Entry &entry, SourceMessage *message)
{
    // Plain system calls: an import reads thousands of small files, and QFile
    // would add several status calls to each.
    const QByteArray nativePath = QFile::encodeName(entry.path);
    const int fd = ::open(nativePath.constData(), O_RDONLY | O_CLOEXEC);
    struct stat status;
    if (fd < 0 || ::fstat(fd, &status) != 0) {
        m_error = QStringLiteral("%1: %2").arg(entry.path, QString::fromLocal8Bit(strerror(errno)));
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    if (status.st_size > MaximumMessageSize) {
        m_error = tooLarge(entry.path);
        ::close(fd);
        return false;
    }
    QByteArray text;
    text.reserve(int(status.st_size));
    char buffer[65536];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            m_error
                = QStringLiteral("%1: %2").arg(entry.path, QString::fromLocal8Bit(strerror(errno)));
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        if (text.size() + n > MaximumMessageSize) {
            // The file has grown since it was measured.
            m_error = tooLarge(entry.path);
            ::close(fd);
            return false;
        }
        text.append(buffer, int(n));
    }
    ::close(fd);
    message->text = text;
    // In UTC: local time would make every message consult the time zone files.
    message->received = QDateTime::fromMSecsSinceEpoch(
        qint64(status.st_mtim.tv_sec) * 1000 + status.st_mtim.tv_nsec / 1000000, Qt::UTC);
    const QString fileName = entry.path.mid(entry.path.lastIndexOf(QLatin1Char('/')) + 1);
    if (entry.maildir) {
        bool seen = false;
        message->serverUid = maildirUid(fileName, &seen);
        message->read = seen;
    } else {
        message->serverUid = fileName;
    }
    return true;
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
        if (text.size() + line.size() > MaximumMessageSize) {
            m_error = tooLarge(m_mboxPath);
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
