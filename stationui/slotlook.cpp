#include "stationui/slotlook.h"

#include "station/slotcondition.h"

namespace
{
const QColor Idle(0xe4, 0xe7, 0xeb);    // grey: nothing to do
const QColor Trouble(0xf6, 0xd8, 0x6b); // yellow: a port that will not open
const QColor Store(0xb9, 0xd3, 0xf0);   // blue: held up by the record store, not the board
const QColor Busy(0xf5, 0xa6, 0x23);    // orange: a board under way
const QColor Pass(0x3c, 0xb3, 0x4a);
const QColor Fail(0xd9, 0x3a, 0x32);
const QColor Scan(0x7b, 0x61, 0xff); // violet: the technician's turn, with the scanner

const QString WaitingIcon = QStringLiteral("\u25CB"); // white circle
const QString StoreIcon = QStringLiteral("\u231B");   // hourglass
const QString TroubleIcon = QStringLiteral("\u26A0"); // warning sign
const QString ResetIcon = QStringLiteral("\u21BB");   // clockwise arrow
const QString FlashIcon = QStringLiteral("\u25B6");   // right-pointing triangle
const QString PassIcon = QStringLiteral("\u2714");    // check mark
const QString FailIcon = QStringLiteral("\u2716");    // cross
const QString StopIcon = QStringLiteral("\u25A0");    // square
const QString ScanIcon = QStringLiteral("\u2759");    // a bar, as of a barcode
} // namespace

SlotLook SlotLook::of(const SlotState &slot, bool resets)
{
    const SlotCondition condition = SlotCondition::of(slot, resets);
    const QString words = condition.text();
    using K = SlotCondition::Kind;
    switch (condition.kind) {
    case K::StoreWait:
        return {words, StoreIcon, Store, Verdict::None, {}, false};
    case K::PortTrouble:
        return {words, TroubleIcon, Trouble, Verdict::None, condition.reason, false};
    case K::NoBoard:
        return {words, WaitingIcon, Idle, Verdict::None, {}, false};
    case K::WaitingLoader:
        return {words, ResetIcon, Idle, Verdict::None, {}, false};
    case K::Waking:
        return {words, ResetIcon, Busy, Verdict::None, {}, false};
    case K::Flashing:
        return {words, FlashIcon, Busy, Verdict::None, {}, true};
    case K::Pass:
        return {words, PassIcon, Pass, Verdict::Pass, {}, false};
    case K::Fail:
        return {words, FailIcon, Fail, Verdict::Fail, condition.reason, false};
    case K::Stopped:
        return {words, StopIcon, Idle, Verdict::None, {}, false};
    case K::ScanLabel:
        return {words, ScanIcon, Scan, Verdict::None, {}, false};
    case K::LabelRefused:
        // The whole sentence wraps below: when, where and as which board the label was flashed.
        return {
            QStringLiteral("label flashed before"), FailIcon, Fail, Verdict::None, words, false};
    }
    Q_UNREACHABLE();
}

QString SlotLook::description(int number, const SlotState &slot, bool resets)
{
    const SlotCondition condition = SlotCondition::of(slot, resets);
    // The state first, then the board, then what to do: a screen reader says it in that order.
    QStringList said{condition.words};
    if (slot.board > 0 && slot.phase != SlotPhase::Looking)
        said << QString("board %1").arg(slot.board);
    if (!slot.serial.isEmpty() && slot.phase != SlotPhase::Looking)
        said << QString("serial %1").arg(slot.serial);
    if (!slot.label.isEmpty() && slot.phase != SlotPhase::Refused)
        said << QString(slot.reflash ? "label %1, reflash" : "label %1").arg(slot.label);
    if (condition.kind == SlotCondition::Kind::Flashing)
        said << QString("%1 %").arg(slot.percent);
    if (!condition.reason.isEmpty())
        said << condition.reason;
    if (condition.remove)
        said << "remove the board";
    return QString("slot %1: %2").arg(number).arg(said.join(", "));
}
