#ifndef QMAILSERVICEACTION_H
#define QMAILSERVICEACTION_H

#include "qmailid.h"

#include <QMetaType>
#include <QObject>
#include <QString>

// Vocabulary of mail-service actions: what an action is doing, how it is
// connected, and how it ended. Concrete actions derive from this class.
class QMailServiceAction : public QObject
{
    Q_OBJECT
public:
    enum Connectivity { Offline = 0, Connecting = 1, Connected = 2, Disconnected = 3 };
    Q_ENUM(Connectivity)

    enum Activity { Pending = 0, InProgress = 1, Successful = 2, Failed = 3 };
    Q_ENUM(Activity)

    class Status
    {
    public:
        enum ErrorCode {
            ErrNoError = 0,
            ErrorCodeMinimum = 1024,
            ErrNotImplemented = ErrorCodeMinimum,
            ErrFrameworkFault = 1025,
            ErrSystemError = 1026,
            ErrReserved = 1027,
            ErrUnknownResponse = 1028,
            ErrLoginFailed = 1029,
            ErrCancel = 1030,
            ErrFileSystemFull = 1031,
            ErrNonexistentMessage = 1032,
            ErrEnqueueFailed = 1033,
            ErrNoConnection = 1034,
            ErrConnectionInUse = 1035,
            ErrConnectionNotReady = 1036,
            ErrConfiguration = 1037,
            ErrInvalidAddress = 1038,
            ErrInvalidData = 1039,
            ErrTimeout = 1040,
            ErrInternalStateReset = 1041,
            ErrorCodeMaximum = ErrInternalStateReset
        };

        Status(ErrorCode code = ErrNoError, const QString &text = QString(),
               const QMailAccountId &accountId = QMailAccountId(),
               const QMailFolderId &folderId = QMailFolderId(),
               const QMailMessageId &messageId = QMailMessageId());

        ErrorCode errorCode;
        QString text;
        QMailAccountId accountId;
        QMailFolderId folderId;
        QMailMessageId messageId;
    };

    explicit QMailServiceAction(QObject *parent = nullptr);
    ~QMailServiceAction() override;
};

Q_DECLARE_METATYPE(QMailServiceAction::Status)
Q_DECLARE_METATYPE(QMailServiceAction::Status::ErrorCode)

#endif // QMAILSERVICEACTION_H
