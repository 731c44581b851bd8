#include "statustexts.h"

#include <iterator>

namespace {

struct CodeText
{
    int code;
    const char *text;
};

// Some texts begin with a blank; they are written as the framework has them.
const CodeText errorCodeTexts[] = {
    { 0, "No error was encountered." },
    { 1024, "The requested operation is not implemented by the relevant service component." },
    { 1025, "A fault in the messaging framework prevented the execution of the request." },
    { 1026, " A system-level error prevented the execution of the request." },
    { 1028, " The response from the external service could not be handled." },
    { 1029, " The external service did not accept the supplied authentication details." },
    { 1030, "The operation was cancelled by user intervention." },
    { 1031, "The action could not be performed due to insufficient storage space." },
    { 1032, "The specified message does not exist." },
    { 1033, "The specified message could not be enqueued for transmission." },
    { 1034, "A connection could not be established to the external service." },
    { 1035, " The connection to the external service is exclusively held by another user." },
    { 1036, "The connection to the external service is not ready for operation." },
    { 1037, "The configuration needed for the requested action is invalid." },
    { 1038, "The specified address is invalid for the requested action." },
    { 1039, " The supplied data is inappropriate for the requested action." },
    { 1040, " The service failed to report any activity for an extended period." },
    { 1041,
      "The service was reset due to state change, such as an external process modifying "
      "the owner account." },
};

const char *const requestTypeTexts[] = {
    "Acknowledging new messages",
    "Transmitting new messages",
    "Retrieving a list of folders",
    "Retrieving a list of message",
    "Retrieving messages",
    "Retrieving part of a message",
    "Retrieving a range of messages",
    "Retrieving parts of a messages",
    "Retrieving everything",
    "Exporting updates",
    "Synchronizing",
    "Copying messages",
    "Moving messages",
    "Flagging messages",
    "Creating a folder",
    "Renaming a folder",
    "Deleting a folder",
    "Canceling a QStringansfer",
    "Deleteing a message",
    "Searching",
    "Cancelling search",
    "Listing actions",
    "Direct protocol request",
};

const char *const activityTexts[] = {
    "Pending",
    "In Progress",
    "The action has completed successfully.",
    "The action has failed.",
};

const char *const connectivityTexts[] = { "Offline", "Connecting", "Connected", "Disconnected" };

template<std::size_t N> const char *lookup(const char *const (&table)[N], int value)
{
    return value >= 0 && std::size_t(value) < N ? table[value] : nullptr;
}

} // namespace

QString errorCodeText(int errorCode)
{
    for (const CodeText &entry : errorCodeTexts) {
        if (entry.code == errorCode) {
            return QString::fromLatin1(entry.text);
        }
    }
    return QStringLiteral("Unknown error code ") + QString::number(errorCode);
}

QString requestTypeText(int requestType)
{
    if (const char *text = lookup(requestTypeTexts, requestType)) {
        return QString::fromLatin1(text);
    }
    return QStringLiteral("Unrecognized request ") + QString::number(requestType);
}

QString activityText(int activity)
{
    const char *text = lookup(activityTexts, activity);
    return QString::fromLatin1(text ? text : "Unknown");
}

QString connectivityText(int connectivity)
{
    const char *text = lookup(connectivityTexts, connectivity);
    return QString::fromLatin1(text ? text : "Unknown");
}
