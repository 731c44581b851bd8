#ifndef STATUSTEXTS_H
#define STATUSTEXTS_H

#include <QString>

// Readable English texts of the mail framework's codes, for the log only.
QString errorCodeText(int errorCode); // QMailServiceAction::Status::ErrorCode
QString requestTypeText(int requestType); // QMailActionInfo::requestType()
QString activityText(int activity); // QMailServiceAction::Activity
QString connectivityText(int connectivity); // QMailServiceAction::Connectivity

#endif // STATUSTEXTS_H
