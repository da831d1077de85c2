#include "station/slotstate.h"
#include "stationui/slottile.h"

#include <QPaintEvent>
#include <QtTest>

#include <functional>

class tst_SlotTile : public QObject
{
    Q_OBJECT

private slots:
    void aChangeRepaintsItsStrip_data();
    void aChangeRepaintsItsStrip();
};

namespace
{
// The region a widget is asked to paint.
class Painted : public QObject
{
public:
    QRegion region;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            region += static_cast<QPaintEvent *>(event)->region();
        return false;
    }
};

SlotState flashing(int percent, int attempt, int done)
{
    SlotState slot(Target::fromArgument("/dev/ttyUSB0"), true);
    slot.apply({.kind = BoardEvent::Kind::Started,
                .phase = SlotPhase::Flashing,
                .board = 1,
                .serial = "LMD-0042"});
    slot.apply({.kind = BoardEvent::Kind::Attempt,
                .phase = SlotPhase::Flashing,
                .board = 1,
                .attempt = attempt});
    slot.apply({.kind = BoardEvent::Kind::Progress,
                .phase = SlotPhase::Flashing,
                .board = 1,
                .percent = percent});
    slot.done = done;
    return slot;
}

SlotState passed()
{
    SlotState slot = flashing(100, 1, 0);
    slot.apply({.kind = BoardEvent::Kind::Result,
                .phase = SlotPhase::Remove,
                .board = 1,
                .attempt = 1,
                .outcome = Outcome::Done,
                .serial = "LMD-0042"});
    return slot;
}
} // namespace

using Check = std::function<bool(const SlotTile &)>;
Q_DECLARE_METATYPE(Check)

void tst_SlotTile::aChangeRepaintsItsStrip_data()
{
    QTest::addColumn<int>("percent");
    QTest::addColumn<int>("attempt");
    QTest::addColumn<int>("done");
    QTest::addColumn<bool>("result");
    QTest::addColumn<int>("strip"); // a SlotTile::Line; -1: the bar; LineCount: the whole tile
    QTest::addColumn<Check>("shows");

    QTest::newRow("the state: another attempt")
        << 7 << 2 << 0 << false << int(SlotTile::State)
        << Check([](const SlotTile &t) { return t.text(SlotTile::State).contains("attempt 2"); });
    QTest::newRow("the bar: a percentage more")
        << 8 << 1 << 0 << false << -1 << Check([](const SlotTile &t) { return t.percent() == 8; });
    QTest::newRow("the counts, a digit longer")
        << 7 << 1 << 1234 << false << int(SlotTile::Footer)
        << Check([](const SlotTile &t) { return t.text(SlotTile::Footer).contains("1234 done"); });
    QTest::newRow("the result: a new colour, a verdict, no bar")
        << 100 << 1 << 0 << true << int(SlotTile::LineCount) << Check([](const SlotTile &t) {
               return t.text(SlotTile::Verdict) == "PASS" && t.percent() == -1 &&
                      t.text(SlotTile::Identity) == "serial LMD-0042";
           });
}

// While a board flashes, a change repaints the strip of the line that changed (64 tiles repainted
// whole for every percentage cost the window its thread); a result repaints the tile. Lines fill
// the tile's width and keep to its height.
void tst_SlotTile::aChangeRepaintsItsStrip()
{
    QFETCH(int, percent);
    QFETCH(int, attempt);
    QFETCH(int, done);
    QFETCH(bool, result);
    QFETCH(int, strip);
    QFETCH(Check, shows);

    SlotTile tile(1, "slot 1", false);
    tile.resize(320, 240);
    tile.setVisible(true);
    QVERIFY(QTest::qWaitForWindowExposed(&tile));
    tile.show(flashing(7, 1, 0));
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    QCOMPARE(tile.percent(), 7);

    Painted painted;
    tile.installEventFilter(&painted);
    tile.show(result ? passed() : flashing(percent, attempt, done));
    QTRY_VERIFY(!painted.region.isEmpty());
    QVERIFY(shows(tile));
    const QRect expected = strip == SlotTile::LineCount ? tile.rect()
                           : strip < 0                  ? tile.barRect()
                                                        : tile.lineRect(SlotTile::Line(strip));
    QCOMPARE(painted.region.boundingRect(), expected);

    // The grid gives the tile another size with nothing else changing: the lines follow it.
    for (const QSize size : {QSize(320, 240), QSize(480, 200)}) {
        tile.resize(size);
        QCoreApplication::processEvents();
        const QRect inside = tile.contentsRect();
        for (int line = 0; line < SlotTile::LineCount; ++line) {
            const QRect rect = tile.lineRect(SlotTile::Line(line));
            if (tile.text(SlotTile::Line(line)).isEmpty())
                continue;
            QVERIFY2(inside.contains(rect), qPrintable(tile.text(SlotTile::Line(line))));
            QVERIFY(rect.width() > inside.width() * 3 / 4);
            QVERIFY(rect.height() > 0);
        }
    }
}

QTEST_MAIN(tst_SlotTile)
#include "tst_slottile.moc"
