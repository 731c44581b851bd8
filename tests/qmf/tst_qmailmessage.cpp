// Messages, parts, header fields, addresses and time stamps parsed from RFC
// 822 text, including malformed input.

#include <qmailaddress.h>
#include <qmailmessage.h>
#include <qmailtimestamp.h>

#include <QtTest>

class TestMailMessage : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void metaDataFromText();
    void contentKinds_data();
    void contentKinds();
    void topLevelParts();
    void attachmentFields();
    void headerFieldText();
    void rfc2231Parameters();
    void nestedAndInlineParts();
    void multipartBoundaries();
    void deepNesting();
    void singlePartMessage();
    void crlfText();
    void malformedText_data();
    void malformedText();
    void locations();
    void addresses_data();
    void addresses();
    void addressLists();
    void timeStamps();
};

namespace {

const QByteArray Mixed = "From: =?UTF-8?Q?J=C3=B6rg?= <jorg@example.org>\n"
                         "To: \"Doe, Jane\" <jane@example.org>, bob@example.org\n"
                         "Subject: =?ISO-8859-1?Q?Gr=FC=DFe?= and more\n"
                         "Date: Mon, 15 Jan 2024 09:30:00 -0500\n"
                         "MIME-Version: 1.0\n"
                         "Content-Type: multipart/mixed; boundary=\"==outer==\"\n"
                         "\n"
                         "preamble\n"
                         "--==outer==\n"
                         "Content-Type: text/plain; charset=ISO-8859-1\n"
                         "Content-Transfer-Encoding: quoted-printable\n"
                         "\n"
                         "Gr=FC=DFe=\n"
                         " und Tsch=FC=DF\n"
                         "--==outer==\n"
                         "Content-Type: application/pdf; name=\"report 2024.pdf\"\n"
                         "Content-Disposition: attachment; filename=\"report.pdf\"; size=11;\n"
                         "  creation-date=\"Sun, 14 Jan 2024 10:00:00 +0000\";\n"
                         "  modification-date=\"Sun, 14 Jan 2024 11:00:00 +0100\"\n"
                         "Content-Transfer-Encoding: base64\n"
                         "Content-Description: =?UTF-8?B?UmVwb3J0IOKCrA==?=\n"
                         "Content-ID: <report@example.org>\n"
                         "\n"
                         "SGVsbG8gd29ybGQ=\n"
                         "--==outer==\n"
                         "Content-Type: image/png\n"
                         "Content-Disposition: inline; filename=logo.png\n"
                         "Content-Transfer-Encoding: binary\n"
                         "\n"
                         "PNG\n"
                         "--==outer==--\n"
                         "epilogue\n";

} // namespace

void TestMailMessage::metaDataFromText()
{
    const QMailMessage message = QMailMessage::fromRfc2822(Mixed);
    QCOMPARE(message.subject(), QStringLiteral("Grüße and more"));
    QCOMPARE(message.from().name(), QStringLiteral("Jörg"));
    QCOMPARE(message.from().address(), QStringLiteral("jorg@example.org"));
    QCOMPARE(message.to().size(), 2);
    QCOMPARE(message.to().at(0).name(), QStringLiteral("Doe, Jane"));
    QCOMPARE(message.date().toUTC(), QDateTime(QDate(2024, 1, 15), QTime(14, 30), Qt::UTC));
    QCOMPARE(message.date().utcOffset(), -5 * 3600);
    QCOMPARE(message.size(), uint(Mixed.size()));
    QCOMPARE(message.content(), QMailMessageMetaData::MultipartContent);
    QVERIFY(message.status() & QMailMessageMetaData::HasAttachments);
    QCOMPARE(message.toRfc2822(), Mixed);
}

void TestMailMessage::contentKinds_data()
{
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<int>("content");
    QTest::newRow("none") << QByteArray() << int(QMailMessageMetaData::PlainTextContent);
    QTest::newRow("plain") << QByteArray("text/plain; charset=utf-8")
                           << int(QMailMessageMetaData::PlainTextContent);
    QTest::newRow("html") << QByteArray("text/html") << int(QMailMessageMetaData::HtmlContent);
    QTest::newRow("upper") << QByteArray("TEXT/HTML") << int(QMailMessageMetaData::HtmlContent);
    QTest::newRow("image") << QByteArray("image/jpeg") << int(QMailMessageMetaData::ImageContent);
    QTest::newRow("report") << QByteArray(
        "multipart/report; report-type=delivery-status; boundary=x")
                            << int(QMailMessageMetaData::DeliveryReportContent);
    QTest::newRow("calendar") << QByteArray("text/calendar")
                              << int(QMailMessageMetaData::ICalendarContent);
    QTest::newRow("vcard") << QByteArray("text/x-vcard") << int(QMailMessageMetaData::VCardContent);
    QTest::newRow("smil") << QByteArray("application/smil")
                          << int(QMailMessageMetaData::SmilContent);
    QTest::newRow("other") << QByteArray("application/octet-stream")
                           << int(QMailMessageMetaData::UserContent);
}

void TestMailMessage::contentKinds()
{
    QFETCH(QByteArray, contentType);
    QFETCH(int, content);
    QByteArray text = "Subject: kind\n";
    if (!contentType.isEmpty())
        text += "Content-Type: " + contentType + "\n";
    text += "\nbody\n";
    QCOMPARE(int(QMailMessage::fromRfc2822(text).content()), content);
}

void TestMailMessage::topLevelParts()
{
    const QMailMessage message = QMailMessage::fromRfc2822(Mixed);
    QCOMPARE(message.partCount(), 3);
    QCOMPARE(message.contentType().type(), QByteArray("multipart"));
    QCOMPARE(message.contentType().subType(), QByteArray("mixed"));
    QCOMPARE(message.contentType().boundary(), QByteArray("==outer=="));

    const QMailMessagePart &text = message.partAt(0);
    QCOMPARE(text.contentDisposition().type(), QMailMessageContentDisposition::None);
    QCOMPARE(text.contentType().charset(), QByteArray("ISO-8859-1"));
    QCOMPARE(text.transferEncoding(), QMailMessageBody::QuotedPrintable);
    QCOMPARE(text.body().data(QMailMessageBody::Decoded),
             QByteArray("Gr\xfc\xdf"
                        "e und Tsch\xfc\xdf"));

    const QMailMessagePart &image = message.partAt(2);
    QCOMPARE(image.contentDisposition().type(), QMailMessageContentDisposition::Inline);
    QCOMPARE(image.transferEncoding(), QMailMessageBody::Binary);
    QCOMPARE(image.contentDisposition().size(), -1);
}

void TestMailMessage::attachmentFields()
{
    const QMailMessage message = QMailMessage::fromRfc2822(Mixed);
    const QMailMessagePart &pdf = message.partAt(1);
    const QMailMessageContentDisposition disposition = pdf.contentDisposition();
    QCOMPARE(disposition.type(), QMailMessageContentDisposition::Attachment);
    QCOMPARE(disposition.size(), 11);
    QCOMPARE(disposition.filename(), QByteArray("report.pdf"));
    QCOMPARE(disposition.creationDate().toUTC(),
             QDateTime(QDate(2024, 1, 14), QTime(10, 0), Qt::UTC));
    QCOMPARE(disposition.modificationDate().toUTC(),
             QDateTime(QDate(2024, 1, 14), QTime(10, 0), Qt::UTC));
    QVERIFY(disposition.readDate().isNull());
    // The file name recorded for an attachment is the Content-Type's name.
    QCOMPARE(pdf.contentType().name(), QByteArray("report 2024.pdf"));
    QCOMPARE(pdf.transferEncoding(), QMailMessageBody::Base64);
    QCOMPARE(pdf.contentDescription(), QStringLiteral("Report €"));
    QCOMPARE(pdf.contentID(), QStringLiteral("report@example.org"));
    QCOMPARE(pdf.body().data(QMailMessageBody::Decoded), QByteArray("Hello world"));
    QCOMPARE(pdf.displayName(), QStringLiteral("report.pdf"));
}

void TestMailMessage::headerFieldText()
{
    const QMailMessage message = QMailMessage::fromRfc2822(Mixed);
    const QMailMessagePart &pdf = message.partAt(1);
    const QMailMessageHeaderField field = pdf.headerField(QStringLiteral("content-disposition"));
    QCOMPARE(field.toString(false, true),
             QByteArray("attachment; filename=report.pdf; size=11; "
                        "creation-date=\"Sun, 14 Jan 2024 10:00:00 +0000\"; "
                        "modification-date=\"Sun, 14 Jan 2024 11:00:00 +0100\""));
    QVERIFY(field.toString(true, true).startsWith("Content-Disposition: attachment;"));
    QCOMPARE(field.toString(false, false),
             QByteArray("attachment; filename=\"report.pdf\"; size=11; "
                        "creation-date=\"Sun, 14 Jan 2024 10:00:00 +0000\"; "
                        "modification-date=\"Sun, 14 Jan 2024 11:00:00 +0100\""));
    QCOMPARE(pdf.headerField(QStringLiteral("Content-Type")).toString(false, true),
             QByteArray("application/pdf; name=\"report 2024.pdf\""));
    QVERIFY(pdf.headerField(QStringLiteral("X-Missing")).toString().isEmpty());
    QCOMPARE(message.headerFieldText(QStringLiteral("Subject")), QStringLiteral("Grüße and more"));
}

void TestMailMessage::rfc2231Parameters()
{
    const QMailMessageContentDisposition split(
        QByteArray("attachment; filename*0=\"long file \"; filename*1=\"name.txt\""));
    QCOMPARE(split.filename(), QByteArray("long file name.txt"));
    const QMailMessageContentDisposition encoded(
        QByteArray("attachment; filename*=UTF-8''%E2%82%AC%20rate.txt"));
    QCOMPARE(QString::fromUtf8(encoded.filename()), QStringLiteral("€ rate.txt"));
    const QMailMessageContentType words(
        QByteArray("text/plain; name=\"=?UTF-8?B?w6TDtsO8LnR4dA==?=\""));
    QCOMPARE(QString::fromUtf8(words.name()), QStringLiteral("äöü.txt"));
    const QMailMessageContentType semicolon(
        QByteArray("text/plain; name=\"a;b.txt\"; charset=us-ascii"));
    QCOMPARE(semicolon.name(), QByteArray("a;b.txt"));
    QCOMPARE(semicolon.charset(), QByteArray("us-ascii"));
    const QMailMessageContentDisposition badSize(QByteArray("attachment; size=lots"));
    QCOMPARE(badSize.size(), -1);
}

void TestMailMessage::nestedAndInlineParts()
{
    const QByteArray text = "Subject: nested\n"
                            "Content-Type: multipart/mixed; boundary=A\n"
                            "\n"
                            "--A\n"
                            "Content-Type: multipart/alternative; boundary=B\n"
                            "\n"
                            "--B\n"
                            "Content-Type: text/plain\n"
                            "\n"
                            "plain\n"
                            "--B\n"
                            "Content-Type: application/zip; name=inner.zip\n"
                            "Content-Disposition: attachment; filename=inner.zip\n"
                            "\n"
                            "zip\n"
                            "--B--\n"
                            "--A\n"
                            "Content-Type: text/plain; name=notes.txt\n"
                            "Content-Disposition: inline; filename=notes.txt\n"
                            "\n"
                            "notes\n"
                            "--A--\n";
    const QMailMessage message = QMailMessage::fromRfc2822(text);
    QCOMPARE(message.partCount(), 2);
    QCOMPARE(message.partAt(0).partCount(), 2);
    QCOMPARE(message.partAt(0).contentDisposition().type(), QMailMessageContentDisposition::None);
    const QMailMessagePart &inner = message.partAt(0).partAt(1);
    QCOMPARE(inner.contentDisposition().type(), QMailMessageContentDisposition::Attachment);
    QCOMPARE(inner.location().toString(false), QStringLiteral("1.2"));
    QCOMPARE(message.partAt(1).contentDisposition().type(), QMailMessageContentDisposition::Inline);
    // An attachment anywhere in the tree counts.
    QVERIFY(message.status() & QMailMessageMetaData::HasAttachments);

    const QMailMessage plain = QMailMessage::fromRfc2822(
        "Subject: x\nContent-Type: multipart/alternative; boundary=C\n\n"
        "--C\nContent-Type: text/plain\n\na\n--C\n"
        "Content-Type: text/html\n\n<b>a</b>\n--C--\n");
    QCOMPARE(plain.partCount(), 2);
    QVERIFY(!(plain.status() & QMailMessageMetaData::HasAttachments));
}

void TestMailMessage::multipartBoundaries()
{
    // A delimiter is a whole line: "--b10" inside the first part does not end
    // it, white space may follow a delimiter, and neither the preamble nor
    // anything after the close delimiter is a part.
    const QByteArray text = "Content-Type: multipart/mixed; boundary=b1\n"
                            "\n"
                            "preamble\n"
                            "--b1 \t\n"
                            "Content-Type: multipart/alternative; boundary=b10\n"
                            "\n"
                            "--b10\n"
                            "Content-Type: text/plain\n"
                            "\n"
                            "one\n"
                            "--b10\n"
                            "Content-Type: text/html\n"
                            "\n"
                            "<p>two</p>\n"
                            "--b10--\n"
                            "--b1\n"
                            "\n"
                            "no header\n"
                            "--b1--\n"
                            "epilogue\n"
                            "--b1\n"
                            "not a part\n";
    const QMailMessage message = QMailMessage::fromRfc2822(text);
    QCOMPARE(message.partCount(), 2);
    const QMailMessagePart &alternative = message.partAt(0);
    QCOMPARE(alternative.contentType().subType(), QByteArray("alternative"));
    QCOMPARE(alternative.partCount(), 2);
    QCOMPARE(alternative.partAt(0).body().data(QMailMessageBody::Decoded), QByteArray("one"));
    QCOMPARE(alternative.partAt(1).body().data(QMailMessageBody::Decoded),
             QByteArray("<p>two</p>"));
    QCOMPARE(alternative.partAt(1).location().toString(false), QStringLiteral("1.2"));
    QVERIFY(message.partAt(1).headerFields().isEmpty());
    QVERIFY(message.partAt(1).contentType().isNull());
    QCOMPARE(message.partAt(1).body().data(QMailMessageBody::Decoded), QByteArray("no header"));
}

void TestMailMessage::deepNesting()
{
    // Splitting stops 32 levels down: the container there keeps the rest of
    // the text as its body.
    QByteArray text;
    for (int i = 0; i < 40; ++i)
        text += "Content-Type: multipart/mixed; boundary=n" + QByteArray::number(i) + "\n\n--n"
            + QByteArray::number(i) + "\n";
    text += "Content-Type: text/plain\n\nleaf\n";
    const QMailMessage message = QMailMessage::fromRfc2822(text);
    const QMailMessagePartContainer *container = &message;
    int depth = 0;
    while (container->partCount() > 0) {
        QCOMPARE(container->partCount(), 1);
        container = &container->partAt(0);
        ++depth;
    }
    QCOMPARE(depth, 32);
    QVERIFY(container->hasBody());
    QCOMPARE(container->contentType().boundary(), QByteArray("n32"));
    QVERIFY(container->body().data(QMailMessageBody::Encoded).startsWith("--n32\n"));
    QVERIFY(container->body().data(QMailMessageBody::Encoded).endsWith("leaf\n"));
}

void TestMailMessage::singlePartMessage()
{
    const QMailMessage message
        = QMailMessage::fromRfc2822("Subject: one\nContent-Transfer-Encoding: base64\n\naGk=\n");
    QCOMPARE(message.partCount(), 0);
    QVERIFY(message.hasBody());
    QCOMPARE(message.transferEncoding(), QMailMessageBody::Base64);
    QCOMPARE(message.body().data(QMailMessageBody::Decoded), QByteArray("hi"));
    QVERIFY(message.contentType().isNull());
}

void TestMailMessage::crlfText()
{
    QByteArray text = Mixed;
    text.replace("\n", "\r\n");
    const QMailMessage message = QMailMessage::fromRfc2822(text);
    QCOMPARE(message.partCount(), 3);
    QCOMPARE(message.subject(), QStringLiteral("Grüße and more"));
    QCOMPARE(message.partAt(1).contentDisposition().size(), 11);
    QCOMPARE(message.size(), uint(text.size()));
}

void TestMailMessage::malformedText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("garbage") << QByteArray("\x01\x02\xff\xfe not mail at all");
    QTest::newRow("headers only") << QByteArray("Subject: cut");
    QTest::newRow("truncated multipart") << Mixed.left(Mixed.indexOf("SGVsbG8"));
    QTest::newRow("no closing boundary")
        << QByteArray("Content-Type: multipart/mixed; boundary=Z\n\n--Z\n"
                      "Content-Type: text/plain\n\ntext without end");
    QTest::newRow("multipart without boundary")
        << QByteArray("Content-Type: multipart/mixed\n\nbody\n");
    QTest::newRow("broken fields")
        << QByteArray("From: <<<@@@>>>\nTo: ,,,\nDate: yesterday\n"
                      "Content-Type: ;;;===\nContent-Disposition: =\n\nx\n");
    QByteArray deep;
    for (int i = 0; i < 200; ++i)
        deep += "Content-Type: multipart/mixed; boundary=b" + QByteArray::number(i) + "\n\n--b"
            + QByteArray::number(i) + "\n";
    QTest::newRow("deep nesting") << deep;
    // Thousands of nested parts in a small text: they must cost no more
    // than their size.
    QByteArray deeper;
    for (int i = 0; i < 20000; ++i)
        deeper += "Content-Type: multipart/mixed; boundary=b" + QByteArray::number(i) + "\n\n--b"
            + QByteArray::number(i) + "\n";
    QTest::newRow("20000 nested multiparts") << deeper;
    QByteArray forwards;
    for (int i = 0; i < 100000; ++i)
        forwards += "Content-Type: message/rfc822\n\n";
    QTest::newRow("100000 nested messages") << forwards + "Subject: x\n\nbody\n";
    static const char nul[] = "Subject: a\0b\nContent-Type: multipart/mixed; boundary=\"\0\"\n\n"
                              "--\0\nContent-Disposition: attachment; filename*0*=utf-8''%ZZ%;"
                              " size=99999999999\n\n\0\xff\n--\0--\n";
    QTest::newRow("NUL bytes") << QByteArray(nul, sizeof(nul) - 1);
}

void TestMailMessage::malformedText()
{
    QFETCH(QByteArray, text);
    const QMailMessage message = QMailMessage::fromRfc2822(text);
    QCOMPARE(message.size(), uint(text.size()));
    // Whatever was parsed can be walked without harm.
    std::function<void(const QMailMessagePartContainer &)> walk
        = [&](const QMailMessagePartContainer &c) {
              for (int i = 0; i < c.partCount(); ++i) {
                  const QMailMessagePart &part = c.partAt(i);
                  part.location().toString(true);
                  part.contentDisposition().toString(false, true);
                  part.contentDisposition().creationDate().isValid();
                  part.contentType().name();
                  part.contentDescription();
                  part.contentID();
                  part.body().data(QMailMessageBody::Decoded);
                  walk(part);
              }
          };
    walk(message);
}

void TestMailMessage::locations()
{
    const QMailMessagePartContainer::Location location(QMailMessageId(42), QList<int>() << 2 << 1);
    QCOMPARE(location.toString(true), QStringLiteral("42-2.1"));
    QCOMPARE(location.toString(false), QStringLiteral("2.1"));
    QVERIFY(location.isValid());
    const QMailMessagePartContainer::Location parsed(QStringLiteral("42-2.1"));
    QVERIFY(parsed == location);
    QCOMPARE(parsed.containingMessageId(), QMailMessageId(42));
    QVERIFY(!QMailMessagePartContainer::Location(QStringLiteral("x-1")).isValid());
    QVERIFY(!QMailMessagePartContainer::Location(QStringLiteral("1.0")).isValid(false));
}

void TestMailMessage::addresses_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("plain");
    QTest::addColumn<QString>("delimited");
    auto row = [](const char *tag, const char *text, const char *name, const char *address,
                  const char *plain, const char *delimited) {
        QTest::newRow(tag) << QString::fromUtf8(text) << QString::fromUtf8(name)
                           << QString::fromUtf8(address) << QString::fromUtf8(plain)
                           << QString::fromUtf8(delimited);
    };
    row("bare", "a@b.org", "a@b.org", "a@b.org", "a@b.org", "<a@b.org>");
    row("angle only", "<a@b.org>", "a@b.org", "a@b.org", "a@b.org", "<a@b.org>");
    row("named", "Ann Lee <a@b.org>", "Ann Lee", "a@b.org", "Ann Lee <a@b.org>",
        "Ann Lee <a@b.org>");
    row("quoted comma", "\"Lee, Ann\" <a@b.org>", "Lee, Ann", "a@b.org", "\"Lee, Ann\" <a@b.org>",
        "\"Lee, Ann\" <a@b.org>");
    row("comment", "a@b.org (Ann Lee)", "Ann Lee", "a@b.org", "Ann Lee <a@b.org>",
        "Ann Lee <a@b.org>");
    row("encoded", "=?UTF-8?B?w4VzYQ==?= <asa@b.org>", "Åsa", "asa@b.org", "Åsa <asa@b.org>",
        "Åsa <asa@b.org>");
    row("name is the address", "a@b.org <a@b.org>", "a@b.org", "a@b.org", "a@b.org", "<a@b.org>");
    row("empty", "", "", "", "", "");
}

void TestMailMessage::addresses()
{
    QFETCH(QString, text);
    QFETCH(QString, name);
    QFETCH(QString, address);
    QFETCH(QString, plain);
    QFETCH(QString, delimited);
    const QMailAddress parsed(text);
    QCOMPARE(parsed.name(), name);
    QCOMPARE(parsed.address(), address);
    QCOMPARE(parsed.toString(), plain);
    QCOMPARE(parsed.toString(false), plain);
    QCOMPARE(parsed.toString(true), delimited);
    QVERIFY(QMailAddress(parsed.toString()) == parsed);
}

void TestMailMessage::addressLists()
{
    const QList<QMailAddress> list = QMailAddress::fromStringList(
        QStringLiteral("\"Lee, Ann\" <a@b.org>, c@d.org (Cee, Dee), <e@f.org>,, Team: g@h.org;"));
    QCOMPARE(list.size(), 4);
    QCOMPARE(list.at(0).name(), QStringLiteral("Lee, Ann"));
    QCOMPARE(list.at(1).name(), QStringLiteral("Cee, Dee"));
    QCOMPARE(list.at(2).address(), QStringLiteral("e@f.org"));
    QCOMPARE(list.at(3).address(), QStringLiteral("g@h.org"));
    QVERIFY(QMailAddress(QStringLiteral("X"), QStringLiteral("x@y"))
            != QMailAddress(QStringLiteral("x@y")));
    QVERIFY(QMailAddress(QStringLiteral("x@y"), QStringLiteral("x@y"))
            == QMailAddress(QStringLiteral("x@y")));
}

void TestMailMessage::timeStamps()
{
    const QMailTimeStamp none;
    QVERIFY(!none.isValid());
    QVERIFY(!none.toLocalTime().isValid());

    const QMailTimeStamp stamp(QStringLiteral("Tue, 1 Jul 2003 10:52:37 +0200"));
    QVERIFY(stamp.isValid());
    QCOMPARE(stamp.toUTC(), QDateTime(QDate(2003, 7, 1), QTime(8, 52, 37), Qt::UTC));
    QCOMPARE(stamp.toLocalTime(),
             QDateTime(QDate(2003, 7, 1), QTime(8, 52, 37), Qt::UTC).toLocalTime());
    QCOMPARE(stamp.toString(), QStringLiteral("Tue, 1 Jul 2003 10:52:37 +0200"));
    QVERIFY(QMailTimeStamp(stamp.toString()) == stamp);

    // Obsolete forms: no week day, two-digit year, zone names.
    QCOMPARE(QMailTimeStamp(QStringLiteral("1 Jul 03 10:52:37 GMT")).toUTC(),
             QDateTime(QDate(2003, 7, 1), QTime(10, 52, 37), Qt::UTC));
    QCOMPARE(QMailTimeStamp(QStringLiteral("Tue, 1 Jul 2003 10:52:37 EST")).toUTC(),
             QDateTime(QDate(2003, 7, 1), QTime(15, 52, 37), Qt::UTC));
    // Text that is no date gives no date.
    QVERIFY(!QMailTimeStamp(QStringLiteral("yesterday")).isValid());

    const QDateTime local(QDate(2022, 3, 4), QTime(5, 6, 7));
    const QMailTimeStamp fromLocal(local);
    QCOMPARE(fromLocal.toLocalTime(), local);
    QVERIFY(QMailTimeStamp(QDateTime()).isNull());
    QVERIFY(QMailTimeStamp::fromMSecsSinceEpoch(0, 3600)
            < QMailTimeStamp::fromMSecsSinceEpoch(1, 0));
}

QTEST_GUILESS_MAIN(TestMailMessage)
#include "tst_qmailmessage.moc"
