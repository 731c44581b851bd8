#include "trackerindexer.h"

#include "iriauthority.h"
#include "logcategories.h"

#include <qmailstore.h>
#include <qsparqlconnection.h>
#include <qsparqlquery.h>
#include <qsparqlresult.h>

#include <QStandardPaths>
#include <QtDebug>

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

// The removal queries are kept for the life of the process and rebound on
// every call; only the IRI changes between calls.
QString renderRemoval(QSparqlQuery &query, const QUrl &iri)
{
    query.unbindValues();
    query.bindValue(QStringLiteral("oiri"), iri);
    return query.preparedQueryText();
}

const QString removalTemplate = QStringLiteral("DELETE { ?:oiri a rdfs:Resource } ");

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
        if (disposition.creationDate().isValid()) {
            text += QStringLiteral("   nfo:fileCreated ?:created ;\n"
                                   "   nie:created ?:created ;\n");
        }
        if (disposition.modificationDate().isValid()) {
            text += QStringLiteral("   nfo:fileLastModified ?:modified ;\n");
        }
        if (disposition.readDate().isValid()) {
            text += QStringLiteral("   nie:lastRefreshed ?:lastRefreshed ;\n");
        }
    }
    if (!typeField.isNull()) {
        text += QStringLiteral("   nfo:fileName ?:filename ;\n"
                               "   nmo:charSet ?:charSet ;\n");
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
        query.bindValue(QStringLiteral("size"), disposition.size());
        query.bindValue(QStringLiteral("disposition"), dispositionField.toString(false, true));
        query.bindValue(QStringLiteral("created"), disposition.creationDate().toLocalTime());
        query.bindValue(QStringLiteral("modified"), disposition.modificationDate().toLocalTime());
        query.bindValue(QStringLiteral("lastRefreshed"), disposition.readDate().toLocalTime());
    }
    if (!typeField.isNull()) {
        const QMailMessageContentType contentType = part.contentType();
        query.bindValue(QStringLiteral("filename"), parameterText(contentType.name()));
        query.bindValue(QStringLiteral("charSet"), parameterText(contentType.charset()));
    }
    return query.preparedQueryText();
}

// Appends the insertion of the object the store holds under id, or warns
// that the store does not hold it.
template<typename Object, typename Id>
void appendInsertion(QString &batch, const Id &id, QString (*statement)(const Object &),
                     const char *notFound)
{
    const Object object(id);
    if (object.id().isValid()) {
        batch += statement(object) + QLatin1Char('\n');
    } else {
        qWarning() << "Object with id" << id << notFound;
    }
}

const char notFoundForAdding[] = "is not found for adding";
const char notFoundForUpdating[] = "is not found for updating";

} // namespace

TrackerIndexer::TrackerIndexer(QObject *parent)
    : QObject(parent)
    , connection(nullptr)
    , ready(false)
{
    QSparqlConnectionOptions options;
    options.setDataPath(databasePath());
    options.setBusName(busName());
    connection = new QSparqlConnection(QStringLiteral("QTRACKER_DIRECT"), options, this);
    if (connection->isValid()) {
        qMailLog(Indexer) << "TrackerIndexer is created.";
        ready = true;
    } else {
        qCritical("Unable to establish SPARQL connection");
    }
}

TrackerIndexer::~TrackerIndexer() = default;

QString TrackerIndexer::databasePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/postvane/tracker");
}

QString TrackerIndexer::busName()
{
    return QStringLiteral("com.brenmor.Postvane.Tracker");
}

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
    QSparqlQuery query(QStringLiteral("DELETE {?:miri a rdfs:Resource }\n"
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
    query.bindValue(QStringLiteral("address"), QUrl(QStringLiteral("mailto:") + address.address()));
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
    for (const QMailAddress &recipient : recipients) {
        text += contactStatement(recipient, QStringLiteral("nmo:to"));
    }
    if (!message.date().isNull()) {
        text += QStringLiteral("   nmo:sentDate ?:sentDate ;\n");
    }
    if (message.inResponseTo().isValid()) {
        text += QStringLiteral("   nmo:inReplyTo ?:inReplyTo ;\n");
    }
    if (!message.receivedDate().isNull()) {
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
    query.bindValue(QStringLiteral("sentDate"), message.date().toLocalTime());
    query.bindValue(QStringLiteral("receivedDate"), message.receivedDate().toLocalTime());
    query.bindValue(QStringLiteral("inReplyTo"), message.inResponseTo().toULongLong());

    QStringList parts;
    for (int i = 0; i < message.partCount(); ++i) {
        const QMailMessagePart &part = message.partAt(i);
        if (part.contentDisposition().type() == QMailMessageContentDisposition::Attachment) {
            parts.append(attachmentStatement(part, contUri, miri));
        }
    }
    return query.preparedQueryText() + parts.join(QLatin1Char('\n'));
}

void TrackerIndexer::addAccounts(const QMailAccountIdList &ids)
{
    qMailLog(Indexer) << "void TrackerIndexer::addAccounts(const QMailAccountIdList&)"
                      << "count=" << ids.count();
    QString batch;
    for (const QMailAccountId &id : ids) {
        appendInsertion<QMailAccount>(batch, id, &accountInsertStatement, notFoundForAdding);
    }
    executeQuery(batch);
}

void TrackerIndexer::updateAccounts(const QMailAccountIdList &ids)
{
    qMailLog(Indexer) << "void TrackerIndexer::updateAccounts(const QMailAccountIdList&)"
                      << "count=" << ids.count();
    // Only the from-address, name and signature reach Tracker; an update that
    // changes none of them is not worth a request.
    QMailAccountIdList changed;
    for (const QMailAccountId &id : ids) {
        const QMailAccount account(id);
        if (!account.id().isValid()) {
            continue;
        }
        const auto cached = accountCache.constFind(id);
        if (cached != accountCache.constEnd() && cached->fromAddress() == account.fromAddress()
            && cached->name() == account.name() && cached->signature() == account.signature()) {
            continue;
        }
        accountCache.insert(id, account);
        changed.append(id);
    }
    if (changed.isEmpty()) {
        return;
    }
    QString batch;
    for (const QMailAccountId &id : qAsConst(changed)) {
        batch += accountDeleteStatement(id) + QLatin1Char('\n');
        appendInsertion<QMailAccount>(batch, id, &accountInsertStatement, notFoundForUpdating);
    }
    executeQuery(batch);
}

void TrackerIndexer::removeAccounts(const QMailAccountIdList &ids)
{
    qMailLog(Indexer) << "void TrackerIndexer::removeAccounts(const QMailAccountIdList&)"
                      << "count=" << ids.count();
    QString batch;
    for (const QMailAccountId &id : ids) {
        batch += accountDeleteStatement(id) + QLatin1Char('\n');
    }
    executeQuery(batch);
}

void TrackerIndexer::addFolders(const QMailFolderIdList &ids)
{
    qMailLog(Indexer) << "void TrackerIndexer::addFolders(const QMailFolderIdList&)"
                      << "count=" << ids.count();
    QString batch;
    for (const QMailFolderId &id : ids) {
        appendInsertion<QMailFolder>(batch, id, &folderInsertStatement, notFoundForAdding);
    }
    executeQuery(batch);
}

void TrackerIndexer::updateFolders(const QMailFolderIdList &ids)
{
    qMailLog(Indexer) << "void TrackerIndexer::updateFolders(const QMailFolderIdList&)"
                      << "count=" << ids.count();
    QString batch;
    for (const QMailFolderId &id : ids) {
        batch += folderDeleteStatement(id) + QLatin1Char('\n');
        appendInsertion<QMailFolder>(batch, id, &folderInsertStatement, notFoundForUpdating);
    }
    executeQuery(batch);
}

void TrackerIndexer::removeFolders(const QMailFolderIdList &ids)
{
    qMailLog(Indexer) << "void TrackerIndexer::removeFolders(const QMailFolderIdList&)"
                      << "count=" << ids.count();
    QString batch;
    for (const QMailFolderId &id : ids) {
        batch += folderDeleteStatement(id) + QLatin1Char('\n');
    }
    executeQuery(batch);
}

void TrackerIndexer::addMessages(const QMailMessageIdList &ids)
{
    qMailLog(Indexer) << "void TrackerIndexer::addMessages(const QMailMessageIdList&)"
                      << "count=" << ids.count();
    QString batch;
    for (const QMailMessageId &id : ids) {
        appendInsertion<QMailMessage>(batch, id, &messageInsertStatement, notFoundForAdding);
    }
    executeQuery(batch);
}

void TrackerIndexer::updateMessages(const QMailMessageIdList &ids)
{
    qMailLog(Indexer) << "void TrackerIndexer::updateMessages(const QMailMessageIdList&)"
                      << "count=" << ids.count();
    QString batch;
    for (const QMailMessageId &id : ids) {
        batch += messageDeleteStatement(id) + QLatin1Char('\n');
        appendInsertion<QMailMessage>(batch, id, &messageInsertStatement, notFoundForUpdating);
    }
    executeQuery(batch);
}

void TrackerIndexer::removeMessages(const QMailMessageIdList &ids)
{
    qMailLog(Indexer) << "void TrackerIndexer::removeMessages(const QMailMessageIdList&)"
                      << "count=" << ids.count();
    QString batch;
    for (const QMailMessageId &id : ids) {
        batch += messageDeleteStatement(id) + QLatin1Char('\n');
    }
    executeQuery(batch);
}

void TrackerIndexer::executeQuery(const QString &query)
{
    qMailLog(Indexer) << "TrackerIndexer::executeQuery";
    if (qmf_isCategoryEnabled(qmf_logFlag_Queries(), "Queries")) {
        const QStringList lines = query.split(QLatin1Char('\n'), Qt::KeepEmptyParts);
        for (const QString &line : lines) {
            qMailLog(Queries) << line;
        }
    }
    queryQueue.append(query);
    if (queryQueue.size() == 1) {
        startNextQuery();
    }
}

void TrackerIndexer::startNextQuery()
{
    if (queryQueue.isEmpty()) {
        qMailLog(Indexer) << "No more queries to execute";
        return;
    }
    qMailLog(Indexer) << "TrackerIndexer: starting next query";
    // One update request per batch, whatever mix of removals and insertions
    // it holds.
    const QSparqlQuery query(queryQueue.first(), QSparqlQuery::InsertStatement);
    QSparqlResult *result = connection->exec(query);
    connect(result, SIGNAL(finished()), this, SLOT(onQueryExecuted()));
}

void TrackerIndexer::onQueryExecuted()
{
    QSparqlResult *result = static_cast<QSparqlResult *>(sender());
    if (result->hasError()) {
        qWarning() << "TrackerIndexer: Unable to execute query" << result->lastError().message();
    } else {
        qMailLog(Indexer) << "TrackerIndexer: query executed successfully";
    }
    result->deleteLater();
    queryQueue.removeFirst();
    startNextQuery();
}
