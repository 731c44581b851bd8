// Statement rendering: the SPARQL Update texts of accounts, folders,
// messages and their attachments.

#include "trackerindexer.h"

#include "iriauthority.h"

#include <qsparqlquery.h>

#include <QHash>
#include <QTimeZone>

#include <ctime>

namespace {

QUrl resourceIri(const char *path, quint64 key)
{
    return QUrl(QStringLiteral("qmf://") + iriAuthority() + QLatin1String(path)
                + QString::number(key, 10));
}

const QMap<int, QString> &mimeTypeMap()
{
    static const QMap<int, QString> map = {
        { 0, QStringLiteral("message/rfc822") },
        { 1, QStringLiteral("message/rfc822") },
        { 2, QStringLiteral("text/plain") },
        { 3, QStringLiteral("text/richtext") },
        { 4, QStringLiteral("text/html") },
        { 5, QStringLiteral("message/rfc822") },
        { 6, QStringLiteral("message/rfc822") },
        { 7, QStringLiteral("message/rfc822") },
        { 8, QStringLiteral("multipart/mixed") },
        { 9, QStringLiteral("application/smil") },
        { 10, QStringLiteral("multipart/voice-message") },
        { 11, QStringLiteral("message/rfc822") },
        { 12, QStringLiteral("text/x-vcard") },
        { 13, QStringLiteral("text/x-vcalendar") },
        { 14, QStringLiteral("text/x-icalendar") },
        { 15, QStringLiteral("message/delivery-status") },
        { 64, QStringLiteral("message/rfc822") },
    };
    return map;
}

QString transferEncodingName(QMailMessageBody::TransferEncoding encoding)
{
    switch (encoding) {
    case QMailMessageBody::SevenBit:
        return QStringLiteral("7bit");
    case QMailMessageBody::EightBit:
        return QStringLiteral("8bit");
    case QMailMessageBody::Base64:
        return QStringLiteral("base64");
    case QMailMessageBody::QuotedPrintable:
        return QStringLiteral("quoted-printable");
    case QMailMessageBody::Binary:
        return QStringLiteral("binary");
    default:
        return QString();
    }
}

// Header parameters are 8-bit text; a NUL ends them.
QString parameterText(const QByteArray &value)
{
    return QString::fromUtf8(value.constData());
}

// The stamp in local time, as a statement writes it: the wall clock and the
// local offset of that instant. Qt asks the C library several times per
// conversion, and each ask has glibc look at the zone file again; one
// localtime_r does not, and the daemon calls tzset() when the zone changes.
// Qt applies no daylight saving before 1970 and guesses after 2037 (and near
// both ends): there Qt's own conversion gives the same text as before.
QDateTime localTime(const QMailTimeStamp &stamp)
{
    const qint64 day = 24 * 3600;
    const qint64 first = 2 * day * 1000;
    const qint64 last = (Q_INT64_C(2145916799) - 2 * day) * 1000; // end of 2037
    const qint64 msecs = stamp.toMSecsSinceEpoch();
    if (!stamp.isValid() || msecs < first || msecs > last) {
        return stamp.toLocalTime();
    }
    const time_t seconds = time_t(msecs / 1000);
    tm local;
    if (!localtime_r(&seconds, &local)) {
        return stamp.toLocalTime();
    }
    // A zone of a fixed offset, so that the value renders as a local one
    // would: with its offset, "+00:00" included, never as UTC.
    thread_local QHash<long, QTimeZone> zones;
    auto zone = zones.find(local.tm_gmtoff);
    if (zone == zones.end()) {
        zone = zones.insert(local.tm_gmtoff, QTimeZone(int(local.tm_gmtoff)));
    }
    if (!zone->isValid()) {
        return stamp.toLocalTime();
    }
    return QDateTime::fromMSecsSinceEpoch(msecs, *zone);
}

// A date Tracker cannot hold (a message "dated" 10000) is left out rather
// than costing the whole batch.
bool isStorable(const QMailTimeStamp &stamp)
{
    return stamp.isValid() && QSparqlQuery::isStorable(localTime(stamp));
}

// "mailto:" and the address, or its whole text when no address could be
// parsed out of it. A text QUrl reads as something else ("//host:port")
// is percent-encoded, so the contact never points at the empty IRI.
QUrl mailtoIri(const QString &address)
{
    const QUrl iri(QStringLiteral("mailto:") + address);
    if (iri.isValid() && !iri.toString().isEmpty()) {
        return iri;
    }
    return QUrl::fromEncoded("mailto:" + QUrl::toPercentEncoding(address, "@"));
}

// An address nothing could be parsed from is known by its text.
QUrl contactAddressIri(const QMailAddress &address)
{
    return mailtoIri(address.address().isEmpty() ? address.name() : address.address());
}

// The removal queries are kept for the life of the process and rebound on
// every call; only the IRI changes between calls.
QString renderRemoval(QSparqlQuery &query, const QUrl &iri)
{
    query.unbindValues();
    query.bindValue(QStringLiteral("oiri"), iri);
    return query.preparedQueryText();
}

const QString removalTemplate = QStringLiteral("DELETE { ?:oiri a rdfs:Resource } ");

// The size the sender gave, else that of the decoded body when the part
// was loaded with it; -1 when neither is known.
int attachmentSize(const QMailMessagePart &part)
{
    const int given = part.contentDisposition().size();
    if (given >= 0 || !part.hasBody()) {
        return given;
    }
    return part.body().decodedSize();
}

QString attachmentStatement(const QMailMessagePart &part, const QUrl &contUri, const QUrl &miri)
{
    const QUrl ptiri(QStringLiteral("qmf://") + iriAuthority() + QStringLiteral("/part#")
                     + part.location().toString(true));
    const QMailMessageHeaderField dispositionField
        = part.headerField(QStringLiteral("Content-Disposition"));
    const QMailMessageHeaderField typeField = part.headerField(QStringLiteral("Content-Type"));
    const QMailMessageContentDisposition disposition = part.contentDisposition();

    QString text = QStringLiteral("INSERT {\n"
                                  "?:ptiri rdf:type nmo:Attachment, nmo:MailboxDataObject ;\n"
                                  "   nie:url ?:url ;\n"
                                  "   nie:dataSource ?:contUri ;\n"
                                  "   nfo:belongsToContainer ?:miri ;\n"
                                  "   nie:isPartOf ?:miri ;\n"
                                  "   nmo:contentDescription ?:contDesc ;\n"
                                  "   nmo:contentTransferEncoding ?:transEnc ;\n");
    if (!dispositionField.isNull()) {
        text += QStringLiteral("   nfo:fileSize ?:size ;\n"
                               "   nmo:contentDisposition ?:disposition ;\n");
        if (isStorable(disposition.creationDate())) {
            text += QStringLiteral("   nfo:fileCreated ?:created ;\n"
                                   "   nie:created ?:created ;\n");
        }
        if (isStorable(disposition.modificationDate())) {
            text += QStringLiteral("   nfo:fileLastModified ?:modified ;\n");
        }
        if (isStorable(disposition.readDate())) {
            text += QStringLiteral("   nie:lastRefreshed ?:lastRefreshed ;\n");
        }
    }
    // The Content-Type's name is the file name; a part named only by its
    // disposition's filename (RFC 2231 forms included) takes that one.
    const QByteArray dispositionName = disposition.filename();
    const bool onlyDispositionName = typeField.isNull() && !dispositionName.isEmpty();
    if (!typeField.isNull()) {
        text += QStringLiteral("   nfo:fileName ?:filename ;\n"
                               "   nmo:charSet ?:charSet ;\n");
    } else if (onlyDispositionName) {
        text += QStringLiteral("   nfo:fileName ?:filename ;\n");
    }
    text += QStringLiteral("   nmo:contentId ?:contentId .\n}");

    QSparqlQuery query(text, QSparqlQuery::InsertStatement);
    query.bindValue(QStringLiteral("ptiri"), ptiri);
    query.bindValue(QStringLiteral("url"), ptiri.toString());
    query.bindValue(QStringLiteral("contUri"), contUri);
    query.bindValue(QStringLiteral("miri"), miri);
    query.bindValue(QStringLiteral("contDesc"), part.contentDescription());
    query.bindValue(QStringLiteral("transEnc"), transferEncodingName(part.transferEncoding()));
    query.bindValue(QStringLiteral("contentId"), part.contentID());
    if (!dispositionField.isNull()) {
        query.bindValue(QStringLiteral("size"), attachmentSize(part));
        query.bindValue(QStringLiteral("disposition"), dispositionField.toString(false, true));
        query.bindValue(QStringLiteral("created"), localTime(disposition.creationDate()));
        query.bindValue(QStringLiteral("modified"), localTime(disposition.modificationDate()));
        query.bindValue(QStringLiteral("lastRefreshed"), localTime(disposition.readDate()));
    }
    if (!typeField.isNull()) {
        const QMailMessageContentType contentType = part.contentType();
        const QByteArray name = contentType.name().isEmpty() ? dispositionName : contentType.name();
        query.bindValue(QStringLiteral("filename"), parameterText(name));
        query.bindValue(QStringLiteral("charSet"), parameterText(contentType.charset()));
    } else if (onlyDispositionName) {
        query.bindValue(QStringLiteral("filename"), parameterText(dispositionName));
    }
    return query.preparedQueryText();
}

// Recipients in the message's own INSERT; more go into INSERTs of five
// times as many.
const int recipientsPerStatement = 100;

} // namespace

QUrl TrackerIndexer::messageIri(const QMailMessageId &id)
{
    return resourceIri("/email#", id.toULongLong());
}

QUrl TrackerIndexer::folderIri(const QMailFolderId &id)
{
    return resourceIri("/folder#", id.toULongLong());
}

QUrl TrackerIndexer::accountIri(const QMailAccountId &id)
{
    return resourceIri("/accounts#", id.toULongLong());
}

QString TrackerIndexer::messageDeleteStatement(const QMailMessageId &id)
{
    // The contacts of the message are its own blank nodes: they go with it.
    QSparqlQuery query(QStringLiteral("DELETE { ?c a rdfs:Resource } WHERE { { ?:miri nmo:from ?c "
                                      "} UNION { ?:miri nmo:to ?c } }\n"
                                      "DELETE {?:miri a rdfs:Resource }\n"
                                      "DELETE { ?s a rdfs:Resource } WHERE { ?s "
                                      "nfo:belongsToContainer ?:miri . }"),
                       QSparqlQuery::DeleteStatement);
    query.bindValue(QStringLiteral("miri"), messageIri(id));
    return query.preparedQueryText();
}

QString TrackerIndexer::contactStatement(const QMailAddress &address, const QString &predicate)
{
    QString text = QStringLiteral("   ") + predicate
        + QStringLiteral(" [\n        rdf:type nco:Contact ; \n");
    if (address.name() != address.address()) {
        text += QStringLiteral("        nco:fullname ?:name ;\n");
    }
    text += QStringLiteral("        nco:hasEmailAddress ?:address ] ;\n");
    QSparqlQuery query(text, QSparqlQuery::InsertStatement);
    query.bindValue(QStringLiteral("name"), address.name());
    query.bindValue(QStringLiteral("address"), contactAddressIri(address));
    return query.preparedQueryText();
}

QString TrackerIndexer::folderInsertStatement(const QMailFolder &folder)
{
    QSparqlQuery query(QStringLiteral("INSERT {\n"
                                      "?:firi rdf:type nmo:MailFolder, nmo:MailboxDataObject ;\n"
                                      "   nmo:folderName ?:fname ;\n"
                                      "   nfo:belongsToContainer ?:piri ;\n"
                                      "   nie:relatedTo ?:airi .\n"
                                      "}"),
                       QSparqlQuery::InsertStatement);
    query.bindValue(QStringLiteral("firi"), folderIri(folder.id()));
    query.bindValue(QStringLiteral("fname"), folder.displayName());
    query.bindValue(QStringLiteral("piri"), folderIri(folder.parentFolderId()));
    query.bindValue(QStringLiteral("airi"), accountIri(folder.parentAccountId()));
    return query.preparedQueryText();
}

QString TrackerIndexer::accountInsertStatement(const QMailAccount &account)
{
    QSparqlQuery query(QStringLiteral("INSERT {\n"
                                      "?:eiri a nco:EmailAddress ;\n"
                                      "   nco:emailAddress ?:addr .\n"
                                      "?:airi rdf:type nmo:MailAccount ;\n"
                                      "   nmo:accountName ?:aname ;\n"
                                      "   nmo:signature ?:sign;"
                                      "   nmo:fromAddress ?:eiri .\n"
                                      "}"),
                       QSparqlQuery::InsertStatement);
    const QString address = account.fromAddress().toString(true);
    query.bindValue(QStringLiteral("eiri"), QUrl(QStringLiteral("mailto:") + address));
    query.bindValue(QStringLiteral("addr"), address);
    query.bindValue(QStringLiteral("airi"), accountIri(account.id()));
    query.bindValue(QStringLiteral("aname"), account.name());
    query.bindValue(QStringLiteral("sign"), account.signature());
    return query.preparedQueryText();
}

QString TrackerIndexer::folderDeleteStatement(const QMailFolderId &id)
{
    static QSparqlQuery query(removalTemplate, QSparqlQuery::DeleteStatement);
    return renderRemoval(query, folderIri(id));
}

QString TrackerIndexer::accountDeleteStatement(const QMailAccountId &id)
{
    static QSparqlQuery query(removalTemplate, QSparqlQuery::DeleteStatement);
    return renderRemoval(query, accountIri(id));
}

QString TrackerIndexer::mimeTypeForContent(int content)
{
    return mimeTypeMap().value(content);
}

QString TrackerIndexer::messageInsertStatement(const QMailMessage &message)
{
    return messageStatements(message).join(QLatin1Char('\n'));
}

QStringList TrackerIndexer::messageStatements(const QMailMessage &message)
{
    const QUrl miri = messageIri(message.id());
    const QUrl piri = folderIri(message.parentFolderId());
    const QUrl airi = accountIri(message.parentAccountId());
    const QUrl contUri(message.contentScheme() + QLatin1Char(':') + message.contentIdentifier());

    QString text = QStringLiteral("INSERT {\n"
                                  "?:miri rdf:type nmo:Email, nmo:MailboxDataObject ;\n"
                                  "   nie:isStoredAs ?:miri ;\n"
                                  "   nie:url ?:url ;\n"
                                  "   nie:dataSource ?:contUri ;\n"
                                  "   nfo:belongsToContainer ?:piri ;\n"
                                  "   nmo:messageSubject ?:subject ;\n"
                                  "   nie:relatedTo ?:airi ;\n"
                                  "   nmo:messageId ?:messageId ;\n"
                                  "   nie:contentSize ?:size ;\n"
                                  "   nie:mimeType ?:mimeType ;\n");
    text += contactStatement(message.from(), QStringLiteral("nmo:from"));
    const QList<QMailAddress> recipients = message.to();
    for (int i = 0; i < recipients.size() && i < recipientsPerStatement; ++i) {
        text += contactStatement(recipients.at(i), QStringLiteral("nmo:to"));
    }
    if (!message.date().isNull() && isStorable(message.date())) {
        text += QStringLiteral("   nmo:sentDate ?:sentDate ;\n");
    }
    if (message.inResponseTo().isValid()) {
        text += QStringLiteral("   nmo:inReplyTo ?:inReplyTo ;\n");
    }
    if (!message.receivedDate().isNull() && isStorable(message.receivedDate())) {
        text += QStringLiteral("   nmo:receivedDate ?:receivedDate ;\n");
    }
    text += QStringLiteral("   nmo:isRead ?:isRead ;\n"
                           "   nmo:isSent ?:isSent ;\n"
                           "   nmo:isDeleted ?:isDeleted ;\n"
                           "   nmo:hasAttachment ?:hasAttachment .\n"
                           "}\n");

    const QMailFolder folder(message.parentFolderId());
    QSparqlQuery query(text, QSparqlQuery::InsertStatement);
    query.bindValue(QStringLiteral("miri"), miri);
    query.bindValue(QStringLiteral("url"), miri.toString());
    query.bindValue(QStringLiteral("contUri"), contUri);
    query.bindValue(QStringLiteral("piri"), piri);
    query.bindValue(QStringLiteral("airi"), airi);
    query.bindValue(QStringLiteral("subject"), message.subject());
    query.bindValue(QStringLiteral("messageId"), message.serverUid());
    query.bindValue(QStringLiteral("size"), message.size());
    query.bindValue(QStringLiteral("mimeType"), mimeTypeForContent(message.content()));
    query.bindValue(QStringLiteral("isRead"), bool(message.status() & QMailMessageMetaData::Read));
    query.bindValue(QStringLiteral("isSent"), bool(folder.status() & QMailFolder::Sent));
    query.bindValue(QStringLiteral("isDeleted"), bool(folder.status() & QMailFolder::Trash));
    query.bindValue(QStringLiteral("hasAttachment"),
                    bool(message.status() & QMailMessageMetaData::HasAttachments));
    query.bindValue(QStringLiteral("sentDate"), localTime(message.date()));
    query.bindValue(QStringLiteral("receivedDate"), localTime(message.receivedDate()));
    query.bindValue(QStringLiteral("inReplyTo"), message.inResponseTo().toULongLong());

    QStringList parts;
    for (int i = 0; i < message.partCount(); ++i) {
        const QMailMessagePart &part = message.partAt(i);
        if (part.contentDisposition().type() == QMailMessageContentDisposition::Attachment) {
            parts.append(attachmentStatement(part, contUri, miri));
        }
    }
    // Tracker checks every value it adds to a property of a resource against
    // all the values the property has: a message's recipients cost time
    // quadratic in their number whatever the statements look like. It costs
    // several times as much when each recipient comes between two of the
    // message's triples, as "nmo:to [ ... ]" has it, since Tracker then reads
    // the message's recipients from its database again every thousand or so.
    // So the recipients beyond the message statement's share follow in
    // statements of a bounded size that create their contacts first and then
    // link them all in one triple.
    QStringList statements(query.preparedQueryText() + parts.join(QLatin1Char('\n')));
    const QString subject = QSparqlQuery::termForValue(miri);
    const int perStatement = recipientsPerStatement * 5;
    for (int first = recipientsPerStatement; first < recipients.size(); first += perStatement) {
        const int end = qMin(first + perStatement, recipients.size());
        QString more = QStringLiteral("INSERT {\n");
        QString links = subject + QStringLiteral(" nmo:to ");
        for (int i = first; i < end; ++i) {
            const QMailAddress &address = recipients.at(i);
            const QString node = QStringLiteral("_:r") + QString::number(i - first);
            more += node + QStringLiteral(" rdf:type nco:Contact ;");
            if (address.name() != address.address()) {
                more += QStringLiteral(" nco:fullname ")
                    + QSparqlQuery::termForValue(address.name()) + QStringLiteral(" ;");
            }
            more += QStringLiteral(" nco:hasEmailAddress ")
                + QSparqlQuery::termForValue(contactAddressIri(address)) + QStringLiteral(" .\n");
            links += (i == first ? QString() : QStringLiteral(", ")) + node;
        }
        statements.append(more + links + QStringLiteral(" .\n}"));
    }
    return statements;
}
