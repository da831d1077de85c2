#include "station/stationstate.h"
#include "stationui/totalsbar.h"

#include <QtTest>

class tst_TotalsBar : public QObject
{
    Q_OBJECT

private slots:
    void growingCountsLeaveTheWindowAlone_data();
    void growingCountsLeaveTheWindowAlone();
};

void tst_TotalsBar::growingCountsLeaveTheWindowAlone_data()
{
    QTest::addColumn<int>("done");
    QTest::addColumn<int>("failed");

    QTest::newRow("the first board") << 1 << 0;
    QTest::newRow("a long shift") << 123456 << 7890;
}

// The counts grow a digit at a time. Were the bar's least width theirs, every new digit would
// lay the window out and repaint it whole, and a long shift would push it past the screen.
void tst_TotalsBar::growingCountsLeaveTheWindowAlone()
{
    QFETCH(int, done);
    QFETCH(int, failed);

    TotalsBar bar;
    bar.resize(600, 80);
    bar.setVisible(true);
    QVERIFY(QTest::qWaitForWindowExposed(&bar));
    const QSize least = bar.minimumSizeHint();

    StationState state(Targets{Target::fromArgument("/dev/ttyUSB0")}, true);
    for (int i = 0; i < done + failed; ++i)
        state.apply({.kind = BoardEvent::Kind::Result,
                     .phase = SlotPhase::Remove,
                     .target = 0,
                     .board = i + 1,
                     .attempt = 1,
                     .outcome = i < done ? Outcome::Done : Outcome::DownloadError});
    bar.show(state);
    QCoreApplication::sendPostedEvents();

    QCOMPARE(bar.minimumSizeHint().width(), least.width());
    QVERIFY2(bar.accessibleDescription().startsWith(
                 QString("%1 boards: %2 done, %3 failed").arg(done + failed).arg(done).arg(failed)),
             qPrintable(bar.accessibleDescription()));
}

QTEST_MAIN(tst_TotalsBar)
#include "tst_totalsbar.moc"
