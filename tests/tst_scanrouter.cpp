#include "station/scanrouter.h"

#include <QtTest>

Q_DECLARE_METATYPE(ScanRules::Mode)
Q_DECLARE_METATYPE(SlotPhase)

// The scanner's routing as both views use it: position codes, the pattern, which slot a label
// goes to, and every refusal leaving things as they were.
class tst_ScanRouter : public QObject
{
    Q_OBJECT

private slots:
    void route_data();
    void route();
    void takesLabel_data();
    void takesLabel();
    void rules_data();
    void rules();
};

namespace
{
using Mode = ScanRules::Mode;

ScanRules rulesOf(Mode mode, const QString &pattern, const QStringList &codes)
{
    ScanRules rules;
    QString error;
    rules.set("scan",
              mode == Mode::Off        ? "off"
              : mode == Mode::Optional ? "optional"
                                       : "required",
              &error);
    if (!pattern.isEmpty())
        rules.set("scan-pattern", pattern, &error);
    rules.codes = codes;
    return rules;
}

// "-y=AB": slot 1 takes no label, slot 2 takes one, slot 3 holds label AB.
QVector<ScanRouter::Slot> slotsOf(const QString &text)
{
    QVector<ScanRouter::Slot> seen;
    for (const QString &one : text.split(' '))
        seen << ScanRouter::Slot{one == "y", one.startsWith('=') ? one.mid(1) : QString()};
    return seen;
}

// A route as a row writes it: "L2" a label to slot 2, "P1" position code of slot 1, "R" refused.
QString said(const ScanRouter::Route &route)
{
    switch (route.kind) {
    case ScanRouter::Route::Kind::Label:
        return QString("L%1").arg(route.slot);
    case ScanRouter::Route::Kind::Position:
        return QString("P%1").arg(route.slot);
    case ScanRouter::Route::Kind::Refused:
        break;
    }
    return "R: " + route.message;
}
} // namespace

void tst_ScanRouter::route_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("seen");      // each slot, as slotsOf reads it
    QTest::addColumn<QStringList>("scans"); // "N>TEXT": a scan naming slot N
    QTest::addColumn<QStringList>("routes");
    const QString pcb = "PCB-[0-9]{4}";

    QTest::newRow("lowest waiting slot")
        << pcb << "- y y" << QStringList{"PCB-0001"} << QStringList{"L2"};
    QTest::newRow("two labels, two slots")
        << pcb << "y y -" << QStringList{"PCB-0001", "PCB-0002", "PCB-0003"}
        << QStringList{"L1", "L2", "R: no board is waiting for its label"};
    QTest::newRow("position code first")
        << pcb << "y y y" << QStringList{"FIX-A3", "PCB-0001"} << QStringList{"P3", "L3"};
    QTest::newRow("the code picks one label only")
        << pcb << "y y y" << QStringList{"FIX-A3", "PCB-0001", "PCB-0002"}
        << QStringList{"P3", "L3", "L1"};
    QTest::newRow("the last code wins")
        << pcb << "y y y" << QStringList{"FIX-A3", "FIX-A2", "PCB-0001"}
        << QStringList{"P3", "P2", "L2"};
    QTest::newRow("code of a slot with no board")
        << pcb << "y - y" << QStringList{"FIX-A2", "PCB-0001"}
        << QStringList{"P2", "R: slot 2 holds no board waiting for its label"};
    QTest::newRow("not a label: refused, the code still holds")
        << pcb << "y y y" << QStringList{"FIX-A3", "pcb-1", "PCB-0001"}
        << QStringList{"P3", "R: pcb-1 is not a board's label (it does not match " + pcb + ")",
                       "L3"};
    QTest::newRow("a pattern matches whole labels only")
        << pcb << "y" << QStringList{"XPCB-0001", "PCB-00012"}
        << QStringList{"R: XPCB-0001 is not a board's label (it does not match " + pcb + ")",
                       "R: PCB-00012 is not a board's label (it does not match " + pcb + ")"};
    QTest::newRow("no pattern: any text")
        << ""
        << "y" << QStringList{"anything at all"} << QStringList{"L1"};
    QTest::newRow("nobody waits") << pcb << "- -" << QStringList{"PCB-0001"}
                                  << QStringList{"R: no board is waiting for its label"};
    QTest::newRow("a label already on a slot")
        << pcb << "=PCB-0001 y" << QStringList{"PCB-0001"}
        << QStringList{"R: label PCB-0001 is on slot 1 already"};
    QTest::newRow("surrounding spaces are the scanner's")
        << pcb << "y" << QStringList{"  PCB-0001 "} << QStringList{"L1"};
    QTest::newRow("empty scan") << pcb << "y" << QStringList{"   "}
                                << QStringList{"R: an empty scan"};
    QTest::newRow("named slot") << pcb << "y y" << QStringList{"2>PCB-0001"} << QStringList{"L2"};
    QTest::newRow("named slot without a board")
        << pcb << "y -" << QStringList{"2>PCB-0001"}
        << QStringList{"R: slot 2 holds no board waiting for its label"};
    QTest::newRow("named slot out of range")
        << pcb << "y" << QStringList{"4>PCB-0001"} << QStringList{"R: there is no slot 4"};
    QTest::newRow("a named scan leaves the code armed")
        << pcb << "y y y" << QStringList{"FIX-A3", "1>PCB-0001", "PCB-0002"}
        << QStringList{"P3", "L1", "L3"};
}

void tst_ScanRouter::route()
{
    QFETCH(QString, pattern);
    QFETCH(QString, seen);
    QFETCH(QStringList, scans);
    QFETCH(QStringList, routes);
    const QStringList codes{"FIX-A1", "FIX-A2", "FIX-A3"};
    ScanRouter router(rulesOf(Mode::Required, pattern, codes));
    // The slots' states do not move between scans: only the router's own memory does.
    const QVector<ScanRouter::Slot> slotList = slotsOf(seen);
    QStringList got;
    for (const QString &scan : scans) {
        const int named = scan.contains('>') ? scan.section('>', 0, 0).toInt() : 0;
        got << said(router.route(scan.section('>', -1), slotList, named));
    }
    QCOMPARE(got, routes);
}

void tst_ScanRouter::takesLabel_data()
{
    QTest::addColumn<Mode>("mode");
    QTest::addColumn<SlotPhase>("phase");
    QTest::addColumn<QString>("label");
    QTest::addColumn<bool>("takes");
    QTest::newRow("required, waiting for its label")
        << Mode::Required << SlotPhase::Label << "" << true;
    QTest::newRow("required, under way") << Mode::Required << SlotPhase::Flashing << "" << false;
    QTest::newRow("required, no board") << Mode::Required << SlotPhase::Looking << "" << false;
    QTest::newRow("required, refused") << Mode::Required << SlotPhase::Refused << "" << false;
    QTest::newRow("optional, before the loader")
        << Mode::Optional << SlotPhase::Waiting << "" << true;
    QTest::newRow("optional, flashing") << Mode::Optional << SlotPhase::Flashing << "" << true;
    QTest::newRow("optional, after the result")
        << Mode::Optional << SlotPhase::Remove << "" << false;
    QTest::newRow("optional, labelled")
        << Mode::Optional << SlotPhase::Flashing << "PCB-0001" << false;
    QTest::newRow("off") << Mode::Off << SlotPhase::Label << "" << false;
}

void tst_ScanRouter::takesLabel()
{
    QFETCH(Mode, mode);
    QFETCH(SlotPhase, phase);
    QFETCH(QString, label);
    QFETCH(bool, takes);
    SlotState state(Target::fromArguments({"/dev/null"}).first(), true);
    state.phase = phase;
    state.label = label;
    const ScanRouter::Slot slot = ScanRouter::slotOf(state, mode);
    QCOMPARE(slot.takes, takes);
    QCOMPARE(slot.label, label);
}

void tst_ScanRouter::rules_data()
{
    QTest::addColumn<QStringList>("keys"); // key=value
    QTest::addColumn<QString>("error");    // empty: accepted
    QTest::newRow("required and allowed") << QStringList{"scan=required", "reflash=allow"} << "";
    QTest::newRow("optional cannot reflash")
        << QStringList{"scan=optional", "reflash=allow"} << "reflash = allow needs scan = required";
    QTest::newRow("refuse is the default's word")
        << QStringList{"scan=optional", "reflash=refuse"} << "";
    QTest::newRow("unknown mode") << QStringList{"scan=sometimes"}
                                  << "'sometimes' is not one of off, optional, required";
    QTest::newRow("unknown reflash")
        << QStringList{"scan=required", "reflash=yes"} << "'yes' is neither allow nor refuse";
    QTest::newRow("broken pattern") << QStringList{"scan=required", "scan-pattern=PCB-("}
                                    << "'PCB-(' is no regular expression: missing closing "
                                       "parenthesis";
    QTest::newRow("a pattern with scanning off")
        << QStringList{"scan=off", "scan-pattern=A+"} << "scan-pattern is set but scan is off";
}

void tst_ScanRouter::rules()
{
    QFETCH(QStringList, keys);
    QFETCH(QString, error);
    ScanRules rules;
    QString wrong;
    bool ok = true;
    for (const QString &pair : keys)
        ok = ok && rules.set(pair.section('=', 0, 0), pair.section('=', 1), &wrong);
    ok = ok && rules.combination(&wrong);
    QCOMPARE(wrong, error);
    QCOMPARE(ok, error.isEmpty());
}

QTEST_GUILESS_MAIN(tst_ScanRouter)
#include "tst_scanrouter.moc"
