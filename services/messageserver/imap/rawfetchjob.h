#ifndef RAWFETCHJOB_H
#define RAWFETCHJOB_H

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QVector>

#include <KIMAP/FetchJob>

#include <functional>

// UID FETCH of whole messages that hands each one on as its answer arrives:
// the bytes the server sent for BODY[], as they are, with the UID, flags and
// the date the server received it.
// KIMAP's own FetchJob parses every message with KMime and keeps them until
// it reports a group; storing mail needs neither the parse nor the wait.
class RawFetchJob : public KIMAP::FetchJob
{
public:
    struct Message
    {
        qint64 uid = 0;
        QList<QByteArray> flags;
        QByteArray content;
        QDateTime received; // in UTC; invalid when the server's is not readable
    };
    // `arrived` gets each message; once it returns false the rest of the
    // answer is passed over (the job it serves has ended).
    RawFetchJob(KIMAP::Session *session, const QVector<qint64> &uids,
                const std::function<bool(const Message &)> &arrived);

protected:
    void handleResponse(const KIMAP::Response &response) override;

public:
    // An IMAP date-time ("7-Jul-1996 02:44:25 -0700", the day perhaps
    // space-padded) in UTC; invalid for anything else.
    static QDateTime internalDate(const QByteArray &text);

private:
    std::function<bool(const Message &)> mArrived;
    bool mListening = true;
};

#endif // RAWFETCHJOB_H
