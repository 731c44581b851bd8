#include "tavikbackendstrategies.h"

#include "logcategories.h"

namespace TavikBackendStrategy {

void LogError::operator()(const QMailServiceAction::Status &status) const
{
    if (status.errorCode == QMailServiceAction::Status::ErrNoError) {
        qMailLog(Scheduler) << "Sync end:" << status.text;
    } else {
        qCritical() << "Sync error" << int(status.errorCode) << status.text;
    }
}

} // namespace TavikBackendStrategy
