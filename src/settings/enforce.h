#ifndef ENFORCE_H
#define ENFORCE_H

#include <QtGlobal>

// Evaluates a statement the daemon cannot run without (typically a signal
// connection). When it yields false, the statement is quoted exactly as written
// in the source and the process stops. qFatal, not Q_ASSERT: the check must
// hold in release builds too.
#define ENFORCE(statement)                                                                         \
    do {                                                                                           \
        if (!(statement)) {                                                                        \
            qWarning("ENFORCE failed: \"%s\"", #statement);                                        \
            qFatal("ASSERT: \"%s\" in file %s, line %d", #statement, __FILE__, __LINE__);          \
        }                                                                                          \
    } while (false)

#endif // ENFORCE_H
