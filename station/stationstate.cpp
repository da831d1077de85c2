#include "station/stationstate.h"

#include "download/units.h"

namespace
{
constexpr double SecondsPerHour = 3600;
}

double StationTotals::yieldPercent() const
{
    return boards() > 0 ? done * double(FullPercent) / boards() : 0;
}

double StationTotals::firstPassPercent() const
{
    return boards() > 0 ? firstPass * double(FullPercent) / boards() : 0;
}

StationState::StationState(const Targets &targets, bool station)
{
    for (const Target &target : targets)
        slotList.append(SlotState(target, station));
    upClock.start();
}

void StationState::startClock()
{
    upClock.start();
}

void StationState::apply(const BoardEvent &event)
{
    slotList[event.target].apply(event);
    emit slotChanged(event.target);
    if (event.kind == BoardEvent::Kind::Result)
        emit totalsChanged();
}

StationTotals StationState::totals(int from, int count) const
{
    StationTotals totals;
    const int end = count < 0 ? slotList.size() : qMin(slotList.size(), from + count);
    for (int i = qMax(0, from); i < end; ++i) {
        const SlotState &s = slotList[i];
        totals.done += s.done;
        totals.failed += s.failed;
        totals.stopped += s.outcome == Outcome::Stopped;
        totals.firstPass += s.firstPasses;
        totals.underWay += s.underWay();
    }
    return totals;
}

double StationState::upSeconds() const
{
    return upClock.nsecsElapsed() / 1e9;
}

double StationState::boardsPerHour() const
{
    const double seconds = upSeconds();
    return seconds > 0 ? totals().boards() * SecondsPerHour / seconds : 0;
}
