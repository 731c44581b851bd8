#include "imap/rawfetchjob.h"

#include "imap/kimapresponse.h"

#include <algorithm>
#include <iterator>

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
        } else if (name == "INTERNALDATE") {
            message.received = internalDate(items.at(i + 1));
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

QDateTime RawFetchJob::internalDate(const QByteArray &text)
{
    // Month names are IMAP's own, whatever the locale.
    static const QByteArray months("JanFebMarAprMayJunJulAugSepOctNovDec");
    QByteArray value = text.trimmed();
    if (value.startsWith('"') && value.endsWith('"') && value.size() > 1) {
        value = value.mid(1, value.size() - 2).trimmed();
    }
    const QList<QByteArray> parts = value.split(' ');
    if (parts.size() != 3) {
        return QDateTime();
    }
    const QList<QByteArray> date = parts.at(0).split('-');
    const QList<QByteArray> time = parts.at(1).split(':');
    const QByteArray &zone = parts.at(2);
    if (date.size() != 3 || date.at(1).size() != 3 || time.size() != 3 || zone.size() != 5
        || (zone.at(0) != '+' && zone.at(0) != '-')
        || !std::all_of(zone.begin() + 1, zone.end(),
                        [](char c) { return c >= '0' && c <= '9'; })) {
        return QDateTime();
    }
    const int month = months.indexOf(date.at(1));
    bool ok[5] = {};
    const QDate day(date.at(2).toInt(&ok[0]), month / 3 + 1, date.at(0).toInt(&ok[1]));
    const QTime clock(time.at(0).toInt(&ok[2]), time.at(1).toInt(&ok[3]), time.at(2).toInt(&ok[4]));
    const int minutes = zone.mid(1, 2).toInt() * 60 + zone.mid(3, 2).toInt();
    if (month < 0 || month % 3 != 0 || !day.isValid() || !clock.isValid()
        || std::find(std::begin(ok), std::end(ok), false) != std::end(ok) || minutes > 24 * 60) {
        return QDateTime();
    }
    return QDateTime(day, clock, Qt::OffsetFromUTC, (zone.at(0) == '-' ? -60 : 60) * minutes)
        .toUTC();
}
