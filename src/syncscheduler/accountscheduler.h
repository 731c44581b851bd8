#ifndef ACCOUNTSCHEDULER_H
#define ACCOUNTSCHEDULER_H

#include <Accounts/Account>

#include <qmailheartbeattimer.h>
#include <qmailid.h>
#include <qmailserviceaction.h>

#include <QDateTime>
#include <QObject>
#include <QTimer>

#include <functional>

// The synchronisation schedule of one e-mail account: a peak interval on the
// peak days within the daily peak window, an off-peak interval otherwise, the
// timers that fire syncs and peak/off-peak switches, and the bookkeeping of a
// sync that is running or owed. Interval codes: -1 none, 0 always-on (no
// periodic timer), n > 0 every n minutes; a forced schedule of -2 means none.
class AccountScheduler : public QObject
{
    Q_OBJECT
public:
    typedef std::function<void()> SuccessHandler;
    typedef std::function<void(const QMailServiceAction::Status &)> FailureHandler;

    AccountScheduler(Accounts::AccountId id, int peakDays, int peakStart, int peakEnd,
                     int peakSchedule, int offPeakSchedule);
    ~AccountScheduler() override;

    void startScheduler(bool aImmediateSyncAllowed);
    void stopScheduler();
    void reset(int peakDays, int peakStart, int peakEnd, int peakSchedule, int offPeakSchedule,
               bool aImmediateSyncAllowed);

    void setSchedule(int minutes, bool immediate);
    int updateSchedule();
    int scheduleAt(const QDateTime &t);
    bool isPeakTime(const QDateTime &t);
    bool isPeakDay(const QDateTime &t);
    QDateTime nextSwitchTime(const QDateTime &t);

    void setForcedSchedule(int minutes);

    // Starts the whole-account synchronisation unless one is in progress; its
    // outcome comes back through the handlers (possibly more than once).
    void doSync(const SuccessHandler &success, const FailureHandler &failure);
    void onSyncSucceed();
    void onSyncFailed(const QMailServiceAction::Status &status);

    Accounts::AccountId accountId() const { return mAccountId; }
    int currentSchedule() const { return mCurrentSchedule; }
    bool isSyncInProgress() const { return mSyncInProgress; }

    // What the account's status publisher reads. The observer is told after
    // every change of the schedule or of a sync's state; a plain callable,
    // so that the scheduler's signals stay those the scheduling needs.
    int forcedSchedule() const { return mForcedSchedule; }
    bool isPeakInForce() const
    {
        return mPeakSchedule != mOffPeakSchedule && mCurrentSchedule == mPeakSchedule;
    }
    // When the interval timer fires next; invalid when it is not running.
    QDateTime nextSyncTime() const;
    // The outcome of the last sync that reported back, and when the last
    // successful one did (invalid when none has yet).
    const QMailServiceAction::Status &lastStatus() const { return mLastStatus; }
    QDateTime lastSuccessTime() const { return mLastSuccess; }
    void setStateObserver(const std::function<void()> &observer) { mObserver = observer; }

Q_SIGNALS:
    void sync(Accounts::AccountId);
    void checkAlwaysOn(Accounts::AccountId);

public Q_SLOTS:
    void onOnlineStateChanged(bool online);
    void onDelayedSync();
    void onSyncTime();
    void onPeakTime();
    void onFoldersUpdated(const QMailFolderIdList &);

protected:
    // The wall clock in local time. Every decision about peak time asks it;
    // tests pin it to chosen date-times.
    virtual QDateTime currentDateTime() const;

    Accounts::AccountId mAccountId;
    int mPeakDays;
    int mPeakStart;
    int mPeakEnd;
    int mPeakSchedule;
    int mOffPeakSchedule;
    int mForcedSchedule = -2;
    int mCurrentSchedule = -1;
    QMailHeartbeatTimer mSyncTimer;
    QTimer mPeakTimer;
    bool mSyncPending = false;
    bool mSyncInProgress = false;

private:
    void stateChanged() const
    {
        if (mObserver) {
            mObserver();
        }
    }

    QMailServiceAction::Status mLastStatus;
    QDateTime mLastSuccess;
    std::function<void()> mObserver;
};

#endif // ACCOUNTSCHEDULER_H
