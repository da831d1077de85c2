#include "station/scanrouter.h"

ScanRouter::ScanRouter(const ScanRules &rules) : rules(rules) {}

ScanRouter::Route ScanRouter::route(const QString &scan, const QVector<Slot> &given, int named)
{
    const QString text = scan.trimmed();
    if (!rules.on())
        return refuse(text, "this job takes no labels");
    if (text.isEmpty())
        return refuse(text, "an empty scan");
    if (named < 0 || named > given.size())
        return refuse(text, QString("there is no slot %1").arg(named));
    QVector<Slot> seen = given;
    for (auto it = routed.cbegin(); it != routed.cend(); ++it)
        if (it.key() <= seen.size())
            seen[it.key() - 1] = {false, it.value()};
    const int code = named == 0 ? int(rules.codes.indexOf(text)) : -1;
    if (code >= 0) {
        pending = code + 1;
        return {Route::Kind::Position, pending, text,
                QString("slot %1: scan the board's label").arg(pending)};
    }
    if (!rules.fits(text))
        return refuse(text, QString("%1 is not a board's label (it does not match %2)")
                                .arg(text, rules.patternText));
    for (int i = 0; i < seen.size(); ++i)
        if (seen[i].label == text)
            return refuse(text, QString("label %1 is on slot %2 already").arg(text).arg(i + 1));
    int slot = named > 0 ? named : pending;
    if (slot > 0 && !seen[slot - 1].takes)
        return refuse(text, QString("slot %1 holds no board waiting for its label").arg(slot));
    for (int i = 0; slot == 0 && i < seen.size(); ++i)
        if (seen[i].takes)
            slot = i + 1;
    if (slot == 0)
        return refuse(text, "no board is waiting for its label");
    if (named == 0)
        pending = 0;
    routed.insert(slot, text);
    return {Route::Kind::Label, slot, text, QString("slot %1: label %2").arg(slot).arg(text)};
}

void ScanRouter::settled(int slot)
{
    routed.remove(slot);
}

ScanRouter::Route ScanRouter::refuse(const QString &text, const QString &message) const
{
    return {Route::Kind::Refused, 0, text, message};
}

ScanRouter::Slot ScanRouter::slotOf(const SlotState &state, ScanRules::Mode mode)
{
    Slot slot{false, state.label};
    if (!state.label.isEmpty())
        return slot;
    switch (mode) {
    case ScanRules::Mode::Off:
        break;
    case ScanRules::Mode::Required:
        slot.takes = state.phase == SlotPhase::Label;
        break;
    case ScanRules::Mode::Optional:
        // Until the board's result: the label is its record's, which is made then.
        slot.takes = state.phase == SlotPhase::Waiting || state.phase == SlotPhase::Flashing;
        break;
    }
    return slot;
}
