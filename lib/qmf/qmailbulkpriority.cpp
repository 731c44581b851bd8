#include "qmailbulkpriority.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace {

// The kernel's I/O priority encoding (linux/ioprio.h); `who` 0 with
// IOPRIO_WHO_PROCESS is the calling thread.
const int WhoProcess = 1;
const int ClassBestEffort = 2;
const int ClassShift = 13;

int ioPriority()
{
    return int(::syscall(SYS_ioprio_get, WhoProcess, 0));
}

bool setIoPriority(int value)
{
    return ::syscall(SYS_ioprio_set, WhoProcess, 0, value) == 0;
}

pid_t threadId()
{
    return pid_t(::syscall(SYS_gettid));
}

// Whether the thread could set its nice value back to `nice` after raising it.
bool mayReturnTo(int nice)
{
    struct rlimit limit;
    return ::getrlimit(RLIMIT_NICE, &limit) == 0
        && (limit.rlim_cur == RLIM_INFINITY || rlim_t(20 - nice) <= limit.rlim_cur);
}

} // namespace

QMailBulkSlice::QMailBulkSlice(bool bulk)
    : mActive(bulk)
{
    if (!mActive) {
        return;
    }
    mIoPriority = ioPriority();
    if (mIoPriority >= 0) {
        setIoPriority((ClassBestEffort << ClassShift) | 7);
    }
    errno = 0;
    mNice = ::getpriority(PRIO_PROCESS, id_t(threadId()));
    if (errno == 0 && mNice < 10 && mayReturnTo(mNice)) {
        mNiced = ::setpriority(PRIO_PROCESS, id_t(threadId()), 10) == 0;
    }
    if (!mNiced && ::sched_getscheduler(0) == SCHED_OTHER) {
        struct sched_param param = {};
        mBatch = ::sched_setscheduler(0, SCHED_BATCH, &param) == 0;
    }
}

QMailBulkSlice::~QMailBulkSlice()
{
    if (!mActive) {
        return;
    }
    if (mIoPriority >= 0) {
        setIoPriority(mIoPriority);
    }
    if (mNiced) {
        ::setpriority(PRIO_PROCESS, id_t(threadId()), mNice);
    }
    if (mBatch) {
        struct sched_param param = {};
        ::sched_setscheduler(0, SCHED_OTHER, &param);
    }
}
