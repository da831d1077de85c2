#include "station/slotstate.h"

#include "download/units.h"

SlotState::SlotState(const Target &target, bool station)
    : target(target), phase(station ? SlotPhase::Looking : SlotPhase::Idle)
{
    clock.start();
}

void SlotState::apply(const BoardEvent &event)
{
    const SlotPhase before = phase;
    phase = event.phase;
    board = event.board;
    path = event.path;
    serial = event.serial;
    notice = event.notice;
    label = event.label;
    reflash = event.reflash;
    switch (event.kind) {
    case BoardEvent::Kind::Waiting:
        reason = event.reason;
        // A slot that finds its port keeps counting the time it has waited for a board.
        if (before == SlotPhase::Remove || before == SlotPhase::Idle ||
            before == SlotPhase::Finished || before == SlotPhase::Refused)
            clock.start();
        break;
    case BoardEvent::Kind::Started:
        clock.start();
        percent = -1;
        attempt = 1;
        reason.clear();
        break;
    case BoardEvent::Kind::Attempt:
        attempt = event.attempt;
        percent = -1;
        break;
    case BoardEvent::Kind::Progress:
        percent = event.percent;
        break;
    case BoardEvent::Kind::Result:
        outcome.emplace(event.outcome);
        reason = event.reason;
        seconds = event.seconds;
        if (event.outcome == Outcome::Done) {
            ++done;
            firstPasses += event.attempt <= 1;
        } else if (event.outcome != Outcome::Stopped)
            ++failed;
        break;
    case BoardEvent::Kind::Left:
        clock.start();
        break;
    case BoardEvent::Kind::Labelled:
        break;
    }
}

double SlotState::phaseSeconds() const
{
    return phase == SlotPhase::Finished ? seconds : clock.nsecsElapsed() / 1e9;
}

bool SlotState::underWay() const
{
    return phase == SlotPhase::Flashing || phase == SlotPhase::Waiting || phase == SlotPhase::Idle;
}

double SlotState::bytesPerSecond(qint64 bytes) const
{
    const double elapsed = clock.nsecsElapsed() / 1e9;
    return elapsed > 0 ? bytes * qMax(percent, 0) / double(FullPercent) / elapsed : 0;
}
