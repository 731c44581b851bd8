#include "iriauthority.h"
#include "storefixture.h"
#include "testenvironment.h"
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
    void fixedStatements_data();
    void fixedStatements();
    void folderAndAccountInsertion();
    void fullMessageWithAttachments();
    void messageFragments_data();
    void messageFragments();

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
    // Five hours west of UTC, no daylight saving: local time is visible.
    qputenv("TZ", "EST5");
    ::tzset();
    QVERIFY(env.isValid());
    store = QMailStore::instance();
    QCOMPARE(store->initializationState(), QMailStore::Initialized);

    QMailAccount account;
    account.setName(QStringLiteral("Work"));
    account.setFromAddress(
        QMailAddress(QStringLiteral("Alice Example"), QStringLiteral("alice@example.org")));
    QVERIFY(store->addAccount(&account));
    accountId = account.id();

    inboxId = StoreFixture::addFolder(accountId, QStringLiteral("INBOX"));
    sentId = StoreFixture::addFolder(accountId, QStringLiteral("Sent"), QMailFolder::Sent);
    trashId = StoreFixture::addFolder(accountId, QStringLiteral("Trash"),
                                      QMailFolder::Trash | QMailFolder::Sent);
    QVERIFY(inboxId.isValid() && sentId.isValid() && trashId.isValid());
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

void TestIndexerStatements::fixedStatements_data()
{
    QTest::addColumn<QString>("produced");
    QTest::addColumn<QString>("expected");
    const auto row = [](const char *name, const QString &produced, const char *expected) {
        QTest::newRow(name) << produced << QString::fromUtf8(expected);
    };
    row("authority", iriAuthority(), "mail.brenmor.com");
    row("message iri", TrackerIndexer::messageIri(QMailMessageId(12)).toString(),
        "qmf://mail.brenmor.com/email#12");
    row("invalid id", TrackerIndexer::messageIri(QMailMessageId()).toString(),
        "qmf://mail.brenmor.com/email#0");
    row("folder iri", TrackerIndexer::folderIri(QMailFolderId(0)).toString(),
        "qmf://mail.brenmor.com/folder#0");
    row("account iri", TrackerIndexer::accountIri(QMailAccountId(3)).toString(),
        "qmf://mail.brenmor.com/accounts#3");
    // The message's own contacts go first, while the message still names them.
    row("message removal", TrackerIndexer::messageDeleteStatement(QMailMessageId(12)),
        "DELETE { ?c a rdfs:Resource } WHERE { { <qmf://mail.brenmor.com/email#12> nmo:from ?c } "
        "UNION { <qmf://mail.brenmor.com/email#12> nmo:to ?c } }\n"
        "DELETE {<qmf://mail.brenmor.com/email#12> a rdfs:Resource }\n"
        "DELETE { ?s a rdfs:Resource } WHERE { ?s nfo:belongsToContainer "
        "<qmf://mail.brenmor.com/email#12> . }");
    // The removals reuse one query each: no trace of an earlier call remains.
    row("folder removal", TrackerIndexer::folderDeleteStatement(QMailFolderId(5)),
        "DELETE { <qmf://mail.brenmor.com/folder#5> a rdfs:Resource } ");
    row("next folder removal", TrackerIndexer::folderDeleteStatement(QMailFolderId(6)),
        "DELETE { <qmf://mail.brenmor.com/folder#6> a rdfs:Resource } ");
    row("account removal", TrackerIndexer::accountDeleteStatement(QMailAccountId()),
        "DELETE { <qmf://mail.brenmor.com/accounts#0> a rdfs:Resource } ");
    row("named contact",
        TrackerIndexer::contactStatement(
            QMailAddress(QStringLiteral("Bob Jones"), QStringLiteral("bob@example.org")),
            QStringLiteral("nmo:to")),
        "   nmo:to [\n        rdf:type nco:Contact ; \n        nco:fullname \"Bob Jones\" ;\n"
        "        nco:hasEmailAddress <mailto:bob@example.org> ] ;\n");
    // Without a display name the framework answers the address as the name.
    row("bare contact",
        TrackerIndexer::contactStatement(QMailAddress(QStringLiteral("carol@example.org")),
                                         QStringLiteral("nmo:from")),
        "   nmo:from [\n        rdf:type nco:Contact ; \n"
        "        nco:hasEmailAddress <mailto:carol@example.org> ] ;\n");
    row("voice mail", TrackerIndexer::mimeTypeForContent(10), "multipart/voice-message");
    row("image", TrackerIndexer::mimeTypeForContent(5), "message/rfc822");
    row("user content", TrackerIndexer::mimeTypeForContent(64), "message/rfc822");
    row("unknown content", TrackerIndexer::mimeTypeForContent(16), "");
    row("empty contact",
        TrackerIndexer::contactStatement(QMailAddress(), QStringLiteral("nmo:from")),
        "   nmo:from [\n        rdf:type nco:Contact ; \n"
        "        nco:hasEmailAddress <mailto:> ] ;\n");
}

void TestIndexerStatements::fixedStatements()
{
    QFETCH(QString, produced);
    QFETCH(QString, expected);
    QCOMPARE(produced, expected);
}

void TestIndexerStatements::folderAndAccountInsertion()
{
    const QString folder
        = QStringLiteral("INSERT {\n<qmf://mail.brenmor.com/folder#%1> rdf:type nmo:MailFolder, "
                         "nmo:MailboxDataObject ;\n   nmo:folderName \"%2\" ;\n"
                         "   nfo:belongsToContainer <qmf://mail.brenmor.com/folder#%3> ;\n"
                         "   nie:relatedTo <qmf://mail.brenmor.com/accounts#%4> .\n}");
    const QString account = QString::number(accountId.toULongLong());
    // A top-level folder is contained in folder 0, never in its account.
    QCOMPARE(TrackerIndexer::folderInsertStatement(QMailFolder(inboxId)),
             folder.arg(QString::number(inboxId.toULongLong()), QStringLiteral("INBOX"),
                        QStringLiteral("0"), account));

    QMailAccount home;
    home.setName(QStringLiteral("Home \"mail\""));
    home.setSignature(QStringLiteral("-- \nAlice"));
    home.setFromAddress(QMailAddress(QStringLiteral("alice@home.example")));
    QVERIFY(store->addAccount(&home));
    QCOMPARE(TrackerIndexer::accountInsertStatement(QMailAccount(home.id())),
             QStringLiteral("INSERT {\n<mailto:%3Calice@home.example%3E> a nco:EmailAddress ;\n"
                            "   nco:emailAddress \"<alice@home.example>\" .\n"
                            "<qmf://mail.brenmor.com/accounts#%1> rdf:type nmo:MailAccount ;\n"
                            "   nmo:accountName \"Home \\\"mail\\\"\" ;\n"
                            "   nmo:signature \"-- \\nAlice\";   nmo:fromAddress "
                            "<mailto:%3Calice@home.example%3E> .\n}")
                 .arg(home.id().toULongLong()));
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
          "--b1--\r\n";
    const QMailMessage message = storeMessage(rfc2822, inboxId, [](QMailMessage &m) {
        m.setServerUid(QStringLiteral("uid-1"));
        m.setReceivedDate(QMailTimeStamp(QDateTime(QDate(2024, 1, 3), QTime(4, 5, 6), Qt::UTC)));
        m.setInResponseTo(QMailMessageId(7));
        m.setStatus(QMailMessageMetaData::Read, true);
    });
    QVERIFY(message.id().isValid());
    const QString id = QString::number(message.id().toULongLong());

    // Dates are written in the daemon's local time with its offset.
    const auto dated = [](const char *predicate, const char *value) {
        return QStringLiteral("   %1 \"%2\"").arg(QLatin1String(predicate), QLatin1String(value))
            + xsdDateTime + QStringLiteral(" ;\n");
    };
    const QString attachment = QStringLiteral(
        "INSERT {\n<qmf://mail.brenmor.com/part#%1-%3> rdf:type nmo:Attachment, "
        "nmo:MailboxDataObject ;\n   nie:url \"qmf://mail.brenmor.com/part#%1-%3\" ;\n"
        "   nie:dataSource <%2> ;\n   nfo:belongsToContainer <qmf://mail.brenmor.com/email#%1> ;\n"
        "   nie:isPartOf <qmf://mail.brenmor.com/email#%1> ;\n");
    const QString expected
        = head(message, QStringLiteral("Quarterly report"), QStringLiteral("uid-1"), message.size(),
               QStringLiteral("multipart/mixed"))
        + contact(QStringLiteral("nmo:from"), QStringLiteral("Alice Example"),
                  QStringLiteral("mailto:alice@example.org"))
        + contact(QStringLiteral("nmo:to"), QStringLiteral("Bob"),
                  QStringLiteral("mailto:bob@example.org"))
        + contact(QStringLiteral("nmo:to"), QString(), QStringLiteral("mailto:carol@example.org"))
        + dated("nmo:sentDate", "2024-01-02T05:00:00-05:00")
        + QStringLiteral("   nmo:inReplyTo 7 ;\n")
        + dated("nmo:receivedDate", "2024-01-02T23:05:06-05:00")
        + QStringLiteral("   nmo:isRead true ;\n   nmo:isSent false ;\n   nmo:isDeleted false ;\n"
                         "   nmo:hasAttachment true .\n}\n")
        // The first attachment: every optional line.
        + attachment.arg(id, contUri(message), QStringLiteral("2"))
        + QStringLiteral("   nmo:contentDescription \"The report\" ;\n"
                         "   nmo:contentTransferEncoding \"base64\" ;\n"
                         "   nfo:fileSize 1234 ;\n"
                         "   nmo:contentDisposition \"attachment; filename=other.pdf; size=1234; "
                         "creation-date=\\\"Mon, 01 Jan 2024 09:00:00 +0000\\\"; "
                         "modification-date=\\\"Mon, 01 Jan 2024 09:30:00 +0000\\\"; "
                         "read-date=\\\"Tue, 02 Jan 2024 08:00:00 +0000\\\"\" ;\n")
        + dated("nfo:fileCreated", "2024-01-01T04:00:00-05:00")
        + dated("nie:created", "2024-01-01T04:00:00-05:00")
        + dated("nfo:fileLastModified", "2024-01-01T04:30:00-05:00")
        + dated("nie:lastRefreshed", "2024-01-02T03:00:00-05:00")
        // The file name is Content-Type's name, not the disposition's filename.
        + QStringLiteral("   nfo:fileName \"report.pdf\" ;\n   nmo:charSet \"x-bin\" ;\n"
                         "   nmo:contentId \"part1@example.org\" .\n}");
    // The inline image is skipped.
    QCOMPARE(TrackerIndexer::messageInsertStatement(message), expected);
}

void TestIndexerStatements::messageFragments_data()
{
    QTest::addColumn<QByteArray>("rfc2822");
    QTest::addColumn<int>("folder"); // 0 inbox, 1 sent, 2 trash and sent
    QTest::addColumn<QString>("fragment");
    QTest::addColumn<bool>("atEnd");
    // A sender name and subject that look like placeholders and statement
    // text: the contact is rendered before the message, so the message must
    // leave the values it already holds alone.
    const QByteArray hostile
        = "From: \"?:subject \\\" ; nmo:isRead true . } # ?:miri\" <x?:miri@example.org>\r\n"
          "Subject: ?:name \"} INSERT { <urn:evil> a nmo:Email } \\\r\n\r\nbody\r\n";
    QTest::newRow("hostile sender")
        << hostile << 0
        << QStringLiteral(
               "        nco:fullname \"?:subject \\\" ; nmo:isRead true . } # ?:miri\" ;\n"
               "        nco:hasEmailAddress <mailto:x?:miri@example.org> ] ;\n")
        << false;
    // No date, no To, an empty sender: one contact and no optional line.
    QTest::newRow("minimal") << QByteArray("Subject: bare\r\n\r\nbody\r\n") << 0
                             << contact(QStringLiteral("nmo:from"), QString(),
                                        QStringLiteral("mailto:"))
            + QStringLiteral("   nmo:isRead false ;\n   nmo:isSent false ;\n"
                             "   nmo:isDeleted false ;\n   nmo:hasAttachment false .\n}\n")
                             << true;
    // Only the date the disposition carries gets a line, in local time.
    QTest::newRow("one attachment date")
        << QByteArray(
               "From: a@example.org\r\nSubject: zones\r\nMIME-Version: 1.0\r\n"
               "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
               "--b\r\nContent-Type: text/plain\r\n\r\ntext\r\n"
               "--b\r\nContent-Disposition: attachment;\r\n"
               " modification-date=\"Mon, 01 Jan 2024 23:30:00 -0100\"\r\n\r\nx\r\n--b--\r\n")
        << 0
        << QStringLiteral("   nmo:contentDisposition \"attachment; modification-date=\\\"Mon, 01 "
                          "Jan 2024 23:30:00 -0100\\\"\" ;\n"
                          "   nfo:fileLastModified \"2024-01-01T19:30:00-05:00\"")
            + xsdDateTime + QStringLiteral(" ;\n   nmo:contentId \"\" .\n}")
        << true;
    // Only attachments of the top level count: the statement ends with the
    // message's own INSERT.
    QTest::newRow("nested attachment")
        << QByteArray("From: a@example.org\r\nSubject: nested\r\nMIME-Version: 1.0\r\n"
                      "Content-Type: multipart/mixed; boundary=\"outer\"\r\n\r\n"
                      "--outer\r\nContent-Type: multipart/mixed; boundary=\"inner\"\r\n\r\n"
                      "--inner\r\nContent-Type: text/plain\r\n\r\ntext\r\n"
                      "--inner\r\nContent-Type: application/zip; name=\"a.zip\"\r\n"
                      "Content-Disposition: attachment; filename=\"a.zip\"\r\n\r\nzip\r\n"
                      "--inner--\r\n--outer--\r\n")
        << 0 << QStringLiteral(" .\n}\n") << true;
    // Sent and deleted follow the folder, whatever the message's own flags.
    const QByteArray plain = "From: a@example.org\r\nSubject: s\r\n\r\nbody\r\n";
    QTest::newRow("sent folder")
        << plain << 1
        << QStringLiteral(
               "   nmo:isSent true ;\n   nmo:isDeleted false ;\n   nmo:hasAttachment false .\n}\n")
        << true;
    QTest::newRow("trash folder")
        << plain << 2
        << QStringLiteral(
               "   nmo:isSent true ;\n   nmo:isDeleted true ;\n   nmo:hasAttachment false .\n}\n")
        << true;
    // Values Tracker cannot take are left out, not the message.
    QTest::newRow("sent in the year 10000")
        << QByteArray("From: a@example.org\r\nSubject: far\r\n"
                      "Date: Tue, 02 Jan 10000 10:00:00 +0000\r\n\r\nbody\r\n")
        << 0 << QStringLiteral("<mailto:a@example.org> ] ;\n   nmo:isRead false ;\n") << false;
    const QByteArray attached = "From: a@example.org\r\nSubject: a\r\nMIME-Version: 1.0\r\n"
                                "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
                                "--b\r\nContent-Type: text/plain\r\n\r\ntext\r\n--b\r\n";
    QTest::newRow("attachment created in 99999")
        << attached
            + "Content-Disposition: attachment; creation-date=\"Tue, 02 Jan 99999 "
              "10:00:00 +0000\"\r\n\r\nx\r\n--b--\r\n"
        << 0 << QStringLiteral("99999 10:00:00 +0000\\\"\" ;\n   nmo:contentId \"\" .\n}") << true;
    // Named by the disposition only: that name, RFC 2231 forms decoded.
    QTest::newRow("disposition filename only")
        << attached + "Content-Disposition: attachment; filename=\"a.txt\"\r\n\r\nx\r\n--b--\r\n"
        << 0 << QStringLiteral("   nfo:fileName \"a.txt\" ;\n   nmo:contentId \"\" .\n}") << true;
    QTest::newRow("content type without name")
        << attached
            + "Content-Type: text/plain\r\nContent-Disposition: attachment;\r\n"
              " filename*=UTF-8''na%C3%AFve.txt\r\n\r\nx\r\n--b--\r\n"
        << 0 << QStringLiteral("   nfo:fileName \"na\u00efve.txt\" ;\n   nmo:charSet \"\" ;\n")
        << false;
    // Without a size parameter the size is that of the decoded body.
    QTest::newRow("attachment without size")
        << attached
            + "Content-Disposition: attachment\r\nContent-Transfer-Encoding: base64\r\n\r\n"
              "AAAA\r\n--b--\r\n"
        << 0 << QStringLiteral("   nfo:fileSize 3 ;\n   nmo:contentDisposition \"attachment\" ;\n")
        << false;
    // Counted as decoding would count it, broken text included: a letter
    // gives six bits; padding, spaces and other bytes give nothing.
    QTest::newRow("attachment without size, broken base64")
        << attached
            + "Content-Disposition: attachment\r\nContent-Transfer-Encoding: base64\r\n\r\n"
              "QU=JD RA*\r\n\x80RQ\r\n--b--\r\n"
        << 0 << QStringLiteral("   nfo:fileSize 6 ;\n   nmo:contentDisposition \"attachment\" ;\n")
        << false;
    // A soft line break is nothing, a stray "=" itself.
    QTest::newRow("attachment without size, quoted-printable")
        << attached
            + "Content-Disposition: attachment\r\n"
              "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
              "a=3D=\r\nb=ZZ\r\n--b--\r\n"
        << 0 << QStringLiteral("   nfo:fileSize 6 ;\n   nmo:contentDisposition \"attachment\" ;\n")
        << false;
    // An encoded NUL does not cut the subject short.
    QTest::newRow("encoded NUL")
        << QByteArray("From: a@example.org\r\nSubject: =?utf-8?q?before=00after?=\r\n\r\nb\r\n")
        << 0 << QStringLiteral("   nmo:messageSubject \"before\uFFFDafter\" ;\n") << false;
    // An address QUrl would read as a host and port is still an address.
    QTest::newRow("unparseable address")
        << QByteArray("From: <//[x:y>\r\nSubject: s\r\n\r\nbody\r\n") << 0
        << QStringLiteral("        nco:hasEmailAddress <mailto:%2F%2F%5Bx%3Ay> ] ;\n") << false;
    for (const char *encoding : { "7bit", "8bit", "base64", "quoted-printable", "binary", "" }) {
        const QByteArray header
            = *encoding ? "Content-Transfer-Encoding: " + QByteArray(encoding) + "\r\n" : "";
        QTest::addRow("encoding %s", encoding)
            << "From: a@example.org\r\nSubject: enc\r\nMIME-Version: 1.0\r\n"
               "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
               "--b\r\nContent-Type: text/plain\r\n\r\ntext\r\n"
               "--b\r\nContent-Disposition: attachment\r\n"
                + header + "\r\nAAAA\r\n--b--\r\n"
            << 0
            << QStringLiteral("   nmo:contentDescription \"\" ;\n"
                              "   nmo:contentTransferEncoding \"%1\" ;\n")
                   .arg(QLatin1String(encoding))
            << false;
    }
}

void TestIndexerStatements::messageFragments()
{
    QFETCH(QByteArray, rfc2822);
    QFETCH(int, folder);
    QFETCH(QString, fragment);
    QFETCH(bool, atEnd);
    const QMailMessage message = storeMessage(
        rfc2822, QList<QMailFolderId>({ inboxId, sentId, trashId }).at(folder),
        [](QMailMessage &m) {
            m.setStatus(QMailMessageMetaData::Sent | QMailMessageMetaData::Trash, false);
            if (m.date().toLocalTime().date().year() < 9999) {
                m.setDate(QMailTimeStamp());
            }
        });
    QVERIFY(message.id().isValid());
    const QString text = TrackerIndexer::messageInsertStatement(message);
    QVERIFY(!text.contains(QLatin1String("<>")));
    QVERIFY2(atEnd ? text.endsWith(fragment) : text.contains(fragment), qPrintable(text));
}

QTEST_GUILESS_MAIN(TestIndexerStatements)
#include "tst_indexerstatements.moc"
