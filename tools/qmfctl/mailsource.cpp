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
            for (const QString &sub : subdirs) {
                const QDir folder(sub.isEmpty() ? path : dir.filePath(sub));
                if (!folder.exists())
                    continue;
                if (!folder.isReadable()) {
                    m_error = QStringLiteral("%1: cannot read the folder").arg(folder.path());
                    return false;
                }
                const QFileInfoList files
                    = folder.entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
                for (const QFileInfo &file : files)
                    m_entries.append({ file.filePath(), false, maildir });
            }
            continue;
        }
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            m_error = QStringLiteral("%1: %2").arg(path, file.errorString());
            return false;
        }
        const bool mbox = isMboxStart(file.peek(5));
        m_entries.append({ path, mbox, false });
    }
    return true;
}

bool MailSource::next(SourceMessage *message)
{
    *message = SourceMessage();
    while (true) {
        if (m_mbox) {
            if (readMboxMessage(message))
                return true;
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
        return readFile(entry, message);
    }
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
