#include "stationui/slotlook.h"

namespace
{
const QColor Idle(0xe4, 0xe7, 0xeb);    // grey: nothing to do
const QColor Trouble(0xf6, 0xd8, 0x6b); // yellow: a port that will not open
const QColor Busy(0xf5, 0xa6, 0x23);    // orange: a board under way
const QColor Pass(0x3c, 0xb3, 0x4a);
const QColor Fail(0xd9, 0x3a, 0x32);

const QString WaitingIcon = QStringLiteral("\u25CB"); // white circle
const QString TroubleIcon = QStringLiteral("\u26A0"); // warning sign
const QString ResetIcon = QStringLiteral("\u21BB");   // clockwise arrow
const QString FlashIcon = QStringLiteral("\u25B6");   // right-pointing triangle
const QString PassIcon = QStringLiteral("\u2714");    // check mark
const QString FailIcon = QStringLiteral("\u2716");    // cross
const QString StopIcon = QStringLiteral("\u25A0");    // square
} // namespace

SlotLook SlotLook::of(const SlotState &slot, bool resets)
{
    const bool done = slot.outcome == Outcome::Done;
    switch (slot.phase) {
    case SlotPhase::Idle:
    case SlotPhase::Looking:
    case SlotPhase::Waiting:
        if (!slot.reason.isEmpty())
            return {"cannot use the port", TroubleIcon, Trouble, Verdict::None, slot.reason, false};
        if (slot.phase == SlotPhase::Looking)
            return {"waiting for a board", WaitingIcon, Idle, Verdict::None, {}, false};
        return {resets ? "resetting, waiting for the loader" : "waiting for the loader",
                ResetIcon,
                Idle,
                Verdict::None,
                {},
                false};
    case SlotPhase::Flashing:
        if (slot.percent < 0)
            return {slot.attempt > 1 ? QString("attempt %1: resetting").arg(slot.attempt)
                                     : QString("waking the loader"),
                    ResetIcon,
                    Busy,
                    Verdict::None,
                    {},
                    false};
        return {slot.attempt > 1 ? QString("flashing, attempt %1").arg(slot.attempt)
                                 : QString("flashing"),
                FlashIcon,
                Busy,
                Verdict::None,
                {},
                true};
    case SlotPhase::Remove:
        if (done)
            return {"done, remove the board", PassIcon, Pass, Verdict::Pass, {}, false};
        return {"failed, remove the board", FailIcon, Fail, Verdict::Fail, slot.reason, false};
    case SlotPhase::Finished:
        if (slot.outcome == Outcome::Stopped)
            return {"stopped", StopIcon, Idle, Verdict::None, {}, false};
        if (done)
            return {"done", PassIcon, Pass, Verdict::Pass, {}, false};
        return {"failed", FailIcon, Fail, Verdict::Fail, slot.reason, false};
    }
    Q_UNREACHABLE();
}

QString SlotLook::description(int number, const SlotState &slot, bool resets)
{
    const SlotLook look = of(slot, resets);
    // The state first, then the board, then what to do: a screen reader says it in that order.
    QString words = look.words;
    QString after;
    const int comma = words.indexOf(", remove the board");
    if (comma >= 0) {
        after = words.mid(comma + 2);
        words.truncate(comma);
    }
    QStringList said{words};
    if (slot.board > 0 && slot.phase != SlotPhase::Looking)
        said << QString("board %1").arg(slot.board);
    if (!slot.serial.isEmpty() && slot.phase != SlotPhase::Looking)
        said << QString("serial %1").arg(slot.serial);
    if (look.progress)
        said << QString("%1 %").arg(slot.percent);
    if (!look.reason.isEmpty())
        said << look.reason;
    if (!after.isEmpty())
        said << after;
    return QString("slot %1: %2").arg(number).arg(said.join(", "));
}
