#include "qmailcodec_p.h"

#include <QRegularExpression>
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

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// One encoded word's payload as bytes of its charset.
QByteArray decodeWordPayload(char encoding, const QByteArray &payload)
{
    if (encoding == 'b' || encoding == 'B')
        return QByteArray::fromBase64(payload);
    QByteArray out;
    out.reserve(payload.size());
    for (int i = 0; i < payload.size(); ++i) {
        const char c = payload.at(i);
        const int hi = c == '=' && i + 2 < payload.size() ? hexValue(payload.at(i + 1)) : -1;
        const int lo = hi >= 0 ? hexValue(payload.at(i + 2)) : -1;
        if (lo >= 0) {
            out.append(char(hi * 16 + lo));
            i += 2;
        } else {
            out.append(c == '_' ? ' ' : c);
        }
    }
    return out;
}

// Bytes of a charset to Unicode, with their length: a NUL among them is
// text like any other here.
QString fromCharset(const QByteArray &charset, const QByteArray &bytes)
{
    // RFC 2231 lets a language follow the charset: "utf-8*en".
    const QByteArray name = charset.left(charset.indexOf('*')).trimmed();
    QTextCodec *codec = name.isEmpty() ? nullptr : QTextCodec::codecForName(name);
    if (!codec)
        return decode8Bit(bytes);
    return codec->toUnicode(bytes.constData(), bytes.size());
}

} // namespace

QString decodeHeaderText(const QByteArray &raw)
{
    QString text;
    // RFC 2047 encoded words; white space between two of them is not text,
    // and the bytes of neighbours in the same charset are decoded together,
    // so that a character split between two words stays whole.
    static const QRegularExpression word(
        QStringLiteral("=\\?([^?\\s]+)\\?([bBqQ])\\?([^?\\s]*)\\?="));
    const QString latin = QString::fromLatin1(raw.constData(), raw.size());
    QByteArray charset;
    QByteArray pending;
    int last = 0;
    bool afterWord = false;
    auto it = word.globalMatch(latin);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        const QByteArray between = raw.mid(last, match.capturedStart() - last);
        const QByteArray wordCharset = match.captured(1).toLatin1();
        const bool joined = afterWord && between.trimmed().isEmpty();
        if (!joined || qstricmp(wordCharset.constData(), charset.constData()) != 0) {
            text += fromCharset(charset, pending);
            pending.clear();
            charset = wordCharset;
        }
        if (!joined)
            text += decode8Bit(between);
        pending
            += decodeWordPayload(match.captured(2).at(0).toLatin1(), match.captured(3).toLatin1());
        last = match.capturedEnd();
        afterWord = true;
    }
    text += fromCharset(charset, pending);
    text += decode8Bit(raw.mid(last));
    text = text.trimmed();
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

namespace {

// Hands each decoded byte to put, so that the decoded size can be told
// without building the bytes.
template<typename Emit> void walkQuotedPrintable(const QByteArray &encoded, Emit put)
{
    const int n = encoded.size();
    for (int i = 0; i < n; ++i) {
        const char c = encoded.at(i);
        if (c != '=') {
            put(c);
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
                put(char(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        // A stray "=" stays as it is.
        put(c);
    }
}

} // namespace

QByteArray decodeQuotedPrintable(const QByteArray &encoded)
{
    QByteArray out;
    out.reserve(encoded.size());
    walkQuotedPrintable(encoded, [&out](char c) { out.append(c); });
    return out;
}

int quotedPrintableDecodedSize(const QByteArray &encoded)
{
    int size = 0;
    walkQuotedPrintable(encoded, [&size](char) { ++size; });
    return size;
}

// QByteArray::fromBase64 skips every byte outside the alphabet ("=" and
// line breaks included) and makes a byte of each full 8 of the 6 bits per
// letter it keeps: whatever the text, its size is three quarters of the
// letters, rounded down.
int base64DecodedSize(const QByteArray &encoded)
{
    qint64 letters = 0;
    for (const char c : encoded) {
        letters += (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')
            || c == '+' || c == '/';
    }
    return int(letters * 3 / 4);
}

} // namespace QMailCodec
