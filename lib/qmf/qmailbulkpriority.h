#ifndef QMAILBULKPRIORITY_H
#define QMAILBULKPRIORITY_H

// One slice of bulk work (a first sync, a large catch-up, mirroring it) runs
// with the calling thread's priority lowered, so that other programs stay
// responsive; the thread is itself again when the slice ends, so that
// requests, push and notifications between slices are served at once.
//
// I/O: best-effort level 7 during the slice, put back after it (any thread
// may move within the best-effort class). CPU: nice 10 only where the thread
// may come back to its own nice value (an RLIMIT_NICE that allows it, as
// LimitNICE= in a unit or limits.conf give): Linux lets an unprivileged thread raise its nice value
// but never lower it again, and a message server or daemon left at nice 10 after its first sync
// would serve push and notifications at that priority for the rest of its life. Otherwise the slice
// runs as SCHED_BATCH (treated as CPU-bound, disfavoured at wake-ups), which a thread may enter and
// leave freely.
class QMailBulkSlice
{
public:
    explicit QMailBulkSlice(bool bulk);
    ~QMailBulkSlice();
    QMailBulkSlice(const QMailBulkSlice &) = delete;
    QMailBulkSlice &operator=(const QMailBulkSlice &) = delete;

    // Work of this many messages or more counts as bulk.
    static const int Threshold = 500;

private:
    bool mActive = false;
    int mIoPriority = -1;
    int mNice = 0;
    bool mNiced = false;
    bool mBatch = false;
};

#endif // QMAILBULKPRIORITY_H
