#include "station/durationtext.h"

namespace
{
constexpr int SecondsPerMinute = 60;
constexpr int SecondsPerHour = 3600;
} // namespace

QString durationText(double seconds)
{
    const qint64 s = qint64(seconds);
    if (s < SecondsPerMinute)
        return QString("%1 s").arg(seconds, 0, 'f', 1);
    if (s < SecondsPerHour)
        return QString("%1 min %2 s").arg(s / SecondsPerMinute).arg(s % SecondsPerMinute);
    return QString("%1 h %2 min")
        .arg(s / SecondsPerHour)
        .arg(s % SecondsPerHour / SecondsPerMinute);
}
