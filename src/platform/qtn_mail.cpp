#include "qtn_mail.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTranslator>
#include <QtDebug>

static void initTranslationResources()
{
    // The catalogue is a resource of a static library: register it explicitly.
    Q_INIT_RESOURCE(tavik_translations);
}

namespace qtn_mail {

const char *notification_new_messages = "qtn_mail_notification_new_messages";
const char *no_subject = "qtn_mail_no_subject";
const char *failed = "qtn_mail_failed";
const char *cannot_connect_server = "qtn_mail_cannot_connect_server";
const char *error_disk_full = "qtn_mail_error_disk_full";
const char *message_not_available_error = "qtn_mail_message_not_available_error";
const char *message_processing_error = "qtn_mail_message_processing_error";
const char *server_lock_error = "qtn_mail_server_lock_error";
const char *invalidemailaddress = "qtn_mail_invalidemailaddress";
const char *server_connection_timeout = "qtn_mail_server_connection_timeout";
const char *generic_error = "qtn_mail_generic_error";

bool init_translation_package()
{
    static QTranslator *translator = nullptr;
    if (translator) {
        return true;
    }
    initTranslationResources();

    const QString folder = QStringLiteral(":/translations");
    auto *candidate = new QTranslator(QCoreApplication::instance());
    if (!candidate->load(QLocale::system(), QStringLiteral("tavik"), QStringLiteral("_"), folder)
        && !candidate->load(QStringLiteral("tavik_en"), folder)) {
        qWarning("Cannot load the e-mail translation catalogue");
        delete candidate;
        return false;
    }
    QCoreApplication::installTranslator(candidate);
    translator = candidate;
    return true;
}

} // namespace qtn_mail
