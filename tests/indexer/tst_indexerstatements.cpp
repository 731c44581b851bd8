#include <testenvironment.h>

#include "iriauthority.h"
#include "trackerindexer.h"

#include <qmailstore.h>

#include <QtTest>

#include <ctime>

namespace {

const QString xsdDateTime = QStringLiteral("^^<http://www.w3.org/2001/XMLSchema#dateTime>");

QString contact(const QString &predicate, const QString &name, const QString &mailto)
{
    QString text = QStringLiteral("   ") + predicate
        + QStringLiteral(" [\n        rdf:type nco:Contact ; \n");
    if (!name.isNull()) {
        text += QStringLiteral("        nco:fullname \"") + name + QStringLiteral("\" ;\n");
    }
    return text + QStringLiteral("        nco:hasEmailAddress <") + mailto
        + QStringLiteral("> ] ;\n");
}

} // namespace

// The statement builders against messages, folders and accounts loaded from a
// real mail store: the texts are the contract with every Tracker reader.
class TestIndexerStatements : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void iris();
    void messageRemoval();
    void contactFragments();
    void folderInsertion();
    void accountInsertion();
    void removalsCarryNoTraceOfEarlierCalls();
    void fullMessageWithAttachments();
    void minimalMessage();
    void hostileValuesStayInsideTheirTerms();
    void attachmentsInsideNestedMultipartAreNotVisited();
    void folderStatusDecidesSentAndDeleted();
    void transferEncodingNames_data();
    void transferEncodingNames();
    void datesAreWrittenInLocalTime();
    void mimeTypes_data();
    void mimeTypes();

private:
    QMailMessage storeMessage(const QByteArray &rfc2822, const QMailFolderId &folder,
                              const std::function<void(QMailMessage &)> &adjust = {});
    static QString head(const QMailMessage &message, const QString &subject,
                        const QString &serverUid, uint size, const QString &mimeType);
    static QString contUri(const QMailMessage &message);

    TestEnvironment env;
    QMailStore *store = nullptr;
    QMailAccountId accountId;
    QMailFolderId inboxId;
    QMailFolderId sentId;
    QMailFolderId trashId;
};

void TestIndexerStatements::initTestCase()
{
    qputenv("TZ", "UTC");
    QVERIFY(env.isValid());
    store = QMailStore::instance();
    QCOMPARE(store->initializationState(), QMailStore::Initialized);

    QMailAccount account;
    account.setName(QStringLiteral("Work"));
    account.setFromAddress(
        QMailAddress(QStringLiteral("Alice Example"), QStringLiteral("alice@example.org")));
    QVERIFY(store->addAccount(&account));
    accountId = account.id();

    QMailFolder inbox(QStringLiteral("INBOX"), QMailFolderId(), accountId);
    QVERIFY(store->addFolder(&inbox));
    inboxId = inbox.id();
    QMailFolder sent(QStringLiteral("Sent"), QMailFolderId(), accountId);
    sent.setStatus(QMailFolder::Sent);
    QVERIFY(store->addFolder(&sent));
    sentId = sent.id();
    QMailFolder trash(QStringLiteral("Trash"), QMailFolderId(), accountId);
    trash.setStatus(QMailFolder::Trash | QMailFolder::Sent);
    QVERIFY(store->addFolder(&trash));
    trashId = trash.id();
}

QMailMessage TestIndexerStatements::storeMessage(const QByteArray &rfc2822,
                                                 const QMailFolderId &folder,
                                                 const std::function<void(QMailMessage &)> &adjust)
{
    QMailMessage message = QMailMessage::fromRfc2822(rfc2822);
    message.setParentFolderId(folder);
    message.setParentAccountId(accountId);
    if (adjust) {
        adjust(message);
    }
    if (!store->addMessage(&message)) {
        qWarning("cannot add a message: %s", qPrintable(store->lastErrorText()));
        return QMailMessage();
    }
    return QMailMessage(message.id());
}

QString TestIndexerStatements::contUri(const QMailMessage &message)
{
    return message.contentScheme() + QLatin1Char(':') + message.contentIdentifier();
}

QString TestIndexerStatements::head(const QMailMessage &message, const QString &subject,
                                    const QString &serverUid, uint size, const QString &mimeType)
{
    const QString id = QString::number(message.id().toULongLong());
    return QStringLiteral("INSERT {\n<qmf://mail.brenmor.com/email#%1> rdf:type nmo:Email, "
                          "nmo:MailboxDataObject ;\n"
                          "   nie:isStoredAs <qmf://mail.brenmor.com/email#%1> ;\n"
                          "   nie:url \"qmf://mail.brenmor.com/email#%1\" ;\n"
                          "   nie:dataSource <%2> ;\n"
                          "   nfo:belongsToContainer <qmf://mail.brenmor.com/folder#%3> ;\n"
                          "   nmo:messageSubject \"%4\" ;\n"
                          "   nie:relatedTo <qmf://mail.brenmor.com/accounts#%5> ;\n"
                          "   nmo:messageId \"%6\" ;\n"
                          "   nie:contentSize %7 ;\n"
                          "   nie:mimeType \"%8\" ;\n")
        .arg(id, contUri(message), QString::number(message.parentFolderId().toULongLong()), subject,
             QString::number(message.parentAccountId().toULongLong()), serverUid,
             QString::number(size), mimeType);
}

void TestIndexerStatements::iris()
{
    QCOMPARE(iriAuthority(), QStringLiteral("mail.brenmor.com"));
    QCOMPARE(TrackerIndexer::messageIri(QMailMessageId(12)).toString(),
             QStringLiteral("qmf://mail.brenmor.com/email#12"));
    QCOMPARE(TrackerIndexer::folderIri(QMailFolderId(0)).toString(),
             QStringLiteral("qmf://mail.brenmor.com/folder#0"));
    QCOMPARE(TrackerIndexer::accountIri(QMailAccountId(3)).toString(),
             QStringLiteral("qmf://mail.brenmor.com/accounts#3"));
    QCOMPARE(
        TrackerIndexer::messageIri(QMailMessageId(Q_UINT64_C(18446744073709551615))).toString(),
        QStringLiteral("qmf://mail.brenmor.com/email#18446744073709551615"));
    QCOMPARE(TrackerIndexer::messageIri(QMailMessageId()).toString(),
             QStringLiteral("qmf://mail.brenmor.com/email#0"));
}

void TestIndexerStatements::messageRemoval()
{
    QCOMPARE(TrackerIndexer::messageDeleteStatement(QMailMessageId(12)),
             QStringLiteral("DELETE {<qmf://mail.brenmor.com/email#12> a rdfs:Resource }\n"
                            "DELETE { ?s a rdfs:Resource } WHERE { ?s nfo:belongsToContainer "
                            "<qmf://mail.brenmor.com/email#12> . }"));
}

void TestIndexerStatements::contactFragments()
{
    QCOMPARE(TrackerIndexer::contactStatement(
                 QMailAddress(QStringLiteral("Bob Jones"), QStringLiteral("bob@example.org")),
                 QStringLiteral("nmo:to")),
             QStringLiteral("   nmo:to [\n        rdf:type nco:Contact ; \n"
                            "        nco:fullname \"Bob Jones\" ;\n"
                            "        nco:hasEmailAddress <mailto:bob@example.org> ] ;\n"));
    // Without a display name the framework answers the address as the name.
    const QMailAddress bare(QStringLiteral("carol@example.org"));
    QCOMPARE(bare.name(), bare.address());
    QCOMPARE(TrackerIndexer::contactStatement(bare, QStringLiteral("nmo:from")),
             QStringLiteral("   nmo:from [\n        rdf:type nco:Contact ; \n"
                            "        nco:hasEmailAddress <mailto:carol@example.org> ] ;\n"));
    QCOMPARE(TrackerIndexer::contactStatement(QMailAddress(), QStringLiteral("nmo:from")),
             QStringLiteral("   nmo:from [\n        rdf:type nco:Contact ; \n"
                            "        nco:hasEmailAddress <mailto:> ] ;\n"));
}

void TestIndexerStatements::folderInsertion()
{
    QMailFolder child(QStringLiteral("INBOX/Projects"), inboxId, accountId);
    child.setDisplayName(QStringLiteral("Projects"));
    QVERIFY(store->addFolder(&child));
    QCOMPARE(TrackerIndexer::folderInsertStatement(QMailFolder(child.id())),
             QStringLiteral("INSERT {\n<qmf://mail.brenmor.com/folder#%1> rdf:type nmo:MailFolder, "
                            "nmo:MailboxDataObject ;\n"
                            "   nmo:folderName \"Projects\" ;\n"
                            "   nfo:belongsToContainer <qmf://mail.brenmor.com/folder#%2> ;\n"
                            "   nie:relatedTo <qmf://mail.brenmor.com/accounts#%3> .\n}")
                 .arg(child.id().toULongLong())
                 .arg(inboxId.toULongLong())
                 .arg(accountId.toULongLong()));
    // A top-level folder is contained in folder 0, never in its account.
    QCOMPARE(TrackerIndexer::folderInsertStatement(QMailFolder(inboxId)),
             QStringLiteral("INSERT {\n<qmf://mail.brenmor.com/folder#%1> rdf:type nmo:MailFolder, "
                            "nmo:MailboxDataObject ;\n"
                            "   nmo:folderName \"INBOX\" ;\n"
                            "   nfo:belongsToContainer <qmf://mail.brenmor.com/folder#0> ;\n"
                            "   nie:relatedTo <qmf://mail.brenmor.com/accounts#%2> .\n}")
                 .arg(inboxId.toULongLong())
                 .arg(accountId.toULongLong()));
}

void TestIndexerStatements::accountInsertion()
{
    QMailAccount account;
    account.setName(QStringLiteral("Home \"mail\""));
    account.setSignature(QStringLiteral("-- \nAlice"));
    account.setFromAddress(QMailAddress(QStringLiteral("alice@home.example")));
    QVERIFY(store->addAccount(&account));
    QCOMPARE(TrackerIndexer::accountInsertStatement(QMailAccount(account.id())),
             QStringLiteral("INSERT {\n<mailto:%3Calice@home.example%3E> a nco:EmailAddress ;\n"
                            "   nco:emailAddress \"<alice@home.example>\" .\n"
                            "<qmf://mail.brenmor.com/accounts#%1> rdf:type nmo:MailAccount ;\n"
                            "   nmo:accountName \"Home \\\"mail\\\"\" ;\n"
                            "   nmo:signature \"-- \\nAlice\";   nmo:fromAddress "
                            "<mailto:%3Calice@home.example%3E> .\n}")
                 .arg(account.id().toULongLong()));

    QCOMPARE(
        TrackerIndexer::accountInsertStatement(QMailAccount(accountId)),
        QStringLiteral(
            "INSERT {\n<mailto:Alice%20Example%20%3Calice@example.org%3E> a nco:EmailAddress ;\n"
            "   nco:emailAddress \"Alice Example <alice@example.org>\" .\n"
            "<qmf://mail.brenmor.com/accounts#%1> rdf:type nmo:MailAccount ;\n"
            "   nmo:accountName \"Work\" ;\n"
            "   nmo:signature \"\";   nmo:fromAddress "
            "<mailto:Alice%20Example%20%3Calice@example.org%3E> .\n}")
            .arg(accountId.toULongLong()));
}

void TestIndexerStatements::removalsCarryNoTraceOfEarlierCalls()
{
    QCOMPARE(TrackerIndexer::folderDeleteStatement(QMailFolderId(5)),
             QStringLiteral("DELETE { <qmf://mail.brenmor.com/folder#5> a rdfs:Resource } "));
    QCOMPARE(TrackerIndexer::folderDeleteStatement(QMailFolderId(6)),
             QStringLiteral("DELETE { <qmf://mail.brenmor.com/folder#6> a rdfs:Resource } "));
    QCOMPARE(TrackerIndexer::accountDeleteStatement(QMailAccountId(5)),
             QStringLiteral("DELETE { <qmf://mail.brenmor.com/accounts#5> a rdfs:Resource } "));
    QCOMPARE(TrackerIndexer::accountDeleteStatement(QMailAccountId()),
             QStringLiteral("DELETE { <qmf://mail.brenmor.com/accounts#0> a rdfs:Resource } "));
    QCOMPARE(TrackerIndexer::folderDeleteStatement(QMailFolderId(5)),
             QStringLiteral("DELETE { <qmf://mail.brenmor.com/folder#5> a rdfs:Resource } "));
}

void TestIndexerStatements::fullMessageWithAttachments()
{
    const QByteArray rfc2822
        = "From: Alice Example <alice@example.org>\r\n"
          "To: Bob <bob@example.org>, carol@example.org\r\n"
          "Cc: dave@example.org\r\n"
          "Subject: Quarterly report\r\n"
          "Date: Tue, 02 Jan 2024 10:00:00 +0000\r\n"
          "Message-ID: <m1@example.org>\r\n"
          "MIME-Version: 1.0\r\n"
          "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
          "--b1\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: "
          "7bit\r\n\r\n"
          "Body text\r\n"
          "--b1\r\nContent-Type: application/pdf; name=\"report.pdf\"; charset=\"x-bin\"\r\n"
          "Content-Disposition: attachment; filename=\"other.pdf\"; size=1234;\r\n"
          " creation-date=\"Mon, 01 Jan 2024 09:00:00 +0000\";\r\n"
          " modification-date=\"Mon, 01 Jan 2024 09:30:00 +0000\";\r\n"
          " read-date=\"Tue, 02 Jan 2024 08:00:00 +0000\"\r\n"
          "Content-Transfer-Encoding: base64\r\nContent-Description: The report\r\n"
          "Content-ID: <part1@example.org>\r\n\r\nJVBERi0=\r\n"
          "--b1\r\nContent-Type: image/png; name=\"chart.png\"\r\n"
          "Content-Disposition: inline; filename=\"chart.png\"\r\n"
          "Content-Transfer-Encoding: base64\r\n\r\niVBORw0=\r\n"
          "--b1\r\nContent-Disposition: attachment\r\n\r\nraw\r\n"
          "--b1--\r\n";
    const QMailMessage message = storeMessage(rfc2822, inboxId, [](QMailMessage &m) {
        m.setServerUid(QStringLiteral("uid-1"));
        m.setReceivedDate(QMailTimeStamp(QDateTime(QDate(2024, 1, 3), QTime(4, 5, 6), Qt::UTC)));
        m.setInResponseTo(QMailMessageId(7));
        m.setStatus(QMailMessageMetaData::Read, true);
    });
    QVERIFY(message.id().isValid());
    const QString id = QString::number(message.id().toULongLong());

    const QString expected
        = head(message, QStringLiteral("Quarterly report"), QStringLiteral("uid-1"), message.size(),
               QStringLiteral("multipart/mixed"))
        + contact(QStringLiteral("nmo:from"), QStringLiteral("Alice Example"),
                  QStringLiteral("mailto:alice@example.org"))
        + contact(QStringLiteral("nmo:to"), QStringLiteral("Bob"),
                  QStringLiteral("mailto:bob@example.org"))
        + contact(QStringLiteral("nmo:to"), QString(), QStringLiteral("mailto:carol@example.org"))
        + QStringLiteral("   nmo:sentDate \"2024-01-02T10:00:00+00:00\"") + xsdDateTime
        + QStringLiteral(" ;\n") + QStringLiteral("   nmo:inReplyTo 7 ;\n")
        + QStringLiteral("   nmo:receivedDate \"2024-01-03T04:05:06+00:00\"") + xsdDateTime
        + QStringLiteral(" ;\n")
        + QStringLiteral("   nmo:isRead true ;\n   nmo:isSent false ;\n   nmo:isDeleted false ;\n"
                         "   nmo:hasAttachment true .\n}\n")
        // The first attachment: every optional line.
        + QStringLiteral("INSERT {\n<qmf://mail.brenmor.com/part#%1-2> rdf:type nmo:Attachment, "
                         "nmo:MailboxDataObject ;\n"
                         "   nie:url \"qmf://mail.brenmor.com/part#%1-2\" ;\n"
                         "   nie:dataSource <%2> ;\n"
                         "   nfo:belongsToContainer <qmf://mail.brenmor.com/email#%1> ;\n"
                         "   nie:isPartOf <qmf://mail.brenmor.com/email#%1> ;\n"
                         "   nmo:contentDescription \"The report\" ;\n"
                         "   nmo:contentTransferEncoding \"base64\" ;\n"
                         "   nfo:fileSize 1234 ;\n"
                         "   nmo:contentDisposition \"attachment; filename=other.pdf; size=1234; "
                         "creation-date=\\\"Mon, 01 Jan 2024 09:00:00 +0000\\\"; "
                         "modification-date=\\\"Mon, 01 Jan 2024 09:30:00 +0000\\\"; "
                         "read-date=\\\"Tue, 02 Jan 2024 08:00:00 +0000\\\"\" ;\n")
              .arg(id, contUri(message))
        + QStringLiteral("   nfo:fileCreated \"2024-01-01T09:00:00+00:00\"") + xsdDateTime
        + QStringLiteral(" ;\n") + QStringLiteral("   nie:created \"2024-01-01T09:00:00+00:00\"")
        + xsdDateTime + QStringLiteral(" ;\n")
        + QStringLiteral("   nfo:fileLastModified \"2024-01-01T09:30:00+00:00\"") + xsdDateTime
        + QStringLiteral(" ;\n")
        + QStringLiteral("   nie:lastRefreshed \"2024-01-02T08:00:00+00:00\"") + xsdDateTime
        + QStringLiteral(" ;\n")
        // The file name is Content-Type's name, not the disposition's filename.
        + QStringLiteral("   nfo:fileName \"report.pdf\" ;\n   nmo:charSet \"x-bin\" ;\n"
                         "   nmo:contentId \"part1@example.org\" .\n}\n")
        // The inline image is skipped; the bare attachment has no type, no
        // encoding and no dates.
        + QStringLiteral("INSERT {\n<qmf://mail.brenmor.com/part#%1-4> rdf:type nmo:Attachment, "
                         "nmo:MailboxDataObject ;\n"
                         "   nie:url \"qmf://mail.brenmor.com/part#%1-4\" ;\n"
                         "   nie:dataSource <%2> ;\n"
                         "   nfo:belongsToContainer <qmf://mail.brenmor.com/email#%1> ;\n"
                         "   nie:isPartOf <qmf://mail.brenmor.com/email#%1> ;\n"
                         "   nmo:contentDescription \"\" ;\n"
                         "   nmo:contentTransferEncoding \"\" ;\n"
                         "   nfo:fileSize -1 ;\n"
                         "   nmo:contentDisposition \"attachment\" ;\n"
                         "   nmo:contentId \"\" .\n}")
              .arg(id, contUri(message));
    QCOMPARE(TrackerIndexer::messageInsertStatement(message), expected);
}

void TestIndexerStatements::minimalMessage()
{
    // No date, no To, an empty sender: one contact, no optional lines.
    const QMailMessage message
        = storeMessage("Subject: bare\r\n\r\nbody\r\n", inboxId, [](QMailMessage &m) {
              m.setDate(QMailTimeStamp());
              m.setReceivedDate(QMailTimeStamp());
              m.setServerUid(QString());
          });
    QVERIFY(message.id().isValid());
    QVERIFY(message.date().isNull());
    QVERIFY(message.receivedDate().isNull());
    QVERIFY(message.to().isEmpty());
    const QString expected = head(message, QStringLiteral("bare"), QString(), message.size(),
                                  TrackerIndexer::mimeTypeForContent(message.content()))
        + contact(QStringLiteral("nmo:from"), QString(), QStringLiteral("mailto:"))
        + QStringLiteral("   nmo:isRead false ;\n   nmo:isSent false ;\n   nmo:isDeleted false ;\n"
                         "   nmo:hasAttachment false .\n}\n");
    QCOMPARE(TrackerIndexer::messageInsertStatement(message), expected);
}

void TestIndexerStatements::hostileValuesStayInsideTheirTerms()
{
    // A sender name and subject that look like placeholders and statement
    // text: the contact is rendered before the message, so the message must
    // leave the values it already holds alone.
    const QMailMessage message = storeMessage(
        "From: \"?:subject \\\" ; nmo:isRead true . } # ?:miri\" <x?:miri@example.org>\r\n"
        "Subject: ?:name \"} INSERT { <urn:evil> a nmo:Email } \\\r\n\r\nbody\r\n",
        inboxId, [](QMailMessage &m) {
            m.setDate(QMailTimeStamp());
            m.setReceivedDate(QMailTimeStamp());
        });
    QVERIFY(message.id().isValid());
    const QString text = TrackerIndexer::messageInsertStatement(message);
    QVERIFY2(
        text.contains(QStringLiteral(
            "   nmo:messageSubject \"?:name \\\"} INSERT { <urn:evil> a nmo:Email } \\\\\" ;\n")),
        qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral(
                 "        nco:fullname \"?:subject \\\" ; nmo:isRead true . } # ?:miri\" ;\n"
                 "        nco:hasEmailAddress <mailto:x?:miri@example.org> ] ;\n")),
             qPrintable(text));
}

void TestIndexerStatements::attachmentsInsideNestedMultipartAreNotVisited()
{
    const QByteArray rfc2822
        = "From: a@example.org\r\nSubject: nested\r\nMIME-Version: 1.0\r\n"
          "Content-Type: multipart/mixed; boundary=\"outer\"\r\n\r\n"
          "--outer\r\nContent-Type: multipart/mixed; boundary=\"inner\"\r\n\r\n"
          "--inner\r\nContent-Type: text/plain\r\n\r\ntext\r\n"
          "--inner\r\nContent-Type: application/zip; name=\"a.zip\"\r\n"
          "Content-Disposition: attachment; filename=\"a.zip\"\r\n\r\nzip\r\n"
          "--inner--\r\n--outer--\r\n";
    const QMailMessage message = storeMessage(rfc2822, inboxId);
    QVERIFY(message.id().isValid());
    const QString text = TrackerIndexer::messageInsertStatement(message);
    QCOMPARE(text.count(QStringLiteral("INSERT {")), 1);
    QVERIFY(text.endsWith(QStringLiteral(" .\n}\n")));
}

void TestIndexerStatements::folderStatusDecidesSentAndDeleted()
{
    const QByteArray rfc2822 = "From: a@example.org\r\nSubject: s\r\n\r\nbody\r\n";
    const QMailMessage sent = storeMessage(rfc2822, sentId, [](QMailMessage &m) {
        m.setStatus(QMailMessageMetaData::Sent | QMailMessageMetaData::Trash, true);
    });
    QVERIFY(TrackerIndexer::messageInsertStatement(sent).endsWith(QStringLiteral(
        "   nmo:isSent true ;\n   nmo:isDeleted false ;\n   nmo:hasAttachment false .\n}\n")));
    const QMailMessage trashed = storeMessage(rfc2822, trashId);
    QVERIFY(TrackerIndexer::messageInsertStatement(trashed).endsWith(QStringLiteral(
        "   nmo:isSent true ;\n   nmo:isDeleted true ;\n   nmo:hasAttachment false .\n}\n")));
}

void TestIndexerStatements::transferEncodingNames_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QString>("name");
    QTest::newRow("7bit") << QByteArray("Content-Transfer-Encoding: 7bit\r\n")
                          << QStringLiteral("7bit");
    QTest::newRow("8bit") << QByteArray("Content-Transfer-Encoding: 8bit\r\n")
                          << QStringLiteral("8bit");
    QTest::newRow("base64") << QByteArray("Content-Transfer-Encoding: base64\r\n")
                            << QStringLiteral("base64");
    QTest::newRow("quoted-printable")
        << QByteArray("Content-Transfer-Encoding: quoted-printable\r\n")
        << QStringLiteral("quoted-printable");
    QTest::newRow("binary") << QByteArray("Content-Transfer-Encoding: binary\r\n")
                            << QStringLiteral("binary");
    QTest::newRow("none") << QByteArray() << QString();
}

void TestIndexerStatements::transferEncodingNames()
{
    QFETCH(QByteArray, header);
    QFETCH(QString, name);
    const QMailMessage message
        = storeMessage("From: a@example.org\r\nSubject: enc\r\nMIME-Version: 1.0\r\n"
                       "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
                       "--b\r\nContent-Type: text/plain\r\n\r\ntext\r\n"
                       "--b\r\nContent-Disposition: attachment\r\n"
                           + header + "\r\nAAAA\r\n--b--\r\n",
                       inboxId);
    QVERIFY(message.id().isValid());
    const QString text = TrackerIndexer::messageInsertStatement(message);
    QVERIFY2(text.contains(QStringLiteral("   nmo:contentDescription \"\" ;\n"
                                          "   nmo:contentTransferEncoding \"%1\" ;\n")
                               .arg(name)),
             qPrintable(text));
}

// Dates reach Tracker as the local time of the daemon, with its offset: not
// in UTC and not in the offset the header was written with.
void TestIndexerStatements::datesAreWrittenInLocalTime()
{
    const QByteArray savedZone = qgetenv("TZ");
    qputenv("TZ", "EST5"); // five hours west of UTC, no daylight saving
    ::tzset();
    const QMailMessage message = storeMessage(
        "From: a@example.org\r\nSubject: zones\r\nDate: Tue, 02 Jan 2024 10:00:00 +0200\r\n"
        "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
        "--b\r\nContent-Type: text/plain\r\n\r\ntext\r\n"
        "--b\r\nContent-Disposition: attachment;\r\n"
        " modification-date=\"Mon, 01 Jan 2024 23:30:00 -0100\"\r\n\r\nx\r\n--b--\r\n",
        inboxId, [](QMailMessage &m) {
            m.setReceivedDate(
                QMailTimeStamp(QDateTime(QDate(2024, 1, 3), QTime(4, 5, 6), Qt::UTC)));
        });
    const QString text = TrackerIndexer::messageInsertStatement(message);
    qputenv("TZ", savedZone);
    ::tzset();
    QVERIFY(message.id().isValid());
    QVERIFY2(text.contains(QStringLiteral("   nmo:sentDate \"2024-01-02T03:00:00-05:00\"")
                           + xsdDateTime + QStringLiteral(" ;\n")),
             qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("   nmo:receivedDate \"2024-01-02T23:05:06-05:00\"")
                           + xsdDateTime + QStringLiteral(" ;\n")),
             qPrintable(text));
    // Only the date the disposition carries gets a line.
    QVERIFY2(text.contains(QStringLiteral("   nmo:contentDisposition \"attachment; "
                                          "modification-date=\\\"Mon, 01 Jan 2024 23:30:00 "
                                          "-0100\\\"\" ;\n"
                                          "   nfo:fileLastModified \"2024-01-01T19:30:00-05:00\"")
                           + xsdDateTime + QStringLiteral(" ;\n   nmo:contentId \"\" .\n}")),
             qPrintable(text));
}

void TestIndexerStatements::mimeTypes_data()
{
    QTest::addColumn<int>("content");
    QTest::addColumn<QString>("mimeType");
    const QList<QPair<int, QString>> table = {
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
        { 16, QString() },
        { 63, QString() },
        { 65, QString() },
        { -1, QString() },
    };
    for (const auto &entry : table) {
        QTest::addRow("%d", entry.first) << entry.first << entry.second;
    }
}

void TestIndexerStatements::mimeTypes()
{
    QFETCH(int, content);
    QFETCH(QString, mimeType);
    QCOMPARE(TrackerIndexer::mimeTypeForContent(content), mimeType);
}

QTEST_GUILESS_MAIN(TestIndexerStatements)
#include "tst_indexerstatements.moc"
