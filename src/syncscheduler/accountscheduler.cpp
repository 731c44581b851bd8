#include "accountscheduler.h"

#include "logcategories.h"
#include "syncscheduler.h"
#include "tavikbackendstrategies.h"

#include "tavikserviceactionmanager.h"

#include <qmailstore.h>

#include <limits>

namespace {

// The longest interval a timer can hold, in minutes.
const int MaxIntervalMinutes = std::numeric_limits<int>::max() / 60000;

} // namespace

AccountScheduler::AccountScheduler(Accounts::AccountId id, int peakDays, int peakStart, int peakEnd,
                                   int peakSchedule, int offPeakSchedule)
    : mAccountId(id)
    , mPeakDays(peakDays)
    , mPeakStart(peakStart)
    , mPeakEnd(peakEnd)
    , mPeakSchedule(peakSchedule)
    , mOffPeakSchedule(offPeakSchedule)
{
    qMailLog(Scheduler) << "Account scheduler" << id << ", id =" << id
                        << ", peak days =" << peakDays << ", start peak = " << peakStart
                        << ", end peak = " << peakEnd << ", peak schedule = " << peakSchedule
                        << ", offpeak schedule = " << offPeakSchedule;
    TavikServiceActionManager::instance()->setVerbose(true);
    mSyncTimer.setSingleShot(false);
    mPeakTimer.setSingleShot(true);
    connect(&mSyncTimer, SIGNAL(timeout()), this, SLOT(onSyncTime()));
    connect(&mPeakTimer, SIGNAL(timeout()), this, SLOT(onPeakTime()));
    connect(QMailStore::instance(), SIGNAL(foldersUpdated(QMailFolderIdList)), this,
            SLOT(onFoldersUpdated(QMailFolderIdList)));
}

AccountScheduler::~AccountScheduler()
{
    mSyncTimer.stop();
    mPeakTimer.stop();
}

QDateTime AccountScheduler::currentDateTime() const
{
    return QDateTime::currentDateTime();
}

bool AccountScheduler::isPeakDay(const QDateTime &t)
{
    const int bit = t.date().dayOfWeek() - 1;
    return (mPeakDays >> bit) & 1;
}

bool AccountScheduler::isPeakTime(const QDateTime &t)
{
    if (!isPeakDay(t)) {
        qMailLog(Scheduler) << "account" << mAccountId << ": not a peak day";
        return false;
    }
    const int m = t.time().hour() * 60 + t.time().minute();
    const int s = mPeakStart;
    const int e = mPeakEnd;
    bool peak;
    if (s < e) {
        peak = s <= m && m < e;
    } else if (s > e) {
        peak = m >= s || m < e;
    } else {
        peak = true;
    }
    if (peak) {
        qMailLog(Scheduler) << "account" << mAccountId << ": peak time," << m
                            << "minutes from midnight";
    } else {
        qMailLog(Scheduler) << "account" << mAccountId << ": offpeak time," << m
                            << "minutes from midnight";
    }
    return peak;
}

int AccountScheduler::scheduleAt(const QDateTime &t)
{
    return isPeakTime(t) ? mPeakSchedule : mOffPeakSchedule;
}

QDateTime AccountScheduler::nextSwitchTime(const QDateTime &t)
{
    const int lo = qMin(mPeakStart, mPeakEnd);
    const int hi = qMax(mPeakStart, mPeakEnd);
    const QDateTime midnight(t.date(), QTime(0, 0));
    const QDateTime a = midnight.addSecs(qint64(lo) * 60);
    QDateTime result;
    if (!(a < t)) {
        result = a;
    } else {
        const QDateTime b = midnight.addSecs(qint64(hi) * 60);
        if (t < b) {
            result = b;
        } else if (isPeakDay(t) != isPeakDay(t.addDays(1))) {
            result = QDateTime(t.date().addDays(1), QTime(0, 0));
        } else {
            result = a.addDays(1);
        }
    }
    qMailLog(Scheduler) << "account" << mAccountId << ": the next schedule switch will happen at"
                        << result;
    return result;
}

int AccountScheduler::updateSchedule()
{
    mPeakTimer.stop();
    mForcedSchedule = -2;
    mCurrentSchedule = mOffPeakSchedule;
    if (mPeakSchedule == mOffPeakSchedule) {
        return mCurrentSchedule;
    }
    const QDateTime t = currentDateTime().addSecs(30);
    if (isPeakTime(t)) {
        mCurrentSchedule = mPeakSchedule;
    }
    QDateTime next = nextSwitchTime(t);
    if (next < t) {
        // Only a window edge outside the day (a negative start or end in the
        // settings) gives a switch that is already past; a timer armed for it
        // would fire at once, again and again. Look again when the day changes.
        qWarning() << "account" << mAccountId << ": peak window" << mPeakStart << "to" << mPeakEnd
                   << "is outside the day, next look at midnight";
        next = QDateTime(t.date().addDays(1), QTime(0, 0));
    }
    const qint64 seconds = qMax<qint64>(0, currentDateTime().secsTo(next));
    mPeakTimer.start(int(qMin<qint64>(seconds * 1000, std::numeric_limits<int>::max())));
    return mCurrentSchedule;
}

void AccountScheduler::setSchedule(int minutes, bool immediate)
{
    mSyncTimer.stop();
    // -1 is "no periodic sync"; other negative codes are treated alike rather
    // than arming a timer with a negative period.
    if (minutes < 0) {
        stateChanged();
        return;
    }
    if (minutes != 0) {
        mSyncTimer.setInterval(60000 * qMin(minutes, MaxIntervalMinutes));
        mSyncTimer.start();
    }
    if (immediate) {
        onDelayedSync();
    }
    stateChanged();
}

QDateTime AccountScheduler::nextSyncTime() const
{
    const int remaining = mSyncTimer.remainingTime();
    return remaining < 0 ? QDateTime() : QDateTime::currentDateTimeUtc().addMSecs(remaining);
}

void AccountScheduler::onDelayedSync()
{
    qMailLog(Scheduler) << "account" << mAccountId << ": sync delayed for" << 1 << "seconds...";
    QTimer::singleShot(1000, this, SLOT(onSyncTime()));
}

void AccountScheduler::onSyncTime()
{
    qMailLog(Scheduler) << "account" << mAccountId << ": sync time";
    Q_EMIT sync(mAccountId);
}

void AccountScheduler::onPeakTime()
{
    qMailLog(Scheduler) << "account" << mAccountId << ": peak time";
    setSchedule(updateSchedule(), true);
}

void AccountScheduler::startScheduler(bool aImmediateSyncAllowed)
{
    qMailLog(Scheduler) << "starting scheduler for account" << mAccountId << ", immediate sync"
                        << (aImmediateSyncAllowed ? "allowed" : "disabled") << "...";
    setSchedule(updateSchedule(), aImmediateSyncAllowed);
}

void AccountScheduler::stopScheduler()
{
    qMailLog(Scheduler) << "stopping scheduler for account" << mAccountId << "...";
    mSyncTimer.stop();
    mPeakTimer.stop();
    stateChanged();
}

void AccountScheduler::reset(int peakDays, int peakStart, int peakEnd, int peakSchedule,
                             int offPeakSchedule, bool aImmediateSyncAllowed)
{
    if (peakDays == mPeakDays && peakStart == mPeakStart && peakEnd == mPeakEnd
        && peakSchedule == mPeakSchedule && offPeakSchedule == mOffPeakSchedule) {
        qMailLog(Scheduler) << "Sync schedule for account" << mAccountId << "is not changed";
        return;
    }
    stopScheduler();
    mPeakDays = peakDays;
    mPeakStart = peakStart;
    mPeakEnd = peakEnd;
    mPeakSchedule = peakSchedule;
    mOffPeakSchedule = offPeakSchedule;
    mForcedSchedule = -2;
    mCurrentSchedule = -1;
    mSyncPending = false;
    qMailLog(Scheduler) << "Account scheduler" << mAccountId << "reset: peak days =" << peakDays
                        << ", start peak = " << peakStart << ", end peak = " << peakEnd
                        << ", peak schedule = " << peakSchedule
                        << ", offpeak schedule = " << offPeakSchedule;
    startScheduler(aImmediateSyncAllowed);
}

void AccountScheduler::setForcedSchedule(int minutes)
{
    const int v = SyncScheduler::isConnectionAllowed() ? minutes : -1;
    if (v == mForcedSchedule) {
        return;
    }
    if (mCurrentSchedule == 0 && v == -1) {
        mSyncPending = true;
    }
    qMailLog(Scheduler) << "account" << mAccountId << ": forced schedule set to" << v;
    mForcedSchedule = v;
    if (v != -2) {
        mCurrentSchedule = v;
        setSchedule(v, false);
        Q_EMIT checkAlwaysOn(mAccountId);
        return;
    }
    const int c = scheduleAt(currentDateTime().addSecs(30));
    mCurrentSchedule = c;
    const bool immediate = c != -1 && mSyncPending;
    setSchedule(c, immediate);
    if (!immediate) {
        Q_EMIT checkAlwaysOn(mAccountId);
    }
}

void AccountScheduler::doSync(const SuccessHandler &success, const FailureHandler &failure)
{
    if (mSyncInProgress) {
        return;
    }
    mSyncInProgress = true;
    qMailLog(Scheduler) << "AccountScheduler::doSync(): Starting synchronization for account"
                        << mAccountId;
    const QMailAccountId aid(mAccountId);
    TAVIK_FATAL_ASSERT(aid.isValid());
    stateChanged();
    TavikBackendStrategy::SyncAccount<SuccessHandler, FailureHandler> strategy(success, failure);
    strategy(aid, QMailFolderId());
}

void AccountScheduler::onSyncSucceed()
{
    qMailLog(Scheduler) << "sync succeeded in account" << mAccountId;
    if (!mSyncInProgress) {
        qWarning() << "AccountScheduler::onSyncSucceed(): got sync succeeded but sync is not in "
                      "progress! Skipping it.";
        return;
    }
    mSyncInProgress = false;
    mSyncPending = false;
    mLastStatus = QMailServiceAction::Status();
    mLastSuccess = QDateTime::currentDateTimeUtc();
    setForcedSchedule(-2);
    stateChanged();
    Q_EMIT checkAlwaysOn(mAccountId);
}

void AccountScheduler::onSyncFailed(const QMailServiceAction::Status &status)
{
    qMailLog(Scheduler) << "sync failed in account" << mAccountId << "with status"
                        << int(status.errorCode) << status.text;
    if (!mSyncInProgress) {
        qWarning() << "AccountScheduler::onSyncFailed(): got sync failed but sync is not in "
                      "progress! Skipping it.";
        return;
    }
    mSyncInProgress = false;
    mLastStatus = status;
    if (mCurrentSchedule != -1) {
        mSyncPending = true;
        if (mCurrentSchedule == 0) {
            setForcedSchedule(10);
        }
    }
    stateChanged();
}

void AccountScheduler::onFoldersUpdated(const QMailFolderIdList &ids)
{
    if (mSyncInProgress || ids.isEmpty() || mCurrentSchedule != 0) {
        return;
    }
    Q_EMIT checkAlwaysOn(mAccountId);
}

void AccountScheduler::onOnlineStateChanged(bool online)
{
    if (online) {
        qMailLog(Scheduler) << "network connection appeared, account" << mAccountId;
        setForcedSchedule(-2);
        return;
    }
    if (mCurrentSchedule != 0) {
        return;
    }
    qMailLog(Scheduler) << "network connection is lost, account" << mAccountId
                        << "is moved from always-on mode to minimal periodic mode";
    mSyncPending = true;
    setForcedSchedule(10);
}
