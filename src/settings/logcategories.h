#ifndef LOGCATEGORIES_H
#define LOGCATEGORIES_H

#include <qmaillog.h>

// The daemon's log categories; each is switched in the settings file's
// "Log categories" group and is on when the file does not mention it.
QMAIL_DECLARE_LOG_CATEGORY(Notifications)
QMAIL_DECLARE_LOG_CATEGORY(Indexer)
QMAIL_DECLARE_LOG_CATEGORY(Queries)
QMAIL_DECLARE_LOG_CATEGORY(Scheduler)
QMAIL_DECLARE_LOG_CATEGORY(Watcher)
QMAIL_DECLARE_LOG_CATEGORY(Transfer)

#endif // LOGCATEGORIES_H
