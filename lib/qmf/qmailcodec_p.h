#ifndef QMAILCODEC_P_H
#define QMAILCODEC_P_H

#include <QByteArray>
#include <QString>

namespace QMailCodec {

// Header text to Unicode: RFC 2047 encoded words decoded, other 8-bit text
// read as UTF-8 when it is valid UTF-8 and as Latin-1 otherwise.
QString decodeHeaderText(const QByteArray &raw);

// 8-bit text to Unicode with the same UTF-8/Latin-1 rule.
QString decode8Bit(const QByteArray &raw);

// Undoes folding: line breaks followed by white space become one space.
QByteArray unfold(const QByteArray &raw);

QByteArray decodeQuotedPrintable(const QByteArray &encoded);

// The sizes the decoders above and QByteArray::fromBase64 give, without
// decoding.
int quotedPrintableDecodedSize(const QByteArray &encoded);
int base64DecodedSize(const QByteArray &encoded);

} // namespace QMailCodec

#endif // QMAILCODEC_P_H
