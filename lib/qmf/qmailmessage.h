#ifndef QMAILMESSAGE_H
#define QMAILMESSAGE_H

#include "qmailaddress.h"
#include "qmailid.h"
#include "qmailmessagefwd.h"
#include "qmailtimestamp.h"

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QPair>
#include <QSharedDataPointer>
#include <QString>

// One header field, "Name: content; param=value; ...". A field the message
// does not carry is null.
class QMailMessageHeaderField
{
public:
    typedef QPair<QByteArray, QByteArray> ParameterType;

    QMailMessageHeaderField() = default;
    // `text` is the raw field body (after "Name:"), possibly folded.
    QMailMessageHeaderField(const QByteArray &id, const QByteArray &text);

    bool isNull() const { return m_null; }

    QByteArray id() const { return m_id; }
    // The part before the first parameter, e.g. "attachment" or "text/plain".
    QByteArray content() const { return m_content; }
    // A parameter's value, unquoted, with RFC 2231 continuations joined; the
    // name is matched case-insensitively. Empty when absent.
    QByteArray parameter(const QByteArray &name) const;
    bool hasParameter(const QByteArray &name) const;
    QList<ParameterType> parameters() const { return m_parameters; }

    // "Name: content; a=b" (includeName) or "content; a=b". Presentable text
    // is rebuilt from the parsed parts with encoded words and RFC 2231
    // parameters decoded; otherwise the field's own text, unfolded.
    QByteArray toString(bool includeName = true, bool presentable = true) const;
    // The whole field body with encoded words decoded.
    QString decodedContent() const;

    bool operator==(const QMailMessageHeaderField &other) const;

private:
    bool m_null = true;
    QByteArray m_id;
    QByteArray m_raw;
    QByteArray m_content;
    QList<ParameterType> m_parameters;
};

class QMailMessageContentType : public QMailMessageHeaderField
{
public:
    QMailMessageContentType() = default;
    explicit QMailMessageContentType(const QByteArray &text);
    explicit QMailMessageContentType(const QMailMessageHeaderField &field);

    // Lower-case major and minor type, e.g. "multipart" and "mixed".
    QByteArray type() const;
    QByteArray subType() const;
    // The "name" parameter (the file name of an attachment, as mail clients write it).
    QByteArray name() const { return parameter("name"); }
    QByteArray charset() const { return parameter("charset"); }
    QByteArray boundary() const { return parameter("boundary"); }
};

class QMailMessageContentDisposition : public QMailMessageHeaderField,
                                       public QMailMessageContentDispositionFwd
{
public:
    QMailMessageContentDisposition() = default;
    explicit QMailMessageContentDisposition(const QByteArray &text);
    explicit QMailMessageContentDisposition(const QMailMessageHeaderField &field);

    DispositionType type() const;
    QByteArray filename() const { return parameter("filename"); }
    // The "size" parameter; -1 when absent or not a number.
    int size() const;
    // The RFC 2183 date parameters; null when absent.
    QMailTimeStamp creationDate() const;
    QMailTimeStamp modificationDate() const;
    QMailTimeStamp readDate() const;
};

class QMailMessageBody : public QMailMessageBodyFwd
{
public:
    QMailMessageBody() = default;
    QMailMessageBody(const QByteArray &encoded, TransferEncoding encoding);

    TransferEncoding transferEncoding() const { return m_encoding; }
    // The body as sent, or with its transfer encoding undone.
    QByteArray data(EncodingFormat format) const;
    // The size of data(Decoded), told without decoding.
    int decodedSize() const;
    bool isEmpty() const { return m_encoded.isEmpty(); }

private:
    QByteArray m_encoded;
    TransferEncoding m_encoding = NoEncoding;
};

class QMailMessagePart;
class QMailMessagePartContainerPrivate;

// What messages and parts have in common: header fields, a body or sub-parts.
class QMailMessagePartContainer
{
public:
    // Where a part sits: the message's id and the 1-based index of the part
    // at each level, e.g. "12-2.1" (extended) or "2.1".
    class Location
    {
    public:
        Location() = default;
        // Parses either form.
        explicit Location(const QString &text);
        Location(const QMailMessageId &messageId, const QList<int> &indices);

        bool isValid(bool extended = true) const;
        QMailMessageId containingMessageId() const { return m_messageId; }
        void setContainingMessageId(const QMailMessageId &id) { m_messageId = id; }
        QList<int> indices() const { return m_indices; }
        QString toString(bool extended) const;

        bool operator==(const Location &other) const;

    private:
        QMailMessageId m_messageId;
        QList<int> m_indices;
    };

    QMailMessagePartContainer();
    QMailMessagePartContainer(const QMailMessagePartContainer &other);
    QMailMessagePartContainer &operator=(const QMailMessagePartContainer &other);
    ~QMailMessagePartContainer();

    // The parts one level down; a single-part entity has none.
    int partCount() const;
    const QMailMessagePart &partAt(int index) const;

    // Null when the entity has no such field; the first of several wins.
    QMailMessageHeaderField headerField(const QString &name) const;
    QList<QMailMessageHeaderField> headerFields(const QString &name) const;
    QList<QMailMessageHeaderField> headerFields() const;
    // The decoded text of a field; empty when absent.
    QString headerFieldText(const QString &name) const;

    QMailMessageContentType contentType() const;
    QMailMessageBody::TransferEncoding transferEncoding() const;

    bool hasBody() const;
    QMailMessageBody body() const;

protected:
    QSharedDataPointer<QMailMessagePartContainerPrivate> d;

    friend class QMailMessagePartContainerPrivate;
};

class QMailMessagePart : public QMailMessagePartContainer
{
public:
    QMailMessagePart() = default;

    Location location() const;

    // Null when the part carries no Content-Disposition.
    QMailMessageContentDisposition contentDisposition() const;
    QString contentDescription() const;
    // Without its angle brackets.
    QString contentID() const;
    QString contentLocation() const;
    // The file name the part would be saved as: the disposition's filename,
    // the content type's name, or the content id.
    QString displayName() const;
};

// The properties the store keeps for each message, without its content.
class QMailMessageMetaData : public QMailMessageMetaDataFwd
{
public:
    // Status flags.
    static const quint64 Incoming;
    static const quint64 Outgoing;
    static const quint64 Sent;
    static const quint64 Replied;
    static const quint64 RepliedAll;
    static const quint64 Forwarded;
    static const quint64 ContentAvailable;
    static const quint64 Read;
    static const quint64 Removed;
    static const quint64 ReadElsewhere;
    static const quint64 New;
    static const quint64 Trash;
    static const quint64 PartialContentAvailable;
    static const quint64 HasAttachments;
    static const quint64 Draft;
    static const quint64 Outbox;
    static const quint64 Junk;
    static const quint64 Important;
    static const quint64 LocalOnly;

    QMailMessageMetaData() = default;
    // Loads from the store; an id the store does not hold gives empty metadata.
    explicit QMailMessageMetaData(const QMailMessageId &id);

    QMailMessageId id() const { return m_id; }
    void setId(const QMailMessageId &id) { m_id = id; }

    QMailFolderId parentFolderId() const { return m_parentFolderId; }
    void setParentFolderId(const QMailFolderId &id) { m_parentFolderId = id; }
    QMailAccountId parentAccountId() const { return m_parentAccountId; }
    void setParentAccountId(const QMailAccountId &id) { m_parentAccountId = id; }

    quint64 status() const { return m_status; }
    void setStatus(quint64 status) { m_status = status; }
    void setStatus(quint64 mask, bool set);

    QString subject() const { return m_subject; }
    void setSubject(const QString &subject) { m_subject = subject; }

    QMailAddress from() const { return m_from; }
    void setFrom(const QMailAddress &from) { m_from = from; }

    QList<QMailAddress> to() const { return m_to; }
    void setTo(const QList<QMailAddress> &to) { m_to = to; }
    void setTo(const QMailAddress &to) { m_to = QList<QMailAddress>() << to; }

    // The Date header: when the message was written.
    QMailTimeStamp date() const { return m_date; }
    void setDate(const QMailTimeStamp &date) { m_date = date; }
    // When this system received it.
    QMailTimeStamp receivedDate() const { return m_receivedDate; }
    void setReceivedDate(const QMailTimeStamp &date) { m_receivedDate = date; }

    // The message's identifier on its server (IMAP uid, Maildir name, ...).
    QString serverUid() const { return m_serverUid; }
    void setServerUid(const QString &uid) { m_serverUid = uid; }

    // Bytes of the complete RFC 822 text.
    uint size() const { return m_size; }
    void setSize(uint size) { m_size = size; }

    ContentType content() const { return m_content; }
    void setContent(ContentType type) { m_content = type; }

    // The message this one answers.
    QMailMessageId inResponseTo() const { return m_inResponseTo; }
    void setInResponseTo(const QMailMessageId &id) { m_inResponseTo = id; }

    // Where the store keeps the message's RFC 822 text: the scheme names the
    // storage, the identifier the file within it.
    QString contentScheme() const { return m_contentScheme; }
    void setContentScheme(const QString &scheme) { m_contentScheme = scheme; }
    QString contentIdentifier() const { return m_contentIdentifier; }
    void setContentIdentifier(const QString &identifier) { m_contentIdentifier = identifier; }

    bool operator==(const QMailMessageMetaData &other) const;
    bool operator!=(const QMailMessageMetaData &other) const { return !(*this == other); }

private:
    QMailMessageId m_id;
    QMailFolderId m_parentFolderId;
    QMailAccountId m_parentAccountId;
    quint64 m_status = 0;
    QString m_subject;
    QMailAddress m_from;
    QList<QMailAddress> m_to;
    QMailTimeStamp m_date;
    QMailTimeStamp m_receivedDate;
    QString m_serverUid;
    uint m_size = 0;
    ContentType m_content = UnknownContent;
    QMailMessageId m_inResponseTo;
    QString m_contentScheme;
    QString m_contentIdentifier;
};

// A message with its content: the metadata plus the parsed RFC 822 text.
class QMailMessage : public QMailMessageMetaData, public QMailMessagePartContainer
{
public:
    QMailMessage() = default;
    // Loads the metadata and parses the stored content. An id the store does
    // not hold gives a message whose own id() is invalid; a message whose
    // content file is gone keeps its metadata and has no parts.
    explicit QMailMessage(const QMailMessageId &id);

    // A new message from RFC 822 text: the metadata (subject, from, to, date,
    // size, content kind, attachment flag) is taken from the text. Malformed
    // or truncated text yields whatever can be parsed.
    static QMailMessage fromRfc2822(const QByteArray &text);
    // The same from a file; an unreadable file gives a message without content.
    static QMailMessage fromRfc2822File(const QString &fileName);

    // The RFC 822 text the message holds; empty when none was loaded.
    QByteArray toRfc2822() const { return m_rfc2822; }
    bool hasRfc2822Content() const { return !m_rfc2822.isEmpty(); }
    // Replaces the content; the metadata taken from text is updated too.
    void setRfc2822Content(const QByteArray &text);

    // Header fields of the message itself.
    QString messageIdHeader() const;
    QList<QMailAddress> cc() const;

private:
    void parseContent(const QByteArray &text, bool deriveMetaData);
    // Parts learn their message's id once the store has assigned it.
    void stampPartLocations();

    QByteArray m_rfc2822;
    // Set when the text came from the writer rather than from the store, so
    // that saving the message writes a new content file.
    bool m_contentModified = false;

    friend class QMailStorePrivate;
};

Q_DECLARE_METATYPE(QMailMessageMetaData)
Q_DECLARE_METATYPE(QMailMessage)

#endif // QMAILMESSAGE_H
