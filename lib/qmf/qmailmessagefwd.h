#ifndef QMAILMESSAGEFWD_H
#define QMAILMESSAGEFWD_H

// Enumerations of the message classes, usable without their full headers.
class QMailMessageMetaDataFwd
{
public:
    // What a message mainly holds, as its top-level content type says.
    enum ContentType {
        UnknownContent = 0,
        NoContent = 1,
        PlainTextContent = 2,
        RichTextContent = 3,
        HtmlContent = 4,
        ImageContent = 5,
        AudioContent = 6,
        VideoContent = 7,
        MultipartContent = 8,
        SmilContent = 9,
        VoicemailContent = 10,
        VideomailContent = 11,
        VCardContent = 12,
        VCalendarContent = 13,
        ICalendarContent = 14,
        DeliveryReportContent = 15,
        UserContent = 64
    };
};

class QMailMessageBodyFwd
{
public:
    enum TransferEncoding {
        NoEncoding = 0,
        SevenBit = 1,
        EightBit = 2,
        Base64 = 3,
        QuotedPrintable = 4,
        Binary = 5
    };
    enum EncodingFormat { Encoded, Decoded };
};

class QMailMessageContentDispositionFwd
{
public:
    enum DispositionType { None = 0, Inline = 1, Attachment = 2 };
};

#endif // QMAILMESSAGEFWD_H
