// Content files: each message's RFC 822 text in a file of its own below
// mail/. A transaction writes its files into a staging folder of its process
// and links them into place just before its commit; a process that dies
// leaves only staged files, which the next process to open the store keeps
// (their rows were committed) or deletes (they were not).
#include "qmailstore_p.h"

#include "qmailmaildir.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

const char ContentScheme[] = "qmfstoragemanager";
// What a message's header (and its parts' headers) may hold in memory when
// only the header is read.
const int MaximumHeader = 1 << 20;
// How deep the message parser splits multipart entities.
const int MaximumPartDepth = 32;
// What a device gives per read of a line.
const int ChunkSize = 8191;
// A message file up to this size is read once, into memory: its header is
// parsed and its content written from there.
const int WholeReadSize = 1 << 20;

QString systemError()
{
    return QString::fromLocal8Bit(strerror(errno));
}

bool writeAll(int fd, const QByteArray &data)
{
    qint64 written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + written, size_t(data.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        written += n;
    }
    return true;
}

bool processAlive(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

} // namespace

QString QMailStorePrivate::contentPath(const QString &identifier) const
{
    if (identifier.isEmpty())
        return QString();
    if (QDir::isAbsolutePath(identifier))
        return identifier;
    return directory + QLatin1Char('/') + identifier;
}

bool QMailStorePrivate::isOwnContent(const QMailMessageMetaData &metaData) const
{
    if (metaData.contentScheme() != QLatin1String(ContentScheme)
        || metaData.contentIdentifier().isEmpty())
        return false;
    // Never touch a file outside the store's own content folder, whatever a
    // writer put into the identifier.
    const QString path = QDir::cleanPath(contentPath(metaData.contentIdentifier()));
    return path.startsWith(contentDirectory + QLatin1Char('/'));
}

// Names a new content file for the message: its place in the store and the
// staged name it is written under first. False when a folder cannot be made.
bool QMailStorePrivate::nameContentFile(quint64 id, QString *staged, QString *path)
{
    // Consecutive messages share a folder of at most 1024 files: small
    // folders, and a bulk import creates its files side by side.
    const QString folder = contentDirectory + QLatin1Char('/') + QString::number(id / 1024, 16);
    for (const QString &needed : { folder, stagingDirectory }) {
        if (knownFolders.contains(needed))
            continue;
        if (!QDir().mkpath(needed)) {
            setError(QMailStore::ContentInaccessible,
                     QStringLiteral("Cannot create %1").arg(needed));
            return false;
        }
        knownFolders.insert(needed);
    }
    // A fresh name for every version: a failed transaction can then delete
    // its own file without touching the version the store still points at.
    const QString name = QString::number(id) + QLatin1Char('.')
        + QString::number(QRandomGenerator::global()->generate(), 16)
        + QString::number(++fileCounter, 16);
    *staged = stagingDirectory + QLatin1Char('/') + name;
    *path = folder + QLatin1Char('/') + name;
    return true;
}

// A new, empty content file for the message, staged; -1 when it cannot be made.
int QMailStorePrivate::createContentFile(quint64 id, QString *path)
{
    QString staged;
    if (!nameContentFile(id, &staged, path))
        return -1;
    // Plain system calls: a bulk import creates thousands of these files and
    // QFile would add several status calls to each.
    const int fd = ::open(QFile::encodeName(staged).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        setError(QMailStore::ContentInaccessible,
                 QStringLiteral("Cannot write %1: %2").arg(staged, systemError()));
        return -1;
    }
    pending.stage(staged, *path);
    return fd;
}

// The open mail file itself becomes the content file, under a second name:
// no copy, no new file. That is sound because neither side ever writes into
// a message file it has: a Maildir changes flags by renaming, and the store
// only ever creates content files (O_EXCL) and drops its own names of them.
// The descriptor's own file is linked, whatever its path now names. False,
// with nothing staged, when it cannot be linked here (another file system,
// a file of another owner, no /proc): the caller then copies it.
bool QMailStorePrivate::linkContent(QMailMessageMetaData *metaData, int fd)
{
    QString staged, path;
    if (!nameContentFile(metaData->id().toULongLong(), &staged, &path))
        return false;
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, QFile::encodeName(staged).constData(),
                 AT_SYMLINK_FOLLOW)
        != 0)
        return false;
    pending.stage(staged, path);
    metaData->setContentScheme(QLatin1String(ContentScheme));
    metaData->setContentIdentifier(path);
    return true;
}

bool QMailStorePrivate::closeContentFile(int fd, bool written, const QString &path)
{
    const QString why = systemError();
    if (::close(fd) != 0 || !written) {
        setError(QMailStore::ContentInaccessible,
                 QStringLiteral("Cannot write %1: %2")
                     .arg(pending.stagedPath(path), written ? systemError() : why));
        return false;
    }
    return true;
}

bool QMailStorePrivate::storeContent(QMailMessage *message)
{
    QString path;
    const int fd = createContentFile(message->id().toULongLong(), &path);
    if (fd < 0 || !closeContentFile(fd, writeAll(fd, message->m_rfc2822), path))
        return false;
    if (isOwnContent(*message))
        pending.obsolete(contentPath(message->contentIdentifier()));
    message->setContentScheme(QLatin1String(ContentScheme));
    message->setContentIdentifier(path);
    message->m_contentModified = false;
    return true;
}

bool QMailStorePrivate::storeContent(QMailMessageMetaData *metaData, QIODevice *source,
                                     const QString &name)
{
    QString path;
    const int fd = createContentFile(metaData->id().toULongLong(), &path);
    if (fd < 0)
        return false;
    // Copied as it is read: memory stays the size of the buffer, and a file
    // that grows past the limit while it is read is refused.
    QByteArray buffer(65536, Qt::Uninitialized);
    qint64 total = 0;
    bool written = true;
    while (written) {
        const qint64 n = source->read(buffer.data(), buffer.size());
        if (n <= 0) {
            if (n < 0) {
                ::close(fd);
                setError(QMailStore::ContentInaccessible,
                         QStringLiteral("Cannot read %1: %2").arg(name, source->errorString()));
                return false;
            }
            break;
        }
        total += n;
        if (total > QMailMessageFile::MaximumSize) {
            ::close(fd);
            setError(QMailStore::ContentRefused, QMailMessageFile::tooLarge(name));
            return false;
        }
        written = writeAll(fd, QByteArray::fromRawData(buffer.constData(), int(n)));
    }
    if (!closeContentFile(fd, written, path))
        return false;
    metaData->setSize(uint(total));
    metaData->setContentScheme(QLatin1String(ContentScheme));
    metaData->setContentIdentifier(path);
    return true;
}

bool QMailStorePrivate::storeContent(QMailMessageMetaData *metaData, const QByteArray &bytes)
{
    QString path;
    const int fd = createContentFile(metaData->id().toULongLong(), &path);
    if (fd < 0 || !closeContentFile(fd, writeAll(fd, bytes), path))
        return false;
    metaData->setSize(uint(bytes.size()));
    metaData->setContentScheme(QLatin1String(ContentScheme));
    metaData->setContentIdentifier(path);
    return true;
}

bool QMailStorePrivate::readWhole(int fd, qint64 size, QByteArray *bytes)
{
    if (size > WholeReadSize)
        return false;
    // One byte more than the size: a file that grew meanwhile is noticed.
    bytes->resize(int(size) + 1);
    int total = 0;
    ssize_t n = 1;
    while (total < bytes->size() && n != 0) {
        n = ::read(fd, bytes->data() + total, size_t(bytes->size() - total));
        if (n < 0 && errno != EINTR)
            break;
        total += int(qMax<ssize_t>(n, 0));
    }
    if (n < 0 || total > size) {
        // The streaming copy takes such a file as it comes, and reports errors.
        bytes->clear();
        return false;
    }
    bytes->resize(total);
    return true;
}

namespace {

// The header of an entity, read line by line from the device (or from the
// bytes of a file read whole), line feeds only; an empty line or the end ends
// it. Lines that continue the field `keep` names (the first such field) or
// all lines when it is empty are kept. Returns false at the end of the device
// before any line.
struct LineReader
{
    explicit LineReader(QIODevice *source, const QByteArray &whole = QByteArray())
        : device(source)
        , bytes(whole)
    { }

    QIODevice *device;
    QByteArray line;
    bool atEnd = false;
    QByteArray bytes; // when there is no device
    int position = 0;

    // The next line, without its line break; long lines come whole only when
    // asked for, otherwise their first bytes suffice.
    bool next(bool whole)
    {
        line.clear();
        if (!device)
            return nextInBytes(whole);
        bool complete = false;
        while (!complete) {
            char buffer[ChunkSize + 1];
            const qint64 n = device->readLine(buffer, sizeof buffer);
            if (n <= 0) {
                atEnd = true;
                return !line.isEmpty();
            }
            complete = buffer[n - 1] == '\n';
            if (line.size() < (whole ? MaximumHeader : 1024))
                line.append(buffer, int(n));
        }
        line.chop(1);
        if (line.endsWith('\r'))
            line.chop(1);
        return true;
    }

    // The same lines from memory: a long line keeps the bytes the chunks read
    // from a device would have kept, so that both give the same skeleton.
    bool nextInBytes(bool whole)
    {
        const int size = bytes.size();
        if (position >= size) {
            atEnd = true;
            return false;
        }
        const char *start = bytes.constData() + position;
        const char *end
            = static_cast<const char *>(std::memchr(start, '\n', size_t(size - position)));
        const bool complete = end != nullptr;
        const int length = complete ? int(end - start) + 1 : size - position;
        const int limit = whole ? MaximumHeader : 1024;
        const int kept = qMin(length, (limit + ChunkSize - 1) / ChunkSize * ChunkSize);
        position += length;
        if (!complete) {
            atEnd = true;
            line = QByteArray::fromRawData(start, kept);
            return true;
        }
        int chopped = kept - 1;
        if (chopped > 0 && start[chopped - 1] == '\r')
            --chopped;
        line = QByteArray::fromRawData(start, chopped);
        return true;
    }
};

// What the parser needs to find and read the parts of a message at every
// level: the message's Content-Type field and, per part, its header. Bodies
// are dropped as they stream past, following the parser's rules for
// delimiter lines, so that the same parts come out in the same places.
QByteArray partSkeleton(LineReader &reader, bool wholeHeader, QMailMessage *parsed = nullptr,
                        bool *isParsed = nullptr)
{
    QByteArray skeleton;
    bool inContentType = false;
    bool seenContentType = false;
    QByteArray contentType;
    while (reader.next(true) && !reader.line.isEmpty()) {
        const QByteArray &line = reader.line;
        if (wholeHeader) {
            // The fields the store's columns need, within reason: a header
            // of hostile length is cut, not held.
            if (skeleton.size() + line.size() < MaximumHeader)
                skeleton += line + '\n';
            continue;
        }
        if (line.at(0) == ' ' || line.at(0) == '\t') {
            if (inContentType)
                skeleton += line + '\n';
            continue;
        }
        const int colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        inContentType = !seenContentType
            && qstricmp(line.left(colon).trimmed().constData(), "Content-Type") == 0;
        if (inContentType) {
            seenContentType = true;
            skeleton += line + '\n';
        }
    }
    skeleton += '\n';
    const QMailMessage head = QMailMessage::fromRfc2822(skeleton);
    const QMailMessageContentType type = head.contentType();
    if (type.type() != "multipart" || type.boundary().isEmpty()) {
        // The skeleton is the header just parsed: the caller need not parse it again.
        if (parsed) {
            *parsed = head;
            *isParsed = true;
        }
        return skeleton;
    }
    // The delimiters of the multipart entities around the line, the
    // message's first; a part that is multipart itself adds its own once its
    // header is read, as deep as the parser splits.
    QList<QByteArray> delimiters { "--" + type.boundary() };
    QByteArray header; // of the part being read
    // 0: before the first delimiter, 1: in a part's header, 2: in its body.
    int state = 0;
    while (!reader.atEnd && reader.next(state == 1)) {
        const QByteArray &line = reader.line;
        // The parser splits the outer entity first: its delimiter ends every
        // part within, closed or not.
        int level = -1;
        bool close = false;
        for (int i = 0; i < delimiters.size() && level < 0; ++i) {
            if (line.startsWith(delimiters.at(i))) {
                const QByteArray rest = line.mid(delimiters.at(i).size());
                close = rest.startsWith("--");
                level = close || rest.trimmed().isEmpty() ? i : -1;
            }
        }
        if (level >= 0) {
            if (state == 1)
                skeleton += '\n';
            skeleton += delimiters.at(level) + (close ? "--\n" : "\n");
            // After a close delimiter, what follows belongs to the enclosing part.
            delimiters.erase(delimiters.begin() + level + (close ? 0 : 1), delimiters.end());
            if (delimiters.isEmpty())
                return skeleton;
            state = close ? 2 : 1;
            header.clear();
            continue;
        }
        if (state == 1 && skeleton.size() + line.size() < MaximumHeader) {
            skeleton += line + '\n';
            header += line + '\n';
            // Only a header that names a multipart type is parsed.
            if (line.isEmpty() && header.toLower().contains("multipart")) {
                const QMailMessageContentType inner
                    = QMailMessage::fromRfc2822(header).contentType();
                if (inner.type() == "multipart" && !inner.boundary().isEmpty()
                    && delimiters.size() < MaximumPartDepth)
                    delimiters.append("--" + inner.boundary());
            }
            if (line.isEmpty())
                state = 2;
        }
    }
    if (state == 1)
        skeleton += '\n';
    return skeleton;
}

} // namespace

bool QMailStorePrivate::readHeader(QMailMessageMetaData *metaData, QIODevice *source,
                                   const QByteArray &bytes)
{
    LineReader reader(source, bytes);
    QMailMessage head;
    bool parsed = false;
    const QByteArray skeleton = partSkeleton(reader, true, &head, &parsed);
    if (!parsed)
        head = QMailMessage::fromRfc2822(skeleton);
    metaData->setSubject(head.subject());
    metaData->setFrom(head.from());
    metaData->setTo(head.to());
    metaData->setDate(head.date());
    metaData->setContent(head.content());
    metaData->setStatus(QMailMessageMetaData::HasAttachments,
                        head.status() & QMailMessageMetaData::HasAttachments);
    return !source || source->seek(0);
}

void QMailStorePrivate::loadContent(QMailMessage *message, bool bodies) const
{
    if (message->contentScheme() != QLatin1String(ContentScheme))
        return;
    const QString path = contentPath(message->contentIdentifier());
    QFile file(path);
    // Written by the running transaction: not yet in place.
    const QString staged = pending.stagedPath(path);
    if (!staged.isEmpty())
        file.setFileName(staged);
    if (!file.open(QIODevice::ReadOnly)) {
        // The metadata stays useful without its content.
        setError(QMailStore::ContentInaccessible,
                 QStringLiteral("Cannot read the content of message %1: %2")
                     .arg(message->id().toULongLong())
                     .arg(file.errorString()));
        return;
    }
    // A mail file shared with a Maildir may have been rewritten since.
    if (file.size() > QMailMessageFile::MaximumSize) {
        setError(QMailStore::ContentRefused, QMailMessageFile::tooLarge(path));
        return;
    }
    if (!bodies) {
        LineReader reader(&file);
        message->parseContent(partSkeleton(reader, false), false);
        return;
    }
    message->m_rfc2822 = file.readAll();
    message->parseContent(message->m_rfc2822, false);
}

bool QMailStorePrivate::linkStagedContent()
{
    for (const auto &file : pending.stagedFiles()) {
        if (::link(QFile::encodeName(file.first).constData(),
                   QFile::encodeName(file.second).constData())
                != 0
            && errno != EEXIST) {
            setError(QMailStore::ContentInaccessible,
                     QStringLiteral("Cannot write %1: %2").arg(file.second, systemError()));
            return false;
        }
    }
    return true;
}

void QMailStorePrivate::keepContent(const QMailStoreChanges &changes)
{
    for (const auto &file : changes.stagedFiles())
        ::unlink(QFile::encodeName(file.first).constData());
    for (const QString &file : changes.obsoleteFiles())
        ::unlink(QFile::encodeName(file).constData());
}

void QMailStorePrivate::unlinkPlacedContent()
{
    for (const auto &file : pending.stagedFiles())
        ::unlink(QFile::encodeName(file.second).constData());
}

void QMailStorePrivate::collectStagedFiles()
{
    const QDir staging(contentDirectory + QLatin1String("/.staging"));
    const QStringList processes = staging.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &process : processes) {
        // Our own pid's folder is a dead predecessor's: nothing is staged yet.
        const qint64 pid = process.toLongLong();
        if (pid != QCoreApplication::applicationPid() && processAlive(pid))
            continue;
        QDir folder(staging.filePath(process));
        for (const QString &name : folder.entryList(QDir::Files | QDir::Hidden)) {
            const quint64 id = name.section(QLatin1Char('.'), 0, 0).toULongLong();
            const QString path = contentDirectory + QLatin1Char('/')
                + QString::number(id / 1024, 16) + QLatin1Char('/') + name;
            QSqlQuery &query
                = prepared(QStringLiteral("SELECT 1 FROM messages WHERE contentidentifier = ?"));
            query.addBindValue(path);
            if (!query.exec()) {
                // Without an answer nothing is decided: try again next time.
                query.finish();
                continue;
            }
            const bool committed = query.next();
            query.finish();
            if (committed)
                ::link(QFile::encodeName(folder.filePath(name)).constData(),
                       QFile::encodeName(path).constData());
            else
                ::unlink(QFile::encodeName(path).constData());
            folder.remove(name);
        }
        staging.rmdir(process);
    }
}
