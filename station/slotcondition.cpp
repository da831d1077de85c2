#include "station/slotcondition.h"

namespace
{
const QString RemoveText = QStringLiteral("remove the board");
const QString ScanText = QStringLiteral("scan the board's label");
}

SlotCondition SlotCondition::of(const SlotState &slot, bool resets)
{
    using K = Kind;
    switch (slot.phase) {
    case SlotPhase::Idle:
    case SlotPhase::Looking:
    case SlotPhase::Waiting:
        // The record store holds the slot up before any board is flashed.
        if (!slot.notice.isEmpty())
            return {K::StoreWait, slot.notice, {}, false};
        if (!slot.reason.isEmpty())
            return {K::PortTrouble, QStringLiteral("cannot use the port"), slot.reason, false};
        if (slot.phase == SlotPhase::Looking)
            return {K::NoBoard, QStringLiteral("waiting for a board"), {}, false};
        if (slot.phase == SlotPhase::Idle)
            return {K::Waking, QStringLiteral("waking the loader"), {}, false};
        return {K::WaitingLoader,
                resets ? QStringLiteral("resetting, waiting for the loader")
                       : QStringLiteral("waiting for the board (power it on or reset it)"),
                {},
                false};
    case SlotPhase::Label:
        if (!slot.notice.isEmpty())
            return {K::StoreWait, slot.notice, {}, false};
        return {K::ScanLabel, ScanText, {}, false};
    case SlotPhase::Refused:
        return {K::LabelRefused, slot.reason, {}, false};
    case SlotPhase::Flashing:
        if (slot.percent < 0)
            return {K::Waking,
                    slot.attempt > 1 ? QString("attempt %1: waking the loader").arg(slot.attempt)
                                     : QStringLiteral("waking the loader"),
                    {},
                    false};
        return {K::Flashing,
                slot.attempt > 1 ? QString("flashing, attempt %1").arg(slot.attempt)
                                 : QStringLiteral("flashing"),
                {},
                false};
    case SlotPhase::Remove:
    case SlotPhase::Finished: {
        const bool remove = slot.phase == SlotPhase::Remove;
        if (slot.outcome == Outcome::Done)
            return {K::Pass, QStringLiteral("done"), {}, remove};
        if (slot.outcome == Outcome::Stopped && !remove)
            return {K::Stopped, QStringLiteral("stopped"), {}, false};
        return {K::Fail, QStringLiteral("failed"), slot.reason, remove};
    }
    }
    Q_UNREACHABLE();
}

QString SlotCondition::text() const
{
    return remove ? words + ", " + RemoveText : words;
}
