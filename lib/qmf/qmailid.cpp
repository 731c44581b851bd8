#include "qmailid.h"

namespace {

template<typename Id> QDebug writeId(QDebug debug, const char *kind, const Id &id)
{
    QDebugStateSaver saver(debug);
    debug.nospace() << kind << '(' << id.toULongLong() << ')';
    return debug;
}

// Registered when the library is loaded, so that ids and id lists travel in
// queued connections and string-based signal signatures of every process.
void registerIdTypes()
{
    qRegisterMetaType<QMailAccountId>("QMailAccountId");
    qRegisterMetaType<QMailFolderId>("QMailFolderId");
    qRegisterMetaType<QMailMessageId>("QMailMessageId");
    qRegisterMetaType<QMailAccountIdList>("QMailAccountIdList");
    qRegisterMetaType<QMailFolderIdList>("QMailFolderIdList");
    qRegisterMetaType<QMailMessageIdList>("QMailMessageIdList");
}
Q_CONSTRUCTOR_FUNCTION(registerIdTypes)

} // namespace

QDebug operator<<(QDebug debug, const QMailAccountId &id)
{
    return writeId(debug, "QMailAccountId", id);
}

QDebug operator<<(QDebug debug, const QMailFolderId &id)
{
    return writeId(debug, "QMailFolderId", id);
}

QDebug operator<<(QDebug debug, const QMailMessageId &id)
{
    return writeId(debug, "QMailMessageId", id);
}
