#include "trackerindexer.h"

#include "iriauthority.h"
#include "logcategories.h"

#include <qmailstore.h>
#include <qsparqlconnection.h>
#include <qsparqlquery.h>
#include <qsparqlresult.h>

#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QUuid>
#include <QtDebug>

#include <algorithm>
#include <malloc.h>

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

// A date Tracker cannot hold (a message "dated" 10000) is left out rather
// than costing the whole batch.
bool isStorable(const QMailTimeStamp &stamp)
{
    return stamp.isValid() && QSparqlQuery::isStorable(stamp.toLocalTime());
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
    return part.body().data(QMailMessageBody::Decoded).size();
}

// Whether an attachment of the message has no size of its own, so that its
// body must be read to tell it.
bool needsBodies(const QMailMessage &message)
{
    for (int i = 0; i < message.partCount(); ++i) {
        const QMailMessageContentDisposition disposition = message.partAt(i).contentDisposition();
        if (disposition.type() == QMailMessageContentDisposition::Attachment
            && disposition.size() < 0) {
            return true;
        }
    }
    return false;
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
        query.bindValue(QStringLiteral("created"), disposition.creationDate().toLocalTime());
        query.bindValue(QStringLiteral("modified"), disposition.modificationDate().toLocalTime());
        query.bindValue(QStringLiteral("lastRefreshed"), disposition.readDate().toLocalTime());
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

const char notFoundForAdding[] = "is not found for adding";
const char notFoundForUpdating[] = "is not found for updating";

// A batch holds at most this many objects and, unless one object alone is
// larger, about this much text: Tracker answers each in a fraction of a
// second, and a large import never sits in memory as one text.
const int maximumBatchObjects = 100;
const int maximumBatchText = 1 << 20;

const char *const kindNames[] = { "Accounts", "Folders", "Messages" };
const char *const idListNames[]
    = { "QMailAccountIdList", "QMailFolderIdList", "QMailMessageIdList" };
const char *const changeNames[] = { "add", "update", "remove" };

// Everything the mirror ever wrote, for a store made anew.
const QString clearStatement
    = QStringLiteral("DELETE { ?r a rdfs:Resource } WHERE { ?r a nmo:MailboxDataObject }\n"
                     "DELETE { ?r a rdfs:Resource } WHERE { ?r a nmo:MailAccount }\n"
                     "DELETE { ?r a rdfs:Resource } WHERE { ?r a nco:Contact }\n"
                     "DELETE { ?r a rdfs:Resource } WHERE { ?r a nco:EmailAddress }\n");

QString removalStatement(QMailStore::ObjectKind kind, quint64 id)
{
    switch (kind) {
    case QMailStore::Accounts:
        return TrackerIndexer::accountDeleteStatement(QMailAccountId(id));
    case QMailStore::Folders:
        return TrackerIndexer::folderDeleteStatement(QMailFolderId(id));
    default:
        return TrackerIndexer::messageDeleteStatement(QMailMessageId(id));
    }
}

// The insertion of the object as the store holds it now, in one statement
// or more; none when the store does not hold it, which is warned about.
template<typename Object, typename Id>
QStringList insertionOf(const Object &object, const Id &id,
                        QStringList (*statements)(const Object &), const char *notFound)
{
    if (object.id().isValid()) {
        return statements(object);
    }
    qWarning() << "Object with id" << id << notFound;
    return QStringList();
}

QStringList accountStatements(const QMailAccount &account)
{
    return { TrackerIndexer::accountInsertStatement(account) };
}

QStringList folderStatements(const QMailFolder &folder)
{
    return { TrackerIndexer::folderInsertStatement(folder) };
}

QStringList insertionStatements(QMailStore::ObjectKind kind, quint64 id, const char *notFound)
{
    switch (kind) {
    case QMailStore::Accounts:
        return insertionOf(QMailAccount(QMailAccountId(id)), QMailAccountId(id), &accountStatements,
                           notFound);
    case QMailStore::Folders:
        return insertionOf(QMailFolder(QMailFolderId(id)), QMailFolderId(id), &folderStatements,
                           notFound);
    default:
        // Metadata and part headers: the bodies are not mirrored, and a large
        // attachment need not be read into memory for it.
        {
            // The bodies only for an attachment whose size must be counted.
            QMailMessage message = QMailStore::instance()->messageHeaders(QMailMessageId(id));
            if (needsBodies(message)) {
                message = QMailMessage(QMailMessageId(id));
            }
            return insertionOf(message, QMailMessageId(id), &TrackerIndexer::messageStatements,
                               notFound);
        }
    }
}

} // namespace

// The mirror's record: what Tracker has confirmed, per object its change
// stamp at the time it was read, and the identity of the store it came
// from. Kept in a small SQLite file beside the Tracker database. Before a
// batch goes to Tracker its objects are written as unconfirmed (a stamp no
// store gives), and their true stamps once Tracker confirms it: Tracker may
// write a batch whose answer never comes back (a stop, a crash), and an
// object it may hold must never be missing from the record, or its removal
// while the daemon is down would be missed. At the next start an
// unconfirmed object reads as changed, and as removed when the store no
// longer holds it. If the file cannot be used the record lives in memory:
// the mirror works, and the next start sends everything again.
class MirrorRecord
{
public:
    explicit MirrorRecord(const QString &path)
        : connectionName(QStringLiteral("postvane-mirror-%1").arg(quintptr(this)))
    {
        QDir().mkpath(QFileInfo(path).path());
        db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
        db.setDatabaseName(path);
        QSqlQuery query(db);
        if (!db.open()
            || !query.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS mirrored (kind INTEGER, id "
                                          "INTEGER, stamp INTEGER, PRIMARY KEY (kind, id))"))
            || !query.exec(QStringLiteral(
                "CREATE TABLE IF NOT EXISTS info (name TEXT PRIMARY KEY, value TEXT)"))
            || !query.exec(QStringLiteral("SELECT kind, id, stamp FROM mirrored"))) {
            qWarning() << "TrackerIndexer: cannot keep the mirror's record in" << path
                       << (query.lastError().isValid() ? query.lastError().text()
                                                       : db.lastError().text());
            db.close();
            return;
        }
        while (query.next()) {
            const int kind = query.value(0).toInt();
            if (kind >= 0 && kind < 3) {
                stamps[kind].insert(quint64(query.value(1).toLongLong()),
                                    quint64(query.value(2).toLongLong()));
            }
        }
        query.exec(QStringLiteral("SELECT value FROM info WHERE name = 'store'"));
        storeIdentity = query.next() ? query.value(0).toString() : QString();
        query.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        query.exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    }

    ~MirrorRecord()
    {
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(connectionName);
    }

    // Forgets everything, for a store made anew; written with the first
    // confirmation that follows.
    void forget() { stamps[0].clear(), stamps[1].clear(), stamps[2].clear(); }

    void begin(const QString &newStoreIdentity)
    {
        if (db.isOpen()) {
            db.transaction();
        }
        if (!newStoreIdentity.isNull()) {
            storeIdentity = newStoreIdentity;
            exec(QStringLiteral("DELETE FROM mirrored"), {});
            exec(QStringLiteral("REPLACE INTO info VALUES ('store', ?)"), { storeIdentity });
        }
    }
    // The objects of a batch about to be sent.
    void markUnconfirmed(const QList<QPair<int, quint64>> &objects)
    {
        begin(QString());
        for (const auto &object : objects) {
            set(object.first, object.second, unconfirmed, true);
        }
        commit();
    }
    void set(int kind, quint64 id, quint64 stamp, bool present)
    {
        if (present) {
            stamps[kind].insert(id, stamp);
            exec(QStringLiteral("REPLACE INTO mirrored VALUES (?, ?, ?)"),
                 { kind, qint64(id), qint64(stamp) });
        } else {
            stamps[kind].remove(id);
            exec(QStringLiteral("DELETE FROM mirrored WHERE kind = ? AND id = ?"),
                 { kind, qint64(id) });
        }
    }
    void commit()
    {
        if (db.isOpen()) {
            db.commit();
        }
    }

    // Written as a signed integer: -1, never a store's change stamp.
    static const quint64 unconfirmed = ~quint64(0);

    QString storeIdentity;
    QHash<quint64, quint64> stamps[3];

private:
    void exec(const QString &sql, const QVariantList &values)
    {
        if (!db.isOpen()) {
            return;
        }
        QSqlQuery query(db);
        query.prepare(sql);
        for (const QVariant &value : values) {
            query.addBindValue(value);
        }
        query.exec();
    }

    QString connectionName;
    QSqlDatabase db;
};

TrackerIndexer::TrackerIndexer(QObject *parent)
    : QObject(parent)
    , connection(nullptr)
    , ready(false)
{
    QSparqlConnectionOptions options;
    options.setDataPath(databasePath());
    options.setBusName(busName());
    // What Tracker has not confirmed when the daemon stops is sent again at
    // the next start: stopping never waits for a batch in progress.
    options.setOption(QStringLiteral("finishOnClose"), false);
    connection = new QSparqlConnection(QStringLiteral("QTRACKER_DIRECT"), options, this);
    if (connection->isValid()) {
        qMailLog(Indexer) << "TrackerIndexer is created.";
        ready = true;
        record = new MirrorRecord(recordPath());
    } else {
        qCritical("Unable to establish SPARQL connection");
    }
}

TrackerIndexer::~TrackerIndexer()
{
    // A batch in Tracker's hands is left to end with the process; its
    // result never reaches the record.
    delete connection;
    delete record;
}

QString TrackerIndexer::recordPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/postvane/mirror.db");
}

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

template<typename Id>
void TrackerIndexer::queueChange(QMailStore::ObjectKind kind, Change change, const QList<Id> &ids)
{
    qMailLog(Indexer) << QStringLiteral("void TrackerIndexer::%1%2(const %3&)")
                             .arg(QLatin1String(changeNames[change]),
                                  QLatin1String(kindNames[kind]), QLatin1String(idListNames[kind]))
                             .toLatin1()
                             .constData()
                      << "count=" << ids.count();
    Job job;
    job.kind = kind;
    job.change = change;
    job.ids.reserve(ids.size());
    for (const Id &id : ids) {
        job.ids.append(id.toULongLong());
    }
    executeQuery(std::move(job));
}

void TrackerIndexer::addAccounts(const QMailAccountIdList &ids)
{
    queueChange(QMailStore::Accounts, Added, ids);
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
    if (!changed.isEmpty()) {
        Job job;
        job.kind = QMailStore::Accounts;
        job.change = Updated;
        for (const QMailAccountId &id : qAsConst(changed)) {
            job.ids.append(id.toULongLong());
        }
        executeQuery(std::move(job));
    }
}

void TrackerIndexer::removeAccounts(const QMailAccountIdList &ids)
{
    queueChange(QMailStore::Accounts, Removed, ids);
}

void TrackerIndexer::addFolders(const QMailFolderIdList &ids)
{
    queueChange(QMailStore::Folders, Added, ids);
}

void TrackerIndexer::updateFolders(const QMailFolderIdList &ids)
{
    queueChange(QMailStore::Folders, Updated, ids);
}

void TrackerIndexer::removeFolders(const QMailFolderIdList &ids)
{
    queueChange(QMailStore::Folders, Removed, ids);
}

void TrackerIndexer::addMessages(const QMailMessageIdList &ids)
{
    queueChange(QMailStore::Messages, Added, ids);
}

void TrackerIndexer::updateMessages(const QMailMessageIdList &ids)
{
    queueChange(QMailStore::Messages, Updated, ids);
}

void TrackerIndexer::removeMessages(const QMailMessageIdList &ids)
{
    queueChange(QMailStore::Messages, Removed, ids);
}

void TrackerIndexer::catchUp()
{
    if (!ready) {
        return;
    }
    QMailStore *store = QMailStore::instance();
    const QString identity = store->identity();
    if (identity.isEmpty()) {
        qWarning() << "TrackerIndexer: cannot catch up:" << store->lastErrorText();
        return;
    }
    if (identity != record->storeIdentity) {
        // Ids of another store: whatever the mirror holds under them is not
        // what the store holds now.
        qMailLog(Indexer) << "TrackerIndexer: new mail store" << identity << "clearing the mirror";
        record->forget();
        Batch clear;
        clear.newStoreIdentity = identity;
        clear.units.append(Unit { QMailStore::Messages, 0, 0, false, clearStatement, true });
        retries.push_back(clear);
    }
    int changedCount = 0;
    int removedCount = 0;
    for (const QMailStore::ObjectKind kind :
         { QMailStore::Accounts, QMailStore::Folders, QMailStore::Messages }) {
        const QHash<quint64, quint64> stamps = store->changeStamps(kind);
        const QHash<quint64, quint64> &mirrored = record->stamps[kind];
        Job changed;
        changed.kind = kind;
        changed.change = Updated;
        changed.catchingUp = true;
        for (auto it = stamps.cbegin(); it != stamps.cend(); ++it) {
            const auto known = mirrored.constFind(it.key());
            if (known == mirrored.constEnd() || known.value() != it.value()) {
                changed.ids.append(it.key());
            }
        }
        Job removed = changed;
        removed.change = Removed;
        removed.ids.clear();
        for (auto it = mirrored.cbegin(); it != mirrored.cend(); ++it) {
            if (!stamps.contains(it.key())) {
                removed.ids.append(it.key());
            }
        }
        for (Job *job : { &removed, &changed }) {
            if (!job->ids.isEmpty()) {
                std::sort(job->ids.begin(), job->ids.end());
                queryQueue.push_back(std::move(*job));
            }
        }
        changedCount += changed.ids.size();
        removedCount += removed.ids.size();
    }
    qMailLog(Indexer) << "TrackerIndexer: catching up"
                      << "changed=" << changedCount << "removed=" << removedCount;
    startNextQuery();
}

void TrackerIndexer::executeQuery(Job job)
{
    qMailLog(Indexer) << "TrackerIndexer::executeQuery";
    queryQueue.push_back(std::move(job));
    startNextQuery();
}

// The next slice of the job: read from the store only now, so that what is
// sent is what the store holds when Tracker is ready for it.
TrackerIndexer::Batch TrackerIndexer::buildBatch(Job &job)
{
    Batch batch;
    int size = 0;
    const auto add = [&](Unit unit) {
        size += unit.text.size();
        batch.units.append(std::move(unit));
    };
    // One statement of the rest per batch: each costs Tracker time that grows
    // with the recipients it holds already, and mail behind it waits for it.
    if (job.ids.isEmpty()) {
        if (!leftover.empty()) {
            add(std::move(leftover.front()));
            leftover.pop_front();
        }
        return batch;
    }
    const QList<quint64> ids = job.ids.mid(job.next, maximumBatchObjects);
    // Stamps before the objects: a change in between reads as not yet
    // mirrored at the next start, never the other way round.
    const QHash<quint64, quint64> stamps = job.change == Removed
        ? QHash<quint64, quint64>()
        : QMailStore::instance()->changeStamps(job.kind, ids);
    for (const quint64 id : ids) {
        ++job.next;
        // What is left of an earlier version of the object is out of date:
        // this removes or replaces all of it.
        dropLeftover(job.kind, id);
        const size_t leftoverBefore = leftover.size();
        Unit unit { job.kind, id, stamps.value(id), false, QString(), true };
        // An object the mirror holds is replaced, never added twice.
        if (job.change != Added || record->stamps[job.kind].contains(id)) {
            unit.text = removalStatement(job.kind, id) + QLatin1Char('\n');
        }
        if (job.change != Removed) {
            QStringList insertion = insertionStatements(
                job.kind, id, job.change == Added ? notFoundForAdding : notFoundForUpdating);
            unit.present = !insertion.isEmpty();
            if (unit.present) {
                unit.text += insertion.takeFirst() + QLatin1Char('\n');
            }
            // The rest of a message of many recipients follows in batches of
            // its own; only the last one tells the record the message is in.
            unit.recorded = insertion.isEmpty();
            while (!insertion.isEmpty()) {
                const QString text = insertion.takeFirst() + QLatin1Char('\n');
                leftover.push_back(
                    Unit { job.kind, id, unit.stamp, true, text, insertion.isEmpty() });
            }
        }
        if (!unit.text.isEmpty()) {
            add(std::move(unit));
        }
        if (size >= maximumBatchText || leftover.size() > leftoverBefore) {
            break;
        }
    }
    return batch;
}

void TrackerIndexer::dropLeftover(QMailStore::ObjectKind kind, quint64 id)
{
    leftover.erase(
        std::remove_if(leftover.begin(), leftover.end(),
                       [&](const Unit &rest) { return rest.kind == kind && rest.id == id; }),
        leftover.end());
}

void TrackerIndexer::startNextQuery()
{
    if (busy) {
        return;
    }
    if (!retries.empty()) {
        const Batch batch = retries.front();
        retries.pop_front();
        send(batch);
        return;
    }
    if (queryQueue.empty() && leftover.empty()) {
        qMailLog(Indexer) << "No more queries to execute";
        // A burst of mail leaves the heap large and mostly free; give it back
        // to the system instead of keeping it resident while idle.
        malloc_trim(0);
        return;
    }
    // The rest of a message of many recipients takes turns with what came
    // after it: mail that follows it is not held up for the minute Tracker
    // takes over the recipients.
    if (!leftover.empty() && (queryQueue.empty() || leftoverTurn)) {
        leftoverTurn = false;
        Job none;
        send(buildBatch(none));
        return;
    }
    leftoverTurn = true;
    Job &job = queryQueue.front();
    const Batch batch = buildBatch(job);
    if (job.next >= job.ids.size()) {
        queryQueue.pop_front();
    }
    send(batch);
}

void TrackerIndexer::send(const Batch &batch)
{
    QString text;
    for (const Unit &unit : batch.units) {
        text += unit.text;
    }
    if (qmf_isCategoryEnabled(qmf_logFlag_Queries(), "Queries")) {
        const QStringList lines = text.split(QLatin1Char('\n'), Qt::KeepEmptyParts);
        for (const QString &line : lines) {
            qMailLog(Queries) << line;
        }
    }
    // Objects of a batch for a store made anew are not recorded: the record
    // is emptied when it is confirmed.
    if (batch.newStoreIdentity.isNull()) {
        QList<QPair<int, quint64>> objects;
        objects.reserve(batch.units.size());
        for (const Unit &unit : batch.units) {
            objects.append(qMakePair(int(unit.kind), unit.id));
        }
        record->markUnconfirmed(objects);
    }
    qMailLog(Indexer) << "TrackerIndexer: starting next query";
    inFlight = batch;
    busy = true;
    // One update request per batch, whatever mix of removals and insertions
    // it holds.
    QSparqlResult *result = connection->exec(QSparqlQuery(text, QSparqlQuery::InsertStatement));
    connect(result, SIGNAL(finished()), this, SLOT(onQueryExecuted()));
}

void TrackerIndexer::onQueryExecuted()
{
    QSparqlResult *result = static_cast<QSparqlResult *>(sender());
    busy = false;
    const QList<Unit> &units = inFlight.units;
    if (result->hasError()) {
        const QString reason = result->lastError().message();
        qWarning() << "TrackerIndexer: Unable to execute query" << reason;
        if (units.size() > 1) {
            // Split until only the objects Tracker refuses are left out.
            const int half = units.size() / 2;
            Batch second;
            second.units = units.mid(half);
            Batch first = inFlight;
            first.units = units.mid(0, half);
            retries.push_front(second);
            retries.push_front(first);
        } else if (units.size() == 1) {
            const Unit &unit = units.first();
            qWarning() << "TrackerIndexer: left out of the mirror:" << kindNames[unit.kind]
                       << unit.id << reason;
            dropLeftover(unit.kind, unit.id);
            if (unit.present) {
                // Whatever the mirror held of it is out of date: it goes.
                retries.push_front(Batch {
                    { Unit { unit.kind, unit.id, 0, false,
                             removalStatement(unit.kind, unit.id) + QLatin1Char('\n'), true } },
                    QString() });
            }
        }
    } else {
        qMailLog(Indexer) << "TrackerIndexer: query executed successfully";
        record->begin(inFlight.newStoreIdentity);
        for (const Unit &unit : units) {
            if (inFlight.newStoreIdentity.isNull() && unit.recorded) {
                record->set(unit.kind, unit.id, unit.stamp, unit.present);
            }
        }
        record->commit();
    }
    inFlight = Batch();
    result->deleteLater();
    startNextQuery();
}
