#include "qtn_mail.h"

#include <QtTest>

// The e-mail application's texts as the daemon looks them up: by id, with the
// place markers the callers fill.
class TestCatalogue : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void everyIdHasAText();
};

void TestCatalogue::everyIdHasAText()
{
    // Loading twice keeps one catalogue in force.
    QVERIFY(qtn_mail::init_translation_package() && qtn_mail::init_translation_package());
    for (const char *id :
         { qtn_mail::notification_new_messages, qtn_mail::no_subject, qtn_mail::failed,
           qtn_mail::cannot_connect_server, qtn_mail::error_disk_full,
           qtn_mail::message_not_available_error, qtn_mail::message_processing_error,
           qtn_mail::server_lock_error, qtn_mail::invalidemailaddress,
           qtn_mail::server_connection_timeout, qtn_mail::generic_error }) {
        const QString text = qtTrId(id, -1);
        QVERIFY2(!text.isEmpty() && text != QLatin1String(id), id);
    }
    QCOMPARE(qtTrId(qtn_mail::no_subject, -1), QStringLiteral("(no subject)"));
    QCOMPARE(qtTrId(qtn_mail::notification_new_messages, -1).arg(qlonglong(3)),
             QStringLiteral("3 new messages"));
    QCOMPARE(qtTrId(qtn_mail::invalidemailaddress, -1).arg(QString()),
             QStringLiteral("Invalid e-mail address"));
}

QTEST_GUILESS_MAIN(TestCatalogue)
#include "tst_catalogue.moc"
