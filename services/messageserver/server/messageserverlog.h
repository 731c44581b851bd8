#ifndef MESSAGESERVERLOG_H
#define MESSAGESERVERLOG_H

#include <qmaillog.h>

// The message server's own log category, "MessageServer".
QMAIL_DECLARE_LOG_CATEGORY(MessageServer)

#endif // MESSAGESERVERLOG_H
