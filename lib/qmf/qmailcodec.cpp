#include "qmailcodec_p.h"

#include <KMime/Headers>

#include <QTextCodec>

namespace QMailCodec {

QString decode8Bit(const QByteArray &raw)
{
    bool ascii = true;
    for (char c : raw) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    }
    // With the length: Qt's QByteArray overloads stop at a NUL byte.
    if (ascii)
        return QString::fromLatin1(raw.constData(), raw.size());
    static QTextCodec *const utf8 = QTextCodec::codecForName("UTF-8");
    QTextCodec::ConverterState state;
    const QString text = utf8->toUnicode(raw.constData(), raw.size(), &state);
    if (state.invalidChars == 0 && state.remainingChars == 0)
        return text;
    return QString::fromLatin1(raw.constData(), raw.size());
}

QString decodeHeaderText(const QByteArray &raw)
{
    QString text;
    if (!raw.contains("=?")) {
        text = decode8Bit(raw).trimmed();
    } else {
        KMime::Headers::Generic field("X-Decode");
        field.from7BitString(raw);
        text = field.asUnicodeString().trimmed();
    }
    // A NUL would end the text for C strings, D-Bus and SPARQL alike: it
    // becomes the replacement character, and the text stays whole.
    text.replace(QChar(0), QChar(QChar::ReplacementCharacter));
    return text;
}

QByteArray unfold(const QByteArray &raw)
{
    if (!raw.contains('\n') && !raw.contains('\r'))
        return raw;
    QByteArray out;
    out.reserve(raw.size());
    int i = 0;
    while (i < raw.size()) {
        const char c = raw.at(i);
        if (c == '\r' || c == '\n') {
            // Skip the line break and the white space that continues the line.
            while (i < raw.size() && (raw.at(i) == '\r' || raw.at(i) == '\n'))
                ++i;
            bool space = false;
            while (i < raw.size() && (raw.at(i) == ' ' || raw.at(i) == '\t')) {
                ++i;
                space = true;
            }
            if (space || (i < raw.size()))
                out.append(' ');
            continue;
        }
        out.append(c);
        ++i;
    }
    return out;
}

static int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

QByteArray decodeQuotedPrintable(const QByteArray &encoded)
{
    QByteArray out;
    out.reserve(encoded.size());
    const int n = encoded.size();
    for (int i = 0; i < n; ++i) {
        const char c = encoded.at(i);
        if (c != '=') {
            out.append(c);
            continue;
        }
        // Soft line break: "=" at the end of a line.
        int j = i + 1;
        while (j < n && (encoded.at(j) == ' ' || encoded.at(j) == '\t'))
            ++j;
        if (j < n && (encoded.at(j) == '\r' || encoded.at(j) == '\n')) {
            if (encoded.at(j) == '\r' && j + 1 < n && encoded.at(j + 1) == '\n')
                ++j;
            i = j;
            continue;
        }
        if (j >= n) {
            i = j;
            continue;
        }
        if (i + 2 < n) {
            const int hi = hexValue(encoded.at(i + 1));
            const int lo = hexValue(encoded.at(i + 2));
            if (hi >= 0 && lo >= 0) {
                out.append(char(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        // A stray "=" stays as it is.
        out.append(c);
    }
    return out;
}

} // namespace QMailCodec
