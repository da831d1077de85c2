#include "station/plainport.h"

void PlainPort::start()
{
    waitClock.start();
    path = target.path;
    board = index + 1;
    send({.kind = BoardEvent::Kind::Started, .phase = SlotPhase::Flashing});
    startBoard();
}

// A script waiting on the run hears at once that this board got no number, rather than wait for
// numbers that will not come.
void PlainPort::onNumbersOut(const QString &pool, const QString &last)
{
    report(Outcome::NoSerial, SerialScheme::ranOutText(pool, last), 0, 0, 0, SlotPhase::Finished);
    end();
}

void PlainPort::onBoardFinished(const BoardJob::Result &result)
{
    report(result.outcome, result.reason, result.attempts, result.seconds, result.acceptedBytes,
           SlotPhase::Finished);
    end();
}
