#pragma once

#include "station/scanrules.h"
#include "station/slotstate.h"

#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

// Where each scan of the station's scanner goes, worked out once for every view: a slot's
// position code picks the slot for the label that follows it; a label goes to that slot, or else
// to the lowest-numbered slot whose board waits for its label. A scan that is not a label, or
// that no slot can take, is refused and changes nothing.
class ScanRouter
{
public:
    // One slot as the router sees it.
    struct Slot {
        bool takes = false; // it holds a board that takes a label now
        QString label;      // the label its board has; empty: none
    };
    struct Route {
        enum class Kind {
            Label,    // `text` is the label of slot `slot`'s board
            Position, // the next label goes to slot `slot`
            Refused,  // `message` says why; nothing changed
        };
        Kind kind = Kind::Refused;
        int slot = 0; // from 1, as the log numbers slots
        QString text;
        QString message;
    };

    explicit ScanRouter(const ScanRules &rules);

    // `named`: the slot a scan names itself (the command line's "SLOT CODE"); 0: none.
    Route route(const QString &scan, const QVector<Slot> &seen, int named = 0);
    // The slot a position code picked for the next label; 0: none.
    int armed() const { return pending; }
    // Slot `slot` (from 1) told what became of the label routed to it: until then, the router
    // counts it as the slot's own, so that the next scan goes elsewhere.
    void settled(int slot);
    // Whether a slot in this state holds a board that takes a label under these rules.
    static Slot slotOf(const SlotState &state, ScanRules::Mode mode);

private:
    Route refuse(const QString &text, const QString &message) const;

    const ScanRules rules;
    QMap<int, QString> routed; // labels sent to slots that have not told of them yet
    int pending = 0;
};
