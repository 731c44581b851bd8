#include "qmailmessage.h"

#include "qmailcodec_p.h"
#include "qmailstore.h"

#include <KMime/Headers>
#include <KMime/Util>

#include <QFile>
#include <QTextCodec>

typedef QPair<QByteArray, QByteArray> RawHeader;

class QMailMessagePartContainerPrivate : public QSharedData
{
public:
    QList<RawHeader> headers;
    QList<QMailMessagePart> parts;
    QByteArray body;
    bool hasBody = false;
    QMailMessageId messageId;
    QList<int> indices;

    static void fill(QMailMessagePartContainer &container, const QByteArray &entity,
                     const QMailMessageId &messageId, const QList<int> &indices, int depth);
    static void stamp(QMailMessagePartContainer &container, const QMailMessageId &messageId);
    static QMailMessagePartContainerPrivate *of(QMailMessagePartContainer &container)
    {
        return container.d.data();
    }
    static const QMailMessagePartContainerPrivate *of(const QMailMessagePartContainer &container)
    {
        return container.d.constData();
    }
};

namespace {

// Deeper nesting than this is not mail but an attack on the parser.
const int MaximumPartDepth = 32;

QList<RawHeader> parseHead(const QByteArray &head)
{
    QList<RawHeader> headers;
    int start = 0;
    const int n = head.size();
    while (start < n) {
        int end = head.indexOf('\n', start);
        if (end < 0)
            end = n;
        QByteArray line = head.mid(start, end - start);
        start = end + 1;
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty())
            continue;
        if ((line.at(0) == ' ' || line.at(0) == '\t')) {
            if (!headers.isEmpty()) {
                headers.last().second.append('\n');
                headers.last().second.append(line);
            }
            continue;
        }
        const int colon = line.indexOf(':');
        if (colon <= 0)
            continue; // Not a header line; nothing sensible to keep.
        headers.append(RawHeader(line.left(colon).trimmed(), line.mid(colon + 1).trimmed()));
    }
    return headers;
}

QByteArray findHeader(const QList<RawHeader> &headers, const QByteArray &name)
{
    for (const RawHeader &header : headers) {
        if (qstricmp(header.first.constData(), name.constData()) == 0)
            return header.second;
    }
    return QByteArray();
}

// Splits an entity (line-feed text) at the empty line that ends its header
// and returns the header; an entity without that line is all header.
QByteArray splitEntity(const QByteArray &entity, QByteArray *body)
{
    if (entity.startsWith('\n')) {
        *body = entity.mid(1);
        return QByteArray();
    }
    const int end = entity.indexOf("\n\n");
    if (end < 0) {
        body->clear();
        return entity;
    }
    *body = entity.mid(end + 2);
    return entity.left(end + 1);
}

// The body parts of a multipart entity (RFC 2046): the text between its
// delimiter lines, without the line break that belongs to each delimiter.
// Preamble and epilogue are dropped, and a missing close delimiter ends the
// last part at the end of the text. No parts when the entity is not
// multipart or its boundary never occurs.
//
// One level at a time, on purpose: a parser that splits the whole tree at
// once copies the text at every level, and a small message of thousands of
// nested parts then costs minutes and gigabytes.
QList<QByteArray> splitMultipart(const QByteArray &body, const QByteArray &contentType)
{
    QList<QByteArray> parts;
    const QMailMessageContentType type(contentType);
    const QByteArray delimiter = "--" + type.boundary();
    if (type.type() != "multipart" || delimiter.size() == 2)
        return parts;
    const int n = body.size();
    int partStart = -1;
    int from = 0;
    int pos;
    while ((pos = body.indexOf(delimiter, from)) >= 0) {
        from = pos + delimiter.size();
        if (pos > 0 && body.at(pos - 1) != '\n')
            continue;
        int lineEnd = body.indexOf('\n', from);
        if (lineEnd < 0)
            lineEnd = n;
        const QByteArray rest = body.mid(from, lineEnd - from);
        const bool close = rest.startsWith("--");
        // "--b10" is not a delimiter of boundary "b1".
        if (!close && !rest.trimmed().isEmpty())
            continue;
        if (partStart >= 0)
            parts.append(body.mid(partStart, qMax(pos - 1, partStart) - partStart));
        if (close)
            return parts;
        partStart = qMin(lineEnd + 1, n);
        from = partStart;
    }
    if (partStart >= 0)
        parts.append(body.mid(partStart));
    return parts;
}

bool hasHeader(const QList<RawHeader> &headers, const QByteArray &name)
{
    for (const RawHeader &header : headers) {
        if (qstricmp(header.first.constData(), name.constData()) == 0)
            return true;
    }
    return false;
}

// Splits a header field body at ';' outside quoted strings.
QList<QByteArray> splitParameters(const QByteArray &text)
{
    QList<QByteArray> parts;
    QByteArray current;
    bool quoted = false;
    for (int i = 0; i < text.size(); ++i) {
        const char c = text.at(i);
        if (quoted && c == '\\' && i + 1 < text.size()) {
            current.append(c);
            current.append(text.at(++i));
            continue;
        }
        if (c == '"')
            quoted = !quoted;
        if (c == ';' && !quoted) {
            parts.append(current.trimmed());
            current.clear();
            continue;
        }
        current.append(c);
    }
    parts.append(current.trimmed());
    return parts;
}

QByteArray unquote(const QByteArray &value, bool *wasQuoted = nullptr)
{
    if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"')) {
        if (wasQuoted)
            *wasQuoted = true;
        QByteArray out;
        for (int i = 1; i < value.size() - 1; ++i) {
            if (value.at(i) == '\\' && i + 1 < value.size() - 1)
                ++i;
            out.append(value.at(i));
        }
        return out;
    }
    if (wasQuoted)
        *wasQuoted = false;
    return value;
}

QByteArray percentDecode(const QByteArray &text)
{
    return QByteArray::fromPercentEncoding(text);
}

QByteArray toUtf8(const QByteArray &data, const QByteArray &charset)
{
    if (charset.isEmpty())
        return QMailCodec::decode8Bit(data).toUtf8();
    QTextCodec *codec = QTextCodec::codecForName(charset);
    if (!codec)
        return QMailCodec::decode8Bit(data).toUtf8();
    return codec->toUnicode(data).toUtf8();
}

struct RawParameter
{
    QByteArray name;
    QByteArray value;
};

// Joins RFC 2231 continuations ("name*0", "name*1*") and decodes extended
// values ("name*=utf-8''%E2%82%AC") and encoded words into UTF-8.
QList<QMailMessageHeaderField::ParameterType> combineParameters(const QList<RawParameter> &raw)
{
    QList<QMailMessageHeaderField::ParameterType> result;
    QList<QByteArray> order;
    QHash<QByteArray, QMap<int, QPair<QByteArray, bool>>> segments;
    for (const RawParameter &p : raw) {
        QByteArray name = p.name;
        bool extended = false;
        if (name.endsWith('*')) {
            extended = true;
            name.chop(1);
        }
        int index = -1;
        const int star = name.lastIndexOf('*');
        if (star > 0) {
            bool ok = false;
            const int n = name.mid(star + 1).toInt(&ok);
            if (ok && n >= 0) {
                index = n;
                name = name.left(star);
            }
        }
        const QByteArray base = name.toLower();
        if (!segments.contains(base))
            order.append(base);
        auto &map = segments[base];
        const int key = index < 0 ? 0 : index;
        if (!map.contains(key))
            map.insert(key, qMakePair(p.value, extended));
    }
    for (const QByteArray &base : order) {
        const auto &map = segments.value(base);
        QByteArray charset;
        QByteArray bytes;
        bool first = true;
        bool anyExtended = false;
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            QByteArray value = it.value().first;
            if (it.value().second) {
                anyExtended = true;
                if (first) {
                    const int q1 = value.indexOf('\'');
                    const int q2 = q1 >= 0 ? value.indexOf('\'', q1 + 1) : -1;
                    if (q1 >= 0 && q2 >= 0) {
                        charset = value.left(q1);
                        value = value.mid(q2 + 1);
                    }
                }
                bytes.append(percentDecode(value));
            } else {
                bytes.append(value);
            }
            first = false;
        }
        if (anyExtended)
            bytes = toUtf8(bytes, charset);
        else if (bytes.contains("=?"))
            bytes = QMailCodec::decodeHeaderText(bytes).toUtf8();
        else
            bytes = QMailCodec::decode8Bit(bytes).toUtf8();
        result.append(qMakePair(base, bytes));
    }
    return result;
}

QMailMessageBody::TransferEncoding encodingFromText(const QByteArray &text)
{
    const QByteArray value = text.trimmed().toLower();
    if (value == "7bit")
        return QMailMessageBody::SevenBit;
    if (value == "8bit")
        return QMailMessageBody::EightBit;
    if (value == "base64")
        return QMailMessageBody::Base64;
    if (value == "quoted-printable")
        return QMailMessageBody::QuotedPrintable;
    if (value == "binary")
        return QMailMessageBody::Binary;
    return QMailMessageBody::NoEncoding;
}

QMailMessageMetaDataFwd::ContentType contentKind(const QByteArray &type, const QByteArray &subType)
{
    using M = QMailMessageMetaDataFwd;
    if (type == "text") {
        if (subType == "plain")
            return M::PlainTextContent;
        if (subType == "html")
            return M::HtmlContent;
        if (subType == "richtext" || subType == "enriched")
            return M::RichTextContent;
        if (subType == "x-vcard" || subType == "vcard" || subType == "directory")
            return M::VCardContent;
        if (subType == "x-vcalendar")
            return M::VCalendarContent;
        if (subType == "calendar")
            return M::ICalendarContent;
        return M::PlainTextContent;
    }
    if (type == "multipart") {
        if (subType == "report")
            return M::DeliveryReportContent;
        if (subType == "voice-message")
            return M::VoicemailContent;
        return M::MultipartContent;
    }
    if (type == "image")
        return M::ImageContent;
    if (type == "audio")
        return M::AudioContent;
    if (type == "video")
        return M::VideoContent;
    if (type == "application" && subType == "smil")
        return M::SmilContent;
    if (type == "message" && subType == "delivery-status")
        return M::DeliveryReportContent;
    return M::UserContent;
}

bool containsAttachment(const QMailMessagePartContainer &container)
{
    for (int i = 0; i < container.partCount(); ++i) {
        const QMailMessagePart &part = container.partAt(i);
        if (part.partCount() > 0) {
            if (containsAttachment(part))
                return true;
            continue;
        }
        const QMailMessageContentDisposition disposition = part.contentDisposition();
        if (disposition.type() == QMailMessageContentDisposition::Attachment)
            return true;
        if (disposition.isNull() && !part.contentType().name().isEmpty())
            return true;
    }
    return false;
}

QList<QMailAddress> addressesOf(const QByteArray &raw)
{
    QList<QMailAddress> result;
    if (raw.trimmed().isEmpty())
        return result;
    KMime::Headers::To field;
    const QString text = QMailCodec::decode8Bit(raw);
    // KMime reads raw 8-bit header text as Latin-1; UTF-8 is far more common.
    if (text.size() != raw.size())
        field.fromUnicodeString(text, "utf-8");
    else
        field.from7BitString(raw);
    const auto mailboxes = field.mailboxes();
    for (const KMime::Types::Mailbox &mailbox : mailboxes)
        result.append(QMailAddress(mailbox.name(), QString::fromUtf8(mailbox.address())));
    if (result.isEmpty()) {
        // KMime gives up on some malformed lists that our own reader accepts.
        result = QMailAddress::fromStringList(QMailCodec::decode8Bit(QMailCodec::unfold(raw)));
    }
    return result;
}

} // namespace

// Header fields

QMailMessageHeaderField::QMailMessageHeaderField(const QByteArray &id, const QByteArray &text)
    : m_null(false)
    , m_id(id)
    , m_raw(text)
{
    const QList<QByteArray> pieces = splitParameters(QMailCodec::unfold(text).trimmed());
    m_content = pieces.value(0).trimmed();
    QList<RawParameter> raw;
    for (int i = 1; i < pieces.size(); ++i) {
        const QByteArray &piece = pieces.at(i);
        if (piece.isEmpty())
            continue;
        const int eq = piece.indexOf('=');
        if (eq <= 0)
            continue;
        raw.append({ piece.left(eq).trimmed(), unquote(piece.mid(eq + 1).trimmed()) });
    }
    m_parameters = combineParameters(raw);
}

QByteArray QMailMessageHeaderField::parameter(const QByteArray &name) const
{
    for (const ParameterType &p : m_parameters) {
        if (qstricmp(p.first.constData(), name.constData()) == 0)
            return p.second;
    }
    return QByteArray();
}

bool QMailMessageHeaderField::hasParameter(const QByteArray &name) const
{
    for (const ParameterType &p : m_parameters) {
        if (qstricmp(p.first.constData(), name.constData()) == 0)
            return true;
    }
    return false;
}

QByteArray QMailMessageHeaderField::toString(bool includeName, bool presentable) const
{
    if (m_null)
        return QByteArray();
    QByteArray text;
    if (presentable) {
        text = m_content.contains("=?") ? QMailCodec::decodeHeaderText(m_content).toUtf8()
                                        : m_content;
        for (const ParameterType &p : m_parameters) {
            text.append("; ");
            text.append(p.first);
            text.append('=');
            bool plain = !p.second.isEmpty();
            for (char c : p.second) {
                if (static_cast<unsigned char>(c) <= ' ' || strchr("()<>@,;:\\\"/[]?=", c)) {
                    plain = false;
                    break;
                }
            }
            if (plain) {
                text.append(p.second);
            } else {
                QByteArray quoted = p.second;
                quoted.replace('\\', "\\\\");
                quoted.replace('"', "\\\"");
                text.append('"');
                text.append(quoted);
                text.append('"');
            }
        }
    } else {
        text = QMailCodec::unfold(m_raw).trimmed();
    }
    if (includeName)
        return m_id + ": " + text;
    return text;
}

QString QMailMessageHeaderField::decodedContent() const
{
    return QMailCodec::decodeHeaderText(QMailCodec::unfold(m_raw));
}

bool QMailMessageHeaderField::operator==(const QMailMessageHeaderField &other) const
{
    return m_null == other.m_null && qstricmp(m_id.constData(), other.m_id.constData()) == 0
        && m_raw == other.m_raw;
}

QMailMessageContentType::QMailMessageContentType(const QByteArray &text)
    : QMailMessageHeaderField("Content-Type", text)
{ }

QMailMessageContentType::QMailMessageContentType(const QMailMessageHeaderField &field)
    : QMailMessageHeaderField(field)
{ }

QByteArray QMailMessageContentType::type() const
{
    const QByteArray value = content().toLower();
    const int slash = value.indexOf('/');
    return (slash < 0 ? value : value.left(slash)).trimmed();
}

QByteArray QMailMessageContentType::subType() const
{
    const QByteArray value = content().toLower();
    const int slash = value.indexOf('/');
    return slash < 0 ? QByteArray() : value.mid(slash + 1).trimmed();
}

QMailMessageContentDisposition::QMailMessageContentDisposition(const QByteArray &text)
    : QMailMessageHeaderField("Content-Disposition", text)
{ }

QMailMessageContentDisposition::QMailMessageContentDisposition(const QMailMessageHeaderField &field)
    : QMailMessageHeaderField(field)
{ }

QMailMessageContentDisposition::DispositionType QMailMessageContentDisposition::type() const
{
    const QByteArray value = content().trimmed().toLower();
    if (value == "attachment")
        return Attachment;
    if (value == "inline")
        return Inline;
    return None;
}

int QMailMessageContentDisposition::size() const
{
    if (!hasParameter("size"))
        return -1;
    bool ok = false;
    const int value = parameter("size").trimmed().toInt(&ok);
    return ok && value >= 0 ? value : -1;
}

static QMailTimeStamp dateParameter(const QMailMessageContentDisposition &field, const char *name)
{
    if (!field.hasParameter(name))
        return QMailTimeStamp();
    return QMailTimeStamp(QString::fromUtf8(field.parameter(name)));
}

QMailTimeStamp QMailMessageContentDisposition::creationDate() const
{
    return dateParameter(*this, "creation-date");
}

QMailTimeStamp QMailMessageContentDisposition::modificationDate() const
{
    return dateParameter(*this, "modification-date");
}

QMailTimeStamp QMailMessageContentDisposition::readDate() const
{
    return dateParameter(*this, "read-date");
}

// Bodies

QMailMessageBody::QMailMessageBody(const QByteArray &encoded, TransferEncoding encoding)
    : m_encoded(encoded)
    , m_encoding(encoding)
{ }

QByteArray QMailMessageBody::data(EncodingFormat format) const
{
    if (format == Encoded)
        return m_encoded;
    switch (m_encoding) {
    case Base64:
        return QByteArray::fromBase64(m_encoded);
    case QuotedPrintable:
        return QMailCodec::decodeQuotedPrintable(m_encoded);
    default:
        return m_encoded;
    }
}

int QMailMessageBody::decodedSize() const
{
    switch (m_encoding) {
    case Base64:
        return QMailCodec::base64DecodedSize(m_encoded);
    case QuotedPrintable:
        return QMailCodec::quotedPrintableDecodedSize(m_encoded);
    default:
        return m_encoded.size();
    }
}

// Part containers

QMailMessagePartContainer::Location::Location(const QString &text)
{
    QString indices = text.trimmed();
    const int dash = indices.indexOf(QLatin1Char('-'));
    if (dash >= 0) {
        bool ok = false;
        const quint64 id = indices.left(dash).toULongLong(&ok);
        if (!ok)
            return;
        m_messageId = QMailMessageId(id);
        indices = indices.mid(dash + 1);
    }
    if (indices.isEmpty())
        return;
    for (const QString &piece : indices.split(QLatin1Char('.'))) {
        bool ok = false;
        const int index = piece.toInt(&ok);
        if (!ok || index < 1) {
            m_indices.clear();
            return;
        }
        m_indices.append(index);
    }
}

QMailMessagePartContainer::Location::Location(const QMailMessageId &messageId,
                                              const QList<int> &indices)
    : m_messageId(messageId)
    , m_indices(indices)
{ }

bool QMailMessagePartContainer::Location::isValid(bool extended) const
{
    return !m_indices.isEmpty() && (!extended || m_messageId.isValid());
}

QString QMailMessagePartContainer::Location::toString(bool extended) const
{
    QString text;
    if (extended)
        text = QString::number(m_messageId.toULongLong()) + QLatin1Char('-');
    for (int i = 0; i < m_indices.size(); ++i) {
        if (i)
            text += QLatin1Char('.');
        text += QString::number(m_indices.at(i));
    }
    return text;
}

bool QMailMessagePartContainer::Location::operator==(const Location &other) const
{
    return m_messageId == other.m_messageId && m_indices == other.m_indices;
}

QMailMessagePartContainer::QMailMessagePartContainer()
    : d(new QMailMessagePartContainerPrivate)
{ }

QMailMessagePartContainer::QMailMessagePartContainer(const QMailMessagePartContainer &other)
    = default;
QMailMessagePartContainer &
QMailMessagePartContainer::operator=(const QMailMessagePartContainer &other)
    = default;
QMailMessagePartContainer::~QMailMessagePartContainer() = default;

int QMailMessagePartContainer::partCount() const
{
    return d->parts.size();
}

const QMailMessagePart &QMailMessagePartContainer::partAt(int index) const
{
    Q_ASSERT(index >= 0 && index < d->parts.size());
    return d->parts.at(index);
}

QMailMessageHeaderField QMailMessagePartContainer::headerField(const QString &name) const
{
    const QByteArray key = name.toLatin1();
    for (const RawHeader &header : d->headers) {
        if (qstricmp(header.first.constData(), key.constData()) == 0)
            return QMailMessageHeaderField(header.first, header.second);
    }
    return QMailMessageHeaderField();
}

QList<QMailMessageHeaderField> QMailMessagePartContainer::headerFields(const QString &name) const
{
    const QByteArray key = name.toLatin1();
    QList<QMailMessageHeaderField> fields;
    for (const RawHeader &header : d->headers) {
        if (qstricmp(header.first.constData(), key.constData()) == 0)
            fields.append(QMailMessageHeaderField(header.first, header.second));
    }
    return fields;
}

QList<QMailMessageHeaderField> QMailMessagePartContainer::headerFields() const
{
    QList<QMailMessageHeaderField> fields;
    for (const RawHeader &header : d->headers)
        fields.append(QMailMessageHeaderField(header.first, header.second));
    return fields;
}

QString QMailMessagePartContainer::headerFieldText(const QString &name) const
{
    const QByteArray raw = findHeader(d->headers, name.toLatin1());
    return QMailCodec::decodeHeaderText(QMailCodec::unfold(raw));
}

QMailMessageContentType QMailMessagePartContainer::contentType() const
{
    return QMailMessageContentType(headerField(QStringLiteral("Content-Type")));
}

QMailMessageBody::TransferEncoding QMailMessagePartContainer::transferEncoding() const
{
    return encodingFromText(findHeader(d->headers, "Content-Transfer-Encoding"));
}

bool QMailMessagePartContainer::hasBody() const
{
    return d->hasBody;
}

QMailMessageBody QMailMessagePartContainer::body() const
{
    return QMailMessageBody(d->body, transferEncoding());
}

void QMailMessagePartContainerPrivate::fill(QMailMessagePartContainer &container,
                                            const QByteArray &entity,
                                            const QMailMessageId &messageId,
                                            const QList<int> &indices, int depth)
{
    QMailMessagePartContainerPrivate *p = of(container);
    p->messageId = messageId;
    p->indices = indices;
    QByteArray body;
    p->headers = parseHead(splitEntity(entity, &body));

    const QList<QByteArray> children = depth < MaximumPartDepth
        ? splitMultipart(body, findHeader(p->headers, "Content-Type"))
        : QList<QByteArray>();
    if (children.isEmpty()) {
        p->hasBody = true;
        p->body = body;
        return;
    }
    p->parts.reserve(children.size());
    for (int i = 0; i < children.size(); ++i) {
        QMailMessagePart part;
        fill(part, children.at(i), messageId, QList<int>(indices) << (i + 1), depth + 1);
        p->parts.append(part);
    }
}

void QMailMessagePartContainerPrivate::stamp(QMailMessagePartContainer &container,
                                             const QMailMessageId &messageId)
{
    QMailMessagePartContainerPrivate *p = of(container);
    p->messageId = messageId;
    for (QMailMessagePart &part : p->parts)
        stamp(part, messageId);
}

// Parts

QMailMessagePart::Location QMailMessagePart::location() const
{
    return Location(d->messageId, d->indices);
}

QMailMessageContentDisposition QMailMessagePart::contentDisposition() const
{
    return QMailMessageContentDisposition(headerField(QStringLiteral("Content-Disposition")));
}

QString QMailMessagePart::contentDescription() const
{
    return headerFieldText(QStringLiteral("Content-Description"));
}

QString QMailMessagePart::contentID() const
{
    QString id
        = QString::fromLatin1(QMailCodec::unfold(findHeader(d->headers, "Content-ID")).trimmed());
    if (id.startsWith(QLatin1Char('<')) && id.endsWith(QLatin1Char('>')))
        id = id.mid(1, id.size() - 2);
    return id;
}

QString QMailMessagePart::contentLocation() const
{
    return headerFieldText(QStringLiteral("Content-Location"));
}

QString QMailMessagePart::displayName() const
{
    QString name = QString::fromUtf8(contentDisposition().filename());
    if (name.isEmpty())
        name = QString::fromUtf8(contentType().name());
    if (name.isEmpty())
        name = contentID();
    return name;
}

// Metadata

const quint64 QMailMessageMetaData::Incoming = Q_UINT64_C(1) << 0;
const quint64 QMailMessageMetaData::Outgoing = Q_UINT64_C(1) << 1;
const quint64 QMailMessageMetaData::Sent = Q_UINT64_C(1) << 2;
const quint64 QMailMessageMetaData::Replied = Q_UINT64_C(1) << 3;
const quint64 QMailMessageMetaData::RepliedAll = Q_UINT64_C(1) << 4;
const quint64 QMailMessageMetaData::Forwarded = Q_UINT64_C(1) << 5;
const quint64 QMailMessageMetaData::ContentAvailable = Q_UINT64_C(1) << 6;
const quint64 QMailMessageMetaData::Read = Q_UINT64_C(1) << 7;
const quint64 QMailMessageMetaData::Removed = Q_UINT64_C(1) << 8;
const quint64 QMailMessageMetaData::ReadElsewhere = Q_UINT64_C(1) << 9;
const quint64 QMailMessageMetaData::New = Q_UINT64_C(1) << 10;
const quint64 QMailMessageMetaData::Trash = Q_UINT64_C(1) << 11;
const quint64 QMailMessageMetaData::PartialContentAvailable = Q_UINT64_C(1) << 12;
const quint64 QMailMessageMetaData::HasAttachments = Q_UINT64_C(1) << 13;
const quint64 QMailMessageMetaData::Draft = Q_UINT64_C(1) << 14;
const quint64 QMailMessageMetaData::Outbox = Q_UINT64_C(1) << 15;
const quint64 QMailMessageMetaData::Junk = Q_UINT64_C(1) << 16;
const quint64 QMailMessageMetaData::Important = Q_UINT64_C(1) << 17;
const quint64 QMailMessageMetaData::LocalOnly = Q_UINT64_C(1) << 18;

QMailMessageMetaData::QMailMessageMetaData(const QMailMessageId &id)
{
    *this = QMailStore::instance()->messageMetaData(id);
}

void QMailMessageMetaData::setStatus(quint64 mask, bool set)
{
    if (set)
        m_status |= mask;
    else
        m_status &= ~mask;
}

bool QMailMessageMetaData::operator==(const QMailMessageMetaData &other) const
{
    return m_id == other.m_id && m_parentFolderId == other.m_parentFolderId
        && m_parentAccountId == other.m_parentAccountId && m_status == other.m_status
        && m_subject == other.m_subject && m_from == other.m_from && m_to == other.m_to
        && m_date == other.m_date && m_receivedDate == other.m_receivedDate
        && m_serverUid == other.m_serverUid && m_size == other.m_size
        && m_content == other.m_content && m_inResponseTo == other.m_inResponseTo
        && m_contentScheme == other.m_contentScheme
        && m_contentIdentifier == other.m_contentIdentifier;
}

// Messages

QMailMessage::QMailMessage(const QMailMessageId &id)
{
    *this = QMailStore::instance()->message(id);
}

QMailMessage QMailMessage::fromRfc2822(const QByteArray &text)
{
    QMailMessage message;
    message.m_rfc2822 = text;
    message.m_contentModified = true;
    message.parseContent(text, true);
    return message;
}

QMailMessage QMailMessage::fromRfc2822File(const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return QMailMessage();
    return fromRfc2822(file.readAll());
}

void QMailMessage::setRfc2822Content(const QByteArray &text)
{
    m_rfc2822 = text;
    m_contentModified = true;
    static_cast<QMailMessagePartContainer &>(*this) = QMailMessagePartContainer();
    parseContent(text, true);
}

QString QMailMessage::messageIdHeader() const
{
    return QString::fromLatin1(QMailCodec::unfold(findHeader(d->headers, "Message-ID")).trimmed());
}

QList<QMailAddress> QMailMessage::cc() const
{
    return addressesOf(findHeader(d->headers, "Cc"));
}

void QMailMessage::parseContent(const QByteArray &text, bool deriveMetaData)
{
    if (text.isEmpty())
        return;
    // The parts are split on line-feed text; CRLF files are common in mail
    // folders.
    const QByteArray lf = text.contains('\r') ? KMime::CRLFtoLF(text) : text;
    QMailMessagePartContainerPrivate::fill(*this, lf, id(), QList<int>(), 0);
    if (!deriveMetaData)
        return;

    const QList<RawHeader> &headers = d->headers;
    setSubject(QMailCodec::decodeHeaderText(QMailCodec::unfold(findHeader(headers, "Subject"))));
    const QList<QMailAddress> from = addressesOf(findHeader(headers, "From"));
    setFrom(from.value(0));
    setTo(addressesOf(findHeader(headers, "To")));
    const QByteArray date = QMailCodec::unfold(findHeader(headers, "Date"));
    setDate(date.isEmpty() ? QMailTimeStamp() : QMailTimeStamp(QString::fromLatin1(date)));
    setSize(uint(text.size()));

    if (!hasHeader(headers, "Content-Type")) {
        setContent(QMailMessageMetaDataFwd::PlainTextContent);
    } else {
        const QMailMessageContentType type = contentType();
        setContent(contentKind(type.type(), type.subType()));
    }
    setStatus(HasAttachments, containsAttachment(*this));
}

void QMailMessage::stampPartLocations()
{
    QMailMessagePartContainerPrivate::stamp(*this, id());
}
