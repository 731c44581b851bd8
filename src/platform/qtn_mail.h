#ifndef QTN_MAIL_H
#define QTN_MAIL_H

// Logical text ids of the e-mail application's catalogue, looked up with
// qtTrId(id, -1) once init_translation_package() has loaded the catalogue.
namespace qtn_mail {

extern const char *notification_new_messages; // one place marker: the number of messages
extern const char *no_subject;
extern const char *failed;
extern const char *cannot_connect_server;
extern const char *error_disk_full;
extern const char *message_not_available_error;
extern const char *message_processing_error;
extern const char *server_lock_error;
extern const char *invalidemailaddress; // one place marker, filled with an empty text
extern const char *server_connection_timeout;
extern const char *generic_error;

// Loads the catalogue for the system locale, or the English one when there is
// none for it. Needs the application object; returns false when no catalogue
// could be loaded at all (qtTrId then yields the ids themselves).
bool init_translation_package();

} // namespace qtn_mail

#endif // QTN_MAIL_H
