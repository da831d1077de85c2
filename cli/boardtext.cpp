#include "cli/boardtext.h"

#include "download/units.h"
#include "station/durationtext.h"
#include "station/slotcondition.h"

namespace
{
constexpr double BytesPerKilobyte = 1000;

QString failure(const SlotState &slot)
{
    return slot.outcome ? outcomeName(*slot.outcome) +
                              (slot.reason.isEmpty() ? QString() : ": " + slot.reason)
                        : QString();
}
} // namespace

namespace BoardText
{

QString rate(double bytesPerSecond)
{
    return QString("%1 kB/s").arg(bytesPerSecond / BytesPerKilobyte, 0, 'f', 1);
}

QString state(const SlotState &slot, bool resets, int barWidth, qint64 bytes)
{
    const SlotCondition condition = SlotCondition::of(slot, resets);
    using K = SlotCondition::Kind;
    switch (condition.kind) {
    case K::PortTrouble:
        return condition.words + ": " + condition.reason;
    case K::Flashing: {
        const int filled = slot.percent * barWidth / FullPercent;
        return QString("[%1%2] %3 %  %4%5")
            .arg(QString(filled, '#'), QString(barWidth - filled, '.'))
            .arg(slot.percent, 3)
            .arg(rate(slot.bytesPerSecond(bytes)),
                 slot.attempt > 1 ? QString("  attempt %1").arg(slot.attempt) : QString());
    }
    // A terminal names the result as the log and the summary do.
    case K::Fail:
    case K::Stopped:
        return failure(slot) +
               (condition.remove ? QStringLiteral(", remove the board") : QString());
    case K::StoreWait:
    case K::NoBoard:
    case K::WaitingLoader:
    case K::Waking:
    case K::Pass:
    case K::ScanLabel:
    case K::LabelRefused:
        break;
    }
    return condition.text();
}

QString summary(const StationState &state, bool station, qint64 bytes)
{
    int labelWidth = 0;
    for (const SlotState &slot : state.slotStates())
        labelWidth = qMax(labelWidth, int(slot.target.given.size()));
    QString text = "\n";
    for (int i = 0; i < state.slotStates().size(); ++i) {
        const SlotState &b = state.slot(i);
        if (station) {
            text += QString("slot %1  %2  %3 done  %4 failed%5\n")
                        .arg(i + 1, 2)
                        .arg(b.target.given, -labelWidth)
                        .arg(b.done, 5)
                        .arg(b.failed, 5)
                        .arg(b.outcome ? QString("  last: %1").arg(failure(b)) : QString());
            continue;
        }
        const double seconds = b.outcome ? b.seconds : 0;
        text += QString("%1  %2 %3 bytes %4 s %5  %6\n")
                    .arg(b.target.given, -labelWidth)
                    .arg(b.outcome ? outcomeName(*b.outcome) : QString("-"), -14)
                    .arg(bytes, 9)
                    .arg(seconds, 7, 'f', 2)
                    .arg(rate(seconds > 0 && b.outcome == Outcome::Done ? bytes / seconds : 0), 12)
                    .arg(b.reason);
    }
    const StationTotals totals = state.totals();
    if (station) {
        text += QString("%1 boards: %2 done, %3 failed in %4 (%5 boards/h)")
                    .arg(totals.boards())
                    .arg(totals.done)
                    .arg(totals.failed)
                    .arg(durationText(state.upSeconds()))
                    .arg(state.boardsPerHour(), 0, 'f', 1);
    } else {
        text += QString("%1 done, %2 failed").arg(totals.done).arg(totals.failed);
        if (totals.stopped > 0)
            text += QString(", %1 stopped").arg(totals.stopped);
    }
    return text + "\n";
}

} // namespace BoardText
