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
    void metaDataAndAttachment();
    void structure_data();
    void structure();
    void parameters_data();
    void parameters();
    void malformedText_data();
    void malformedText();
    void locations();
    void addresses_data();
    void addresses();
    void addressLists();
    void timeStamps_data();
    void timeStamps();
};

namespace {

const QByteArray Mixed
    = "From: =?UTF-8?Q?J=C3=B6rg?= <jorg@example.org>\n"
      "To: \"Doe, Jane\" <jane@example.org>, bob@example.org\n"
      "Subject: =?ISO-8859-1?Q?Gr=FC=DFe?= and more\nDate: Mon, 15 Jan 2024 09:30:00 -0500\n"
      "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"==outer==\"\n\npreamble\n"
      "--==outer==\nContent-Type: text/plain; charset=ISO-8859-1\n"
      "Content-Transfer-Encoding: quoted-printable\n\nGr=FC=DFe=\n und Tsch=FC=DF\n"
      "--==outer==\nContent-Type: application/pdf; name=\"report 2024.pdf\"\n"
      "Content-Disposition: attachment; filename=\"report.pdf\"; size=11;\n"
      "  creation-date=\"Sun, 14 Jan 2024 10:00:00 +0000\";\n"
      "  modification-date=\"Sun, 14 Jan 2024 11:00:00 +0100\"\n"
      "Content-Transfer-Encoding: base64\nContent-Description: =?UTF-8?B?UmVwb3J0IOKCrA==?=\n"
      "Content-ID: <report@example.org>\n\nSGVsbG8gd29ybGQ=\n"
      "--==outer==\nContent-Type: image/png\nContent-Disposition: inline; filename=logo.png\n"
      "Content-Transfer-Encoding: binary\n\nPNG\n--==outer==--\nepilogue\n";

// The part tree in one line: each container as "type/subtype" ("-" without
// a Content-Type), "@" for an attachment, "~" for an inline part, then its
// parts in braces or "=" and its decoded body.
QString tree(const QMailMessagePartContainer &container)
{
    const QMailMessageContentType type = container.contentType();
    QString text = type.isNull() ? QStringLiteral("-")
                                 : QString::fromLatin1(type.type() + '/' + type.subType());
    const QMailMessageContentDisposition disposition(
        container.headerField(QStringLiteral("Content-Disposition")));
    if (disposition.type() == QMailMessageContentDisposition::Attachment)
        text += QLatin1Char('@');
    else if (disposition.type() == QMailMessageContentDisposition::Inline)
        text += QLatin1Char('~');
    if (container.partCount() == 0)
        return text + QLatin1Char('=')
            + QString::fromLatin1(container.body().data(QMailMessageBody::Decoded));
    QStringList parts;
    for (int i = 0; i < container.partCount(); ++i)
        parts.append(tree(container.partAt(i)));
    return text + QLatin1Char('{') + parts.join(QLatin1Char(',')) + QLatin1Char('}');
}

QDateTime utc(int year, int month, int day, int hour, int minute, int second = 0)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second), Qt::UTC);
}

} // namespace

void TestMailMessage::metaDataAndAttachment()
{
    const QMailMessage message = QMailMessage::fromRfc2822(Mixed);
    QCOMPARE(message.subject(), QStringLiteral("Grüße and more"));
    QCOMPARE(message.headerFieldText(QStringLiteral("Subject")), message.subject());
    QCOMPARE(message.from(),
             QMailAddress(QStringLiteral("Jörg"), QStringLiteral("jorg@example.org")));
    QCOMPARE(message.to().value(0).name(), QStringLiteral("Doe, Jane"));
    QCOMPARE(message.date().toUTC(), utc(2024, 1, 15, 14, 30));
    QCOMPARE(message.date().utcOffset(), -5 * 3600);
    QCOMPARE(message.contentType().boundary(), QByteArray("==outer=="));
    QCOMPARE(message.toRfc2822(), Mixed);
    QCOMPARE(message.partAt(0).contentType().charset(), QByteArray("ISO-8859-1"));
    QCOMPARE(message.partAt(2).transferEncoding(), QMailMessageBody::Binary);
    QCOMPARE(message.partAt(2).contentDisposition().size(), -1);
    QCOMPARE(message.partAt(2).body().data(QMailMessageBody::Encoded), QByteArray("PNG"));
    QCOMPARE(message.partAt(1).headerFields().size(), 5);

    const QMailMessagePart &pdf = message.partAt(1);
    const QMailMessageContentDisposition disposition = pdf.contentDisposition();
    QCOMPARE(disposition.size(), 11);
    QCOMPARE(disposition.filename(), QByteArray("report.pdf"));
    QCOMPARE(disposition.creationDate().toUTC(), utc(2024, 1, 14, 10, 0));
    QCOMPARE(disposition.modificationDate().toUTC(), utc(2024, 1, 14, 10, 0));
    QVERIFY(disposition.readDate().isNull());
    // The file name recorded for an attachment is the Content-Type's name.
    QCOMPARE(pdf.contentType().name(), QByteArray("report 2024.pdf"));
    QCOMPARE(pdf.transferEncoding(), QMailMessageBody::Base64);
    QCOMPARE(pdf.contentDescription(), QStringLiteral("Report €"));
    QCOMPARE(pdf.contentID(), QStringLiteral("report@example.org"));
    QCOMPARE(pdf.displayName(), QStringLiteral("report.pdf"));
    const QByteArray dates = "creation-date=\"Sun, 14 Jan 2024 10:00:00 +0000\"; "
                             "modification-date=\"Sun, 14 Jan 2024 11:00:00 +0100\"";
    const QMailMessageHeaderField field = pdf.headerField(QStringLiteral("content-disposition"));
    QCOMPARE(field.toString(false, true), "attachment; filename=report.pdf; size=11; " + dates);
    QCOMPARE(field.toString(false, false),
             "attachment; filename=\"report.pdf\"; size=11; " + dates);
    QVERIFY(field.toString(true, true).startsWith("Content-Disposition: attachment;"));
    QCOMPARE(pdf.headerField(QStringLiteral("Content-Type")).toString(false, true),
             QByteArray("application/pdf; name=\"report 2024.pdf\""));
    QVERIFY(pdf.headerField(QStringLiteral("X-Missing")).toString().isEmpty());
}

void TestMailMessage::structure_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("parts");
    QTest::addColumn<bool>("attachments");
    QTest::addColumn<int>("content");
    using M = QMailMessageMetaData;
    const std::tuple<const char *, const char *, int> kinds[]
        = { { "", "-=body", M::PlainTextContent },
            { "text/plain; charset=utf-8", "text/plain=body", M::PlainTextContent },
            { "TEXT/HTML", "text/html=body", M::HtmlContent },
            { "image/jpeg", "image/jpeg=body", M::ImageContent },
            { "multipart/report; report-type=delivery-status; boundary=x", "multipart/report=body",
              M::DeliveryReportContent },
            { "text/calendar", "text/calendar=body", M::ICalendarContent },
            { "text/x-vcard", "text/x-vcard=body", M::VCardContent },
            { "application/smil", "application/smil=body", M::SmilContent },
            { "application/octet-stream", "application/octet-stream=body", M::UserContent } };
    for (const auto &kind : kinds) {
        const QByteArray type = std::get<0>(kind);
        QTest::newRow(type.isEmpty() ? "no type" : type.constData())
            << "Subject: kind\n" + (type.isEmpty() ? type : "Content-Type: " + type + "\n")
                + "\nbody"
            << QString::fromLatin1(std::get<1>(kind)) << false << std::get<2>(kind);
    }
    const QString mixed = QStringLiteral("multipart/mixed{text/plain=Grüße und Tschüß,"
                                         "application/pdf@=Hello world,image/png~=PNG}");
    QTest::newRow("mixed") << Mixed << mixed << true << int(M::MultipartContent);
    QTest::newRow("CRLF") << QByteArray(Mixed).replace("\n", "\r\n") << mixed << true
                          << int(M::MultipartContent);
    // An attachment anywhere in the tree counts; an inline part does not.
    QTest::newRow("nested") << QByteArray(
        "Subject: nested\nContent-Type: multipart/mixed; boundary=A\n\n"
        "--A\nContent-Type: multipart/alternative; boundary=B\n\n"
        "--B\nContent-Type: text/plain\n\nplain\n"
        "--B\nContent-Type: application/zip; name=inner.zip\n"
        "Content-Disposition: attachment; filename=inner.zip\n\nzip\n--B--\n"
        "--A\nContent-Type: text/plain; name=notes.txt\n"
        "Content-Disposition: inline; filename=notes.txt\n\nnotes\n--A--\n")
                            << QStringLiteral(
                                   "multipart/mixed{multipart/alternative{text/plain=plain,"
                                   "application/zip@=zip},text/plain~=notes}")
                            << true << int(M::MultipartContent);
    QTest::newRow("alternative") << QByteArray(
        "Subject: x\nContent-Type: multipart/alternative; boundary=C\n\n"
        "--C\nContent-Type: text/plain\n\na\n--C\nContent-Type: text/html\n\n<b>a</b>\n--C--\n")
                                 << QStringLiteral(
                                        "multipart/alternative{text/plain=a,text/html=<b>a</b>}")
                                 << false << int(M::MultipartContent);
    // A delimiter is a whole line: "--b10" inside the first part does not end
    // it, white space may follow a delimiter, and neither the preamble nor
    // anything after the close delimiter is a part.
    QTest::newRow("boundaries") << QByteArray(
        "Content-Type: multipart/mixed; boundary=b1\n\npreamble\n--b1 \t\n"
        "Content-Type: multipart/alternative; boundary=b10\n\n"
        "--b10\nContent-Type: text/plain\n\none\n"
        "--b10\nContent-Type: text/html\n\n<p>two</p>\n--b10--\n"
        "--b1\n\nno header\n--b1--\nepilogue\n--b1\nnot a part\n")
                                << QStringLiteral(
                                       "multipart/mixed{multipart/alternative{"
                                       "text/plain=one,text/html=<p>two</p>},-=no header}")
                                << false << int(M::MultipartContent);
    // Splitting stops 32 levels down: the container there keeps the rest of
    // the text as its body.
    QByteArray deep;
    for (int i = 0; i < 40; ++i)
        deep += "Content-Type: multipart/mixed; boundary=n" + QByteArray::number(i) + "\n\n--n"
            + QByteArray::number(i) + "\n";
    deep += "Content-Type: text/plain\n\nleaf\n";
    QTest::newRow("32 levels") << deep
                               << QStringLiteral("multipart/mixed{").repeated(32)
            + "multipart/mixed=" + QString::fromLatin1(deep.mid(deep.indexOf("--n32\n")))
            + QStringLiteral("}").repeated(32)
                               << false << int(M::MultipartContent);
    QTest::newRow("single part") << QByteArray(
        "Subject: one\nContent-Transfer-Encoding: base64\n\naGk=\n")
                                 << QStringLiteral("-=hi") << false << int(M::PlainTextContent);
}

void TestMailMessage::structure()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, parts);
    QFETCH(bool, attachments);
    QFETCH(int, content);
    const QMailMessage message = QMailMessage::fromRfc2822(text);
    QCOMPARE(int(message.content()), content);
    QCOMPARE(tree(message), parts);
    QCOMPARE(bool(message.status() & QMailMessageMetaData::HasAttachments), attachments);
    QCOMPARE(message.size(), uint(text.size()));
    QCOMPARE(message.hasBody(), message.partCount() == 0);
    if (message.partCount() > 1 && message.partAt(0).partCount() > 1)
        QCOMPARE(message.partAt(0).partAt(1).location().toString(false), QStringLiteral("1.2"));
}

void TestMailMessage::parameters_data()
{
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<QByteArray>("parameter");
    QTest::addColumn<QString>("value");
    auto row = [](const char *tag, const char *field, const char *parameter, const char *value) {
        QTest::newRow(tag) << QByteArray(field) << QByteArray(parameter)
                           << QString::fromUtf8(value);
    };
    row("continued", "attachment; filename*0=\"long file \"; filename*1=\"name.txt\"", "filename",
        "long file name.txt");
    row("encoded", "attachment; filename*=UTF-8''%E2%82%AC%20rate.txt", "filename", "€ rate.txt");
    row("encoded word", "text/plain; name=\"=?UTF-8?B?w6TDtsO8LnR4dA==?=\"", "name", "äöü.txt");
    row("quoted semicolon", "text/plain; name=\"a;b.txt\"; charset=us-ascii", "name", "a;b.txt");
    row("after quoted semicolon", "text/plain; name=\"a;b.txt\"; charset=us-ascii", "charset",
        "us-ascii");
    row("not a number", "attachment; size=lots", "size", "lots");
}

void TestMailMessage::parameters()
{
    QFETCH(QByteArray, field);
    QFETCH(QByteArray, parameter);
    QFETCH(QString, value);
    const QMailMessageContentDisposition parsed(field);
    QCOMPARE(QString::fromUtf8(parsed.parameter(parameter)), value);
    if (parameter == "size")
        QCOMPARE(parsed.size(), -1);
}

void TestMailMessage::malformedText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("garbage") << QByteArray("\x01\x02\xff\xfe not mail at all");
    QTest::newRow("headers only") << QByteArray("Subject: cut");
    QTest::newRow("truncated multipart") << Mixed.left(Mixed.indexOf("SGVsbG8"));
    QTest::newRow("multipart without boundary")
        << QByteArray("Content-Type: multipart/mixed\n\nbody\n");
    QTest::newRow("broken fields")
        << QByteArray("From: <<<@@@>>>\nTo: ,,,\nDate: yesterday\n"
                      "Content-Type: ;;;===\nContent-Disposition: =\n\nx\n");
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
    QVERIFY(QMailAddress(QStringLiteral("X"), QStringLiteral("x@y")) != QMailAddress("x@y"));
    QVERIFY(QMailAddress(QStringLiteral("x@y"), QStringLiteral("x@y")) == QMailAddress("x@y"));
}

void TestMailMessage::timeStamps_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QDateTime>("utc");
    QTest::addColumn<int>("offset");
    QTest::newRow("full") << "Tue, 1 Jul 2003 10:52:37 +0200" << utc(2003, 7, 1, 8, 52, 37) << 7200;
    // Obsolete forms: no week day, two-digit year, zone names.
    QTest::newRow("two-digit year") << "1 Jul 03 10:52:37 GMT" << utc(2003, 7, 1, 10, 52, 37) << 0;
    QTest::newRow("zone name") << "Tue, 1 Jul 2003 10:52:37 EST" << utc(2003, 7, 1, 15, 52, 37)
                               << -5 * 3600;
    // RFC 5322 4.3: four digits as written, two and three digits mapped.
    QTest::newRow("year 0001") << "1 Jul 0001 10:52:37 +0000" << utc(1, 7, 1, 10, 52, 37) << 0;
    QTest::newRow("year 49") << "1 Jul 49 10:52:37 +0000" << utc(2049, 7, 1, 10, 52, 37) << 0;
    QTest::newRow("year 50") << "1 Jul 50 10:52:37 +0000" << utc(1950, 7, 1, 10, 52, 37) << 0;
    QTest::newRow("year 103") << "1 Jul 103 10:52:37 +0000" << utc(2003, 7, 1, 10, 52, 37) << 0;
    QTest::newRow("29 Feb 1900") << "29 Feb 1900 10:52:37 +0000" << QDateTime() << 0;
    // Text that is no date gives no date; so does the year 0000.
    QTest::newRow("year 0000") << "1 Jul 0000 10:52:37 +0000" << QDateTime() << 0;
    QTest::newRow("no date") << "yesterday" << QDateTime() << 0;
    QTest::newRow("empty") << "" << QDateTime() << 0;
}

void TestMailMessage::timeStamps()
{
    QFETCH(QString, text);
    QFETCH(QDateTime, utc);
    QFETCH(int, offset);
    const QMailTimeStamp stamp(text);
    QCOMPARE(stamp.isValid(), utc.isValid());
    QCOMPARE(stamp.toUTC(), utc);
    QCOMPARE(stamp.toLocalTime(), utc.toLocalTime());
    if (!utc.isValid())
        return;
    QCOMPARE(stamp.utcOffset(), offset);
    QVERIFY(QMailTimeStamp(stamp.toString()) == stamp);
    const QDateTime local(QDate(2022, 3, 4), QTime(5, 6, 7));
    QCOMPARE(QMailTimeStamp(local).toLocalTime(), local);
    QVERIFY(QMailTimeStamp(QDateTime()).isNull());
    QVERIFY(QMailTimeStamp::fromMSecsSinceEpoch(0, 3600)
            < QMailTimeStamp::fromMSecsSinceEpoch(1, 0));
}

QTEST_GUILESS_MAIN(TestMailMessage)
#include "tst_qmailmessage.moc"
