#include "cli/boardtext.h"
#include "cli/liveview.h"
#include "station/slotcondition.h"
#include "station/stationstate.h"

#include <QtTest>

class tst_StationState : public QObject
{
    Q_OBJECT

private slots:
    void totals();
    void condition_data();
    void condition();
    void liveLines_data();
    void liveLines();
};

namespace
{
using Kind = BoardEvent::Kind;

Targets slotsOf(int count)
{
    Targets targets;
    for (int i = 0; i < count; ++i)
        targets << Target::fromArgument(
            QString("/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.%1:1.0-port0").arg(i));
    return targets;
}

BoardEvent result(int target, int board, Outcome outcome, int attempts, SlotPhase phase)
{
    return {.kind = Kind::Result,
            .phase = phase,
            .target = target,
            .board = board,
            .path = "/dev/ttyUSB0",
            .attempt = attempts,
            .seconds = 1.5,
            .outcome = outcome,
            .reason = outcome == Outcome::Timeout ? "never answered (no byte received)" : ""};
}
} // namespace

void tst_StationState::condition_data()
{
    QTest::addColumn<QList<BoardEvent>>("events");
    QTest::addColumn<bool>("resets");
    QTest::addColumn<QString>("terminal"); // the command line's words; the window styles the same
    QTest::addColumn<int>("kind");

    using K = SlotCondition::Kind;
    const BoardEvent waiting{.kind = Kind::Waiting, .phase = SlotPhase::Waiting, .path = "/dev/x"};
    BoardEvent store = waiting;
    store.notice = "waiting for the record store";
    BoardEvent trouble{.kind = Kind::Waiting, .phase = SlotPhase::Looking, .reason = "busy"};
    BoardEvent both = trouble;
    both.notice = store.notice;
    const BoardEvent started{.kind = Kind::Started, .phase = SlotPhase::Flashing, .board = 1};
    const BoardEvent second{
        .kind = Kind::Attempt, .phase = SlotPhase::Flashing, .board = 1, .attempt = 2};
    QTest::newRow("no board") << QList<BoardEvent>{{.phase = SlotPhase::Looking}} << false
                              << "waiting for a board" << int(K::NoBoard);
    QTest::newRow("waiting for the store, not the board")
        << QList<BoardEvent>{store} << false << "waiting for the record store" << int(K::StoreWait);
    QTest::newRow("the store comes before a port's trouble")
        << QList<BoardEvent>{both} << false << "waiting for the record store" << int(K::StoreWait);
    QTest::newRow("a port that cannot be used")
        << QList<BoardEvent>{trouble} << false << "cannot use the port: busy"
        << int(K::PortTrouble);
    QTest::newRow("a loader to wake")
        << QList<BoardEvent>{waiting} << false << "waiting for the board (power it on or reset it)"
        << int(K::WaitingLoader);
    QTest::newRow("a board reset") << QList<BoardEvent>{waiting} << true
                                   << "resetting, waiting for the loader" << int(K::WaitingLoader);
    QTest::newRow("a second attempt, before a block")
        << QList<BoardEvent>{started, second} << true << "attempt 2: waking the loader"
        << int(K::Waking);
    QTest::newRow("done, still in place")
        << QList<BoardEvent>{started, result(0, 1, Outcome::Done, 1, SlotPhase::Remove)} << false
        << "done, remove the board" << int(K::Pass);
    QTest::newRow("failed, still in place")
        << QList<BoardEvent>{started, result(0, 1, Outcome::Timeout, 1, SlotPhase::Remove)} << false
        << "timeout: never answered (no byte received), remove the board" << int(K::Fail);
    QTest::newRow("stopped") << QList<BoardEvent>{started, result(0, 1, Outcome::Stopped, 1,
                                                                  SlotPhase::Finished)}
                             << false << "stopped" << int(K::Stopped);
}

// What a slot is doing is worked out once; the terminal and the window only style it.
void tst_StationState::condition()
{
    QFETCH(QList<BoardEvent>, events);
    QFETCH(bool, resets);
    QFETCH(QString, terminal);
    QFETCH(int, kind);
    SlotState slot(Target::fromArgument("ttyUSB0"), true);
    for (const BoardEvent &event : events)
        slot.apply(event);
    QCOMPARE(int(SlotCondition::of(slot, resets).kind), kind);
    QCOMPARE(BoardText::state(slot, resets, 10, 1000), terminal);
}

// Boards counted once, where they end, whichever view reads them.
void tst_StationState::totals()
{
    StationState state(slotsOf(3), true);
    QSignalSpy changed(&state, &StationState::totalsChanged);
    QVERIFY(changed.isValid());
    state.apply({.kind = Kind::Started, .phase = SlotPhase::Flashing, .target = 0, .board = 1});
    QCOMPARE(state.slot(0).phase, SlotPhase::Flashing);
    QCOMPARE(state.totals().underWay, 1);
    state.apply(result(0, 1, Outcome::Done, 1, SlotPhase::Remove));
    state.apply(result(1, 2, Outcome::Done, 2, SlotPhase::Remove));
    state.apply(result(2, 3, Outcome::Timeout, 1, SlotPhase::Remove));
    state.apply({.kind = Kind::Left, .phase = SlotPhase::Looking, .target = 2, .board = 3});
    state.apply(result(2, 4, Outcome::Stopped, 1, SlotPhase::Finished));
    QCOMPARE(changed.count(), 4);

    const StationTotals totals = state.totals();
    QCOMPARE(totals.boards(), 3); // a stopped board is no result of the line's
    QCOMPARE(totals.done, 2);
    QCOMPARE(totals.failed, 1);
    QCOMPARE(totals.firstPass, 1);
    QCOMPARE(totals.stopped, 1);
    QCOMPARE(totals.underWay, 0);
    QCOMPARE(qRound(totals.yieldPercent() * 10), 667);
    QCOMPARE(qRound(totals.firstPassPercent() * 10), 333);
    QCOMPARE(state.totals(1, 1).done, 1);
    QCOMPARE(state.slot(2).failed, 1);
    QCOMPARE(state.slot(2).reason, QString()); // the last board's, not the failed one's
    QVERIFY(state.boardsPerHour() > 0);

    const QString summary = BoardText::summary(state, true, 1000);
    QVERIFY2(summary.contains("3 boards: 2 done, 1 failed in "), qPrintable(summary));
    QVERIFY2(summary.contains("1 done      0 failed  last: done"), qPrintable(summary));
    QVERIFY2(summary.contains("0 done      1 failed  last: stopped"), qPrintable(summary));
}

void tst_StationState::liveLines_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("station");
    QTest::addColumn<int>("columns");
    QTest::addColumn<int>("rows");
    QTest::newRow("4 ports, 80 x 24") << 4 << false << 80 << 24;
    QTest::newRow("4 slots, 40 x 24") << 4 << true << 40 << 24;
    QTest::newRow("9 ports, 72 x 8") << 9 << false << 72 << 8;
    QTest::newRow("64 slots, 120 x 30") << 64 << true << 120 << 30;
    QTest::newRow("2 slots, 12 x 3") << 2 << true << 12 << 3;
}

// The live picture never wraps and never scrolls: what does not fit is counted on a last line.
void tst_StationState::liveLines()
{
    QFETCH(int, count);
    QFETCH(bool, station);
    QFETCH(int, columns);
    QFETCH(int, rows);

    StationState state(slotsOf(count), station);
    for (int i = 0; i < count; i += 2)
        state.apply({.kind = Kind::Progress,
                     .phase = SlotPhase::Flashing,
                     .target = i,
                     .board = i + 1,
                     .path = "/dev/ttyUSB0",
                     .percent = 42});
    Output output;
    const LiveView view(state, output, station, false, 65536);
    const QStringList lines = view.lines(columns, rows);
    QVERIFY(lines.size() <= rows - 1);
    const bool fits = count + (station ? 1 : 0) <= rows - 1;
    QCOMPARE(lines.size(), fits ? count + (station ? 1 : 0) : rows - 1);
    for (const QString &line : lines)
        QVERIFY2(line.size() < columns, qPrintable(line));
    if (!fits)
        QVERIFY2(lines.last().contains(QString("%1 more").arg(count - (rows - 2))) ||
                     lines.last().size() == columns - 1,
                 qPrintable(lines.last()));
    if (station)
        QVERIFY2(lines.last().startsWith(QString("%1 boards").arg(0)), qPrintable(lines.last()));
    if (columns >= 72)
        QVERIFY2(lines.first().contains("42 %") && lines.first().contains("1.0:"),
                 qPrintable(lines.first()));
}

QTEST_GUILESS_MAIN(tst_StationState)
#include "tst_stationstate.moc"
