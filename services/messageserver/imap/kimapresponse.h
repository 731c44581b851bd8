#ifndef KIMAPRESPONSE_H
#define KIMAPRESPONSE_H

#include <QByteArray>
#include <QList>

namespace KIMAP {
struct Response;
}

// KIMAP hands its jobs every response of the server as a Response, a type it
// does not install. This reads the words of one as KIMAP 5 (22.12) lays it
// out: a list of parts, each a kind, a word and a list (a parenthesised list
// of the server's, its elements as they stood, literals whole). The one place
// that knows the layout; a KIMAP that changes it must be checked here.
struct ResponseWords
{
    struct Part
    {
        enum Kind { Word = 0, List = 1 };
        int kind;
        QByteArray word;
        QList<QByteArray> list;
    };
    QList<Part> content;

    static const ResponseWords &of(const KIMAP::Response &response)
    {
        return reinterpret_cast<const ResponseWords &>(response);
    }
};

#endif // KIMAPRESPONSE_H
