#ifndef QMAILSERVICEACTION_H
#define QMAILSERVICEACTION_H

#include "qmailid.h"

#include <QMetaType>
#include <QObject>
#include <QPair>
#include <QString>

// Vocabulary of mail-service actions: what an action is doing, how it is
// connected, and how it ended. Concrete actions derive from this class; the
// base keeps the state and tells each change by its signal.
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

    Connectivity connectivity() const { return mConnectivity; }
    Activity activity() const { return mActivity; }
    const Status &status() const { return mStatus; }
    QPair<uint, uint> progress() const { return qMakePair(mProgress, mTotal); }
    bool isRunning() const { return mActivity == Pending || mActivity == InProgress; }

public Q_SLOTS:
    // Asks for the action to be cancelled; an action that cannot be cancelled
    // ignores it. A cancelled action ends as failed with ErrCancel.
    virtual void cancelOperation();

Q_SIGNALS:
    void connectivityChanged(QMailServiceAction::Connectivity c);
    void activityChanged(QMailServiceAction::Activity a);
    void statusChanged(const QMailServiceAction::Status &s);
    void progressChanged(uint value, uint total);

protected:
    // Each setter emits its signal only when the value changes.
    void setConnectivity(Connectivity connectivity);
    void setActivity(Activity activity);
    void setStatus(const Status &status);
    void setProgress(uint value, uint total);

private:
    Connectivity mConnectivity = Offline;
    Activity mActivity = Pending;
    Status mStatus;
    uint mProgress = 0;
    uint mTotal = 0;
};

Q_DECLARE_METATYPE(QMailServiceAction::Status)
Q_DECLARE_METATYPE(QMailServiceAction::Status::ErrorCode)

#endif // QMAILSERVICEACTION_H
