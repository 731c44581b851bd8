#ifndef TRANSFERUI_H
#define TRANSFERUI_H

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class JobViewProxy;
class JobViewServerProxy;
class QDBusPendingCallWatcher;

// The transfer-progress UI of the handset, over the desktop's job-progress
// service (org.kde.JobViewServer on the session bus, which hands out one
// org.kde.JobViewV2 view per job). The two APIs do not match one to one;
// this is how a transfer is shown:
//
//   registerTransfer      nothing yet: a view can be asked for only together
//                         with its icon, which the caller sets afterwards.
//                         Null when init() has not succeeded or the service
//                         is not on the bus at that moment.
//   setActive             asks for a view (title: the registered name, icon,
//                         cancellable) unless the transfer already has a live
//                         one; a failed transfer's view is reused, its
//                         failure cleared (setInfoMessage(""),
//                         clearDescriptionField(0)). A closed transfer gets a
//                         new view, since a terminated view cannot be reused.
//   setProgress           setPercent(fraction * 100), rounded and held to 0 to
//                         100, also on a failed transfer's view.
//   markFailure           setInfoMessage(header) and setDescriptionField(0,
//                         header, detail), and the view stays: terminating it
//                         would end the entry, which must stay until the next
//                         success. A later failure shows its own detail.
//   markDone              terminate("") on a live or failed view: the entry
//                         closes.
//   markCancelled         nothing to show: the entry stays until the
//                         cancelled actions end.
//   removeTransfer        closes a view that is still live or failed.
//   the view's cancelRequested   the transfer's cancel().
// When the application quits (its aboutToQuit), every view still live or
// failed is terminated, waiting up to a second for each: the program's
// transfers end with it.
//
// Calls made while a view is being asked for wait for it and follow in order;
// the client keeps them, so a transfer deleted meanwhile still has its view
// closed when it arrives.
// Every call is asynchronous; only init() asks the bus (not the service)
// whether the service has an owner. If the service leaves the bus, views are
// forgotten; when it comes back, every transfer that is active asks for a new
// view, showing its current progress. A service that appears only after a
// failed init() is not used: the caller decided at construction to go without.
namespace TransferUI {

class Client;

class Transfer : public QObject
{
    Q_OBJECT
public:
    ~Transfer() override;

    QString transferId() const { return mId; }
    QString name() const { return mName; }
    float progress() const { return mProgress; }
    bool isCancelled() const { return mCancelled; }

    // The transfer's size in bytes; 0 is unknown. The job view shows no size.
    void setSize(quint64 bytes) { mSize = bytes; }
    void setIcon(const QString &iconId) { mIcon = iconId; }
    void setActive(float progress);
    void setProgress(float done);
    void markCancelled() { mCancelled = true; }
    void markDone(const QString &text);
    void markFailure(const QString &header, const QString &detail);

Q_SIGNALS:
    void cancel();

private:
    friend class Client;
    enum State { Registered, Active, Failed, Done };

    typedef std::function<void(JobViewProxy *)> ViewCall;

    Transfer(Client *client, const QString &id, const QString &name);
    void requestView();
    // Calls the view now, after it has arrived, or not at all without one.
    void callView(const ViewCall &call);
    bool isShown() const { return mState == Active || mState == Failed; }
    void closeView(const QString &message);
    void forgetView();

    QPointer<Client> mClient;
    QString mId;
    QString mName;
    QString mIcon;
    quint64 mSize = 0;
    float mProgress = 0.0f;
    bool mCancelled = false;
    State mState = Registered;
    JobViewProxy *mView = nullptr;
    QDBusPendingCallWatcher *mRequest = nullptr; // the view being asked for
};

class Client : public QObject
{
    Q_OBJECT
public:
    enum TransferType { Upload = 0, Download = 1, Sync = 2 };

    explicit Client(QObject *parent = nullptr);
    ~Client() override;

    // True when the job-progress service is on the session bus.
    bool init();
    // A new transfer owned by the caller, or null (see above). The type and
    // the client id are not shown by the job view.
    Transfer *registerTransfer(const QString &name, TransferType type,
                               const QString &clientId = QString());
    // Takes the transfer off the UI; the caller deletes it.
    void removeTransfer(const QString &transferId);

private:
    friend class Transfer;
    struct PendingView
    {
        QPointer<Transfer> transfer;
        QList<Transfer::ViewCall> calls;
        bool closed = false; // terminated before it arrived
    };

    void onViewReady(QDBusPendingCallWatcher *call);
    void onOwnerChanged(const QString &service, const QString &oldOwner, const QString &newOwner);
    void onQuit();

    QHash<QDBusPendingCallWatcher *, PendingView> mPending;
    JobViewServerProxy *mServer = nullptr;
    QString mOwner; // the service's unique name on the bus, as last heard
    bool mServiceUp = false;
    quint64 mLastId = 0;
    QList<Transfer *> mTransfers;
};

} // namespace TransferUI

#endif // TRANSFERUI_H
