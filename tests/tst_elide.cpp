#include "station/elide.h"

#include <QtTest>

class tst_Elide : public QObject
{
    Q_OBJECT

private slots:
    void elide_data();
    void elide();
};

namespace
{
const QString ByPath = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.%1:1.0-port0";
}

void tst_Elide::elide_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<int>("width");
    QTest::addColumn<QStringList>("kept"); // what must survive in each name, in order
    const QStringList hub{ByPath.arg(1), ByPath.arg(2), ByPath.arg(3)};
    QTest::newRow("fits: unchanged") << hub << 80 << hub;
    QTest::newRow("one hub position apart, 30 wide")
        << hub << 30 << QStringList{"1.1:", "1.2:", "1.3:"};
    QTest::newRow("one hub position apart, 22 wide")
        << hub << 22 << QStringList{"1.1", "1.2", "1.3"};
    QTest::newRow("apart at the end") << QStringList{"/dev/serial/by-id/usb-FTDI_FT232R_A10K1234",
                                                     "/dev/serial/by-id/usb-FTDI_FT232R_A10K9876"}
                                      << 20 << QStringList{"1234", "9876"};
    QTest::newRow("apart at the start")
        << QStringList{"a-some-long-shared-name-of-a-port", "b-some-long-shared-name-of-a-port"}
        << 14 << QStringList{"a-", "b-"};
    QTest::newRow("nothing shared") << QStringList{"/dev/ttyUSB0", "COM-A-very-long-adapter-name"}
                                    << 10 << QStringList{"/dev", "COM"};
    QTest::newRow("too narrow for the part apart: both ends")
        << hub << 16 << QStringList{"/dev/se", "/dev/se", "/dev/se"};
    QTest::newRow("one name") << QStringList{ByPath.arg(4)} << 12 << QStringList{"/dev"};
    QTest::newRow("narrower than the ellipsis") << hub << 2 << QStringList{"", "", ""};
}

// A shortened name never overflows its width and keeps what tells it from the others.
void tst_Elide::elide()
{
    QFETCH(QStringList, names);
    QFETCH(int, width);
    QFETCH(QStringList, kept);

    const SharedAffixes shared = SharedAffixes::of(names);
    QVERIFY(shared.start + shared.end <= names.first().size());
    QStringList shortened;
    for (int i = 0; i < names.size(); ++i) {
        const QString text = ::elide(names[i], width, shared);
        QVERIFY2(text.size() <= qMax(width, 3), qPrintable(text));
        QVERIFY2(text.contains(kept[i]), qPrintable(text));
        if (names[i].size() <= width)
            QCOMPARE(text, names[i]);
        shortened << text;
    }
    if (width >= 20)
        QCOMPARE(shortened.removeDuplicates(), 0);
}

QTEST_GUILESS_MAIN(tst_Elide)
#include "tst_elide.moc"
