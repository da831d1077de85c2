#include "station/slotstate.h"
#include "stationui/slottile.h"

#include <QLabel>
#include <QtTest>

class tst_SlotTile : public QObject
{
    Q_OBJECT

private slots:
    void changingTextStaysInItsLine_data();
    void changingTextStaysInItsLine();
};

namespace
{
// Counts the layout requests that reach a widget.
class LayoutRequests : public QObject
{
public:
    int count = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        count += event->type() == QEvent::LayoutRequest;
        return false;
    }
};

SlotState flashing(int percent, int attempt, int done)
{
    SlotState slot(Target::fromArgument("/dev/ttyUSB0"), true);
    slot.apply({.kind = BoardEvent::Kind::Started, .phase = SlotPhase::Flashing, .board = 1});
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

QLabel *labelWith(const QWidget &tile, const QString &part)
{
    for (QLabel *label : tile.findChildren<QLabel *>())
        if (label->text().contains(part))
            return label;
    return nullptr;
}
} // namespace

void tst_SlotTile::changingTextStaysInItsLine_data()
{
    QTest::addColumn<int>("percent");
    QTest::addColumn<int>("attempt");
    QTest::addColumn<int>("done");
    QTest::addColumn<QString>("changed"); // a part of the changed line's new text

    QTest::newRow("the state: another attempt") << 8 << 2 << 0 << "attempt 2";
    QTest::newRow("the counts, a digit longer") << 100 << 1 << 1234 << "1234 done";
}

// A text that changes while a board flashes leaves the tile's layout alone (laying out 64 tiles
// again, and the window around them, for every percentage costs the window its thread), and
// its label still fills the tile's width.
void tst_SlotTile::changingTextStaysInItsLine()
{
    QFETCH(int, percent);
    QFETCH(int, attempt);
    QFETCH(int, done);
    QFETCH(QString, changed);

    SlotTile tile(1, "slot 1", false);
    tile.resize(320, 240);
    tile.setVisible(true);
    QVERIFY(QTest::qWaitForWindowExposed(&tile));
    tile.show(flashing(7, 1, 0));
    QCoreApplication::sendPostedEvents();

    LayoutRequests requests;
    tile.installEventFilter(&requests);
    tile.show(flashing(percent, attempt, done));
    QCoreApplication::sendPostedEvents();
    QCOMPARE(requests.count, 0);

    const QLabel *label = labelWith(tile, changed);
    QVERIFY(label);
    QVERIFY(label->isVisible());
    QCOMPARE(label->width(), label->parentWidget()->width());
    QVERIFY(label->height() >= label->fontMetrics().height());
    QVERIFY(label->parentWidget()->width() > tile.width() / 2);
}

QTEST_MAIN(tst_SlotTile)
#include "tst_slottile.moc"
