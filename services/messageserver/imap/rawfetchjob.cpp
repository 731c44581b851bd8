#include "imap/rawfetchjob.h"

#include "imap/kimapresponse.h"

RawFetchJob::RawFetchJob(KIMAP::Session *session, const QVector<qint64> &uids,
                         const std::function<bool(const Message &)> &arrived)
    : KIMAP::FetchJob(session)
    , mArrived(arrived)
{
    // The full scope asks for BODY.PEEK[], FLAGS and UID (with the size and
    // the internal date): what is read of each answer below.
    FetchScope scope;
    scope.mode = FetchScope::Full;
    setScope(scope);
    setUidBased(true);
    KIMAP::ImapSet set;
    set.add(uids);
    setSequenceSet(set);
}

void RawFetchJob::handleResponse(const KIMAP::Response &response)
{
    const ResponseWords &words = ResponseWords::of(response);
    // "* n FETCH (name value ...)"; everything else (the tagged end above
    // all) is KIMAP's.
    if (words.content.size() != 4 || words.content.at(0).word != "*"
        || words.content.at(2).word.toUpper() != "FETCH"
        || words.content.at(3).kind != ResponseWords::Part::List) {
        KIMAP::FetchJob::handleResponse(response);
        return;
    }
    if (!mListening) {
        return;
    }
    const QList<QByteArray> &items = words.content.at(3).list;
    Message message;
    bool hasBody = false;
    for (int i = 0; i + 1 < items.size(); i += 2) {
        const QByteArray name = items.at(i).toUpper();
        if (name.startsWith("BODY[")) {
            // A section with blanks comes in pieces up to its "]".
            while (!items.at(i).endsWith(']') && i + 2 < items.size()) {
                ++i;
            }
            hasBody = name == "BODY[]";
            if (hasBody) {
                message.content = items.at(i + 1);
            }
        } else if (name == "UID") {
            message.uid = items.at(i + 1).toLongLong();
        } else if (name == "FLAGS") {
            const QByteArray &value = items.at(i + 1);
            const QByteArray inner = value.startsWith('(') ? value.mid(1, value.size() - 2) : value;
            for (const QByteArray &flag : inner.split(' ')) {
                if (!flag.isEmpty()) {
                    message.flags.append(flag);
                }
            }
        }
    }
    // A flag change the server reports on its own carries no body.
    if (hasBody && message.uid > 0) {
        mListening = mArrived(message);
    }
}
