<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name></name>
    <message id="qtn_mail_notification_new_messages">
        <source>%1 new messages</source>
        <extracomment>Body of the new-mail notification that covers several messages; %1 is their number.</extracomment>
        <translation>%1 new messages</translation>
    </message>
    <message id="qtn_mail_no_subject">
        <source>(no subject)</source>
        <translation>(no subject)</translation>
    </message>
    <message id="qtn_mail_failed">
        <source>Mail transfer failed</source>
        <translation>Mail transfer failed</translation>
    </message>
    <message id="qtn_mail_cannot_connect_server">
        <source>Cannot connect to the mail server.</source>
        <translation>Cannot connect to the mail server.</translation>
    </message>
    <message id="qtn_mail_error_disk_full">
        <source>Not enough storage space for the mail.</source>
        <translation>Not enough storage space for the mail.</translation>
    </message>
    <message id="qtn_mail_message_not_available_error">
        <source>The message is no longer available.</source>
        <translation>The message is no longer available.</translation>
    </message>
    <message id="qtn_mail_message_processing_error">
        <source>The message could not be processed.</source>
        <translation>The message could not be processed.</translation>
    </message>
    <message id="qtn_mail_server_lock_error">
        <source>The mail server is in use by another connection.</source>
        <translation>The mail server is in use by another connection.</translation>
    </message>
    <message id="qtn_mail_invalidemailaddress">
        <source>Invalid e-mail address%1</source>
        <extracomment>%1 is filled with an empty text by the transfer view; keep it at the end.</extracomment>
        <translation>Invalid e-mail address%1</translation>
    </message>
    <message id="qtn_mail_server_connection_timeout">
        <source>The mail server did not answer in time.</source>
        <translation>The mail server did not answer in time.</translation>
    </message>
    <message id="qtn_mail_generic_error">
        <source>Something went wrong with the mail transfer.</source>
        <translation>Something went wrong with the mail transfer.</translation>
    </message>
</context>
</TS>
