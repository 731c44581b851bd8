#include "qmailserviceaction.h"

namespace {

void registerActionTypes()
{
    qRegisterMetaType<QMailServiceAction::Status>("QMailServiceAction::Status");
    qRegisterMetaType<QMailServiceAction::Status::ErrorCode>(
        "QMailServiceAction::Status::ErrorCode");
    qRegisterMetaType<QMailServiceAction::Activity>("QMailServiceAction::Activity");
    qRegisterMetaType<QMailServiceAction::Connectivity>("QMailServiceAction::Connectivity");
}
Q_CONSTRUCTOR_FUNCTION(registerActionTypes)

} // namespace

QMailServiceAction::Status::Status(ErrorCode code, const QString &text,
                                   const QMailAccountId &accountId, const QMailFolderId &folderId,
                                   const QMailMessageId &messageId)
    : errorCode(code)
    , text(text)
    , accountId(accountId)
    , folderId(folderId)
    , messageId(messageId)
{ }

QMailServiceAction::QMailServiceAction(QObject *parent)
    : QObject(parent)
{ }

QMailServiceAction::~QMailServiceAction() = default;
