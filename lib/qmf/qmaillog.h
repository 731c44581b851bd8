#ifndef QMAILLOG_H
#define QMAILLOG_H

#include <QDebug>
#include <QString>

// Categorised logging of the mail framework.
//
// qMailLoggersRecreate() reads the logging groups of a settings file:
//   [Syslog]       Enabled=0|1
//   [FileLog]      Enabled=0|1, Path=<file>
//   [StdStreamLog] Enabled=0|1
//   [Log categories] <Category>=0|1
// and routes every message of the process to the enabled outputs. Category
// records (QLogBase::log) reach only the enabled outputs; warnings and critical
// messages go to standard error as well when no output is enabled, so they are
// never lost. Lines on standard error start with the local time, except where
// standard error is the journal (JOURNAL_STREAM), which adds its own.
void qMailLoggersRecreate(const QString &organization, const QString &application,
                          const char *ident);

// Registers a one-byte category flag (0 undetermined, 2 off, 3 on). Recreating
// the loggers resets every registered flag to 0, so the next test re-reads it.
void qmf_registerLoggingFlag(char *flag);

// Whether the "Log categories" group switches the category on; a category the
// group does not mention yields defaultValue.
bool qmf_checkLoggingEnabled(const char *category, bool defaultValue);

class QLogBase
{
public:
    // A debug stream that writes one record under the category when it goes
    // out of scope. The category text must outlive the record (use literals).
    static QDebug log(const char *category);
};

// Tests a category through its flag, determining the flag on first use.
bool qmf_isCategoryEnabled(char &flag, const char *category);

// Declares a process-wide category flag; use once per category in a header.
#define QMAIL_DECLARE_LOG_CATEGORY(name)                                                           \
    inline char &qmf_logFlag_##name()                                                              \
    {                                                                                              \
        static char flag = 0;                                                                      \
        return flag;                                                                               \
    }

// qMailLog(Category) << "text" << value; builds nothing when the category is off.
#define qMailLog(name)                                                                             \
    if (!qmf_isCategoryEnabled(qmf_logFlag_##name(), #name)) {                                     \
    } else                                                                                         \
        QLogBase::log(#name)

#endif // QMAILLOG_H
