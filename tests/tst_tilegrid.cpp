#include "station/jobfile.h"
#include "station/stationstate.h"
#include "stationui/slottile.h"
#include "stationui/tilegrid.h"

#include <QTabWidget>
#include <QtTest>

class tst_TileGrid : public QObject
{
    Q_OBJECT

private slots:
    void aBoardsEndRepaintsItsTileAlone_data();
    void aBoardsEndRepaintsItsTileAlone();
};

namespace
{
// Counts the events of one type that reach the widgets it watches.
class Counter : public QObject
{
public:
    explicit Counter(QEvent::Type type) : type(type) {}
    int count = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        count += event->type() == type;
        return false;
    }

private:
    const QEvent::Type type;
};

constexpr int Slots = 9;
constexpr int Changed = 4; // a tile in the grid's middle
} // namespace

void tst_TileGrid::aBoardsEndRepaintsItsTileAlone_data()
{
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("serial");

    QTest::newRow("done: PASS, the bar goes") << int(Outcome::Done) << QString() << QString();
    QTest::newRow("failed: FAIL and a long reason")
        << int(Outcome::Timeout)
        << QString("the loader stopped answering after block 17 of 128, three attempts in a row")
        << QString();
    QTest::newRow("numbered: the serial's line comes")
        << int(Outcome::Done) << QString() << QString("SN000000123456789");
}

// A board's result changes its tile's colour, verdict, bar and lines. Were the grid laid out
// again, every tile would move and repaint, and the tab widget around it would repaint itself
// whole: with boards ending many times a second, that is the window's whole thread.
void tst_TileGrid::aBoardsEndRepaintsItsTileAlone()
{
    QFETCH(int, outcome);
    QFETCH(QString, reason);
    QFETCH(QString, serial);

    Job job;
    for (int i = 0; i < Slots; ++i)
        job.slotList << JobSlot{QString("/dev/ttyUSB%1").arg(i), {}, {}};
    QTabWidget tabs;
    auto *grid = new TileGrid;
    grid->build(job);
    tabs.addTab(grid, "Station");
    tabs.resize(640, 300); // smaller than the tiles would ask for: a squeezed grid moves first
    tabs.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tabs));

    StationState state(job.targets(), true);
    state.apply({.kind = BoardEvent::Kind::Started,
                 .phase = SlotPhase::Flashing,
                 .target = Changed,
                 .board = 1,
                 .serial = serial});
    grid->changed(Changed);
    grid->show(state, false);
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();

    const QList<SlotTile *> tiles = grid->findChildren<SlotTile *>();
    QCOMPARE(tiles.size(), Slots);
    QVector<QRect> where;
    Counter paints(QEvent::Paint);
    for (SlotTile *tile : tiles) {
        where << tile->geometry();
        if (tile->objectName() != QString("slot%1").arg(Changed + 1))
            tile->installEventFilter(&paints);
    }
    Counter layouts(QEvent::LayoutRequest);
    tabs.installEventFilter(&layouts);
    Counter tabPaints(QEvent::Paint);
    tabs.installEventFilter(&tabPaints);

    state.apply({.kind = BoardEvent::Kind::Result,
                 .phase = SlotPhase::Remove,
                 .target = Changed,
                 .board = 1,
                 .attempt = 1,
                 .outcome = Outcome(outcome),
                 .reason = reason,
                 .serial = serial});
    grid->changed(Changed);
    grid->show(state, false);
    QCoreApplication::sendPostedEvents();
    QTest::qWait(50); // the repaint is posted

    QCOMPARE(layouts.count, 0);
    QCOMPARE(tabPaints.count, 0);
    QCOMPARE(paints.count, 0);
    for (int i = 0; i < tiles.size(); ++i)
        QCOMPARE(tiles[i]->geometry(), where[i]);
}

QTEST_MAIN(tst_TileGrid)
#include "tst_tilegrid.moc"
