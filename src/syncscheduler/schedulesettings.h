#ifndef SCHEDULESETTINGS_H
#define SCHEDULESETTINGS_H

// The schedule of one account as the accounts database holds it (account-wide
// keys "scheduler/..."). Interval codes: -1 no periodic sync, 0 always-on,
// n > 0 every n minutes. Peak days: bit 0 Monday ... bit 6 Sunday. Peak start
// and end: minutes from midnight.
struct ScheduleSettings
{
    bool enabled = true;
    int peakSchedule = -1;
    int offPeakSchedule = -1;
    int peakDays = 0;
    int peakStart = 0;
    int peakEnd = 0;
};

#endif // SCHEDULESETTINGS_H
