#include "station/folderwatch.h"

#include <QtTest>

// A slot hears of its folder's changes as they happen, and keeps hearing of them when the folder
// comes and goes; a folder it cannot watch is looked at on a clock instead.
class tst_FolderWatch : public QObject
{
    Q_OBJECT

private slots:
    void folderOf_data();
    void folderOf();
    void linksAppearAndChange();
    void folderMadeLaterAndAgain();
};

void tst_FolderWatch::folderOf_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("folder");

    QTest::newRow("a path") << "/dev/serial/by-path/pci-0:1.2-port0"
                            << "/dev/serial/by-path";
    QTest::newRow("a glob in the name") << "/dev/ttyUSB*"
                                        << "/dev";
    QTest::newRow("a glob in a folder") << "/dev/serial/*/port0"
                                        << "";
    QTest::newRow("a class in a folder") << "/tmp/fix[12]/port0"
                                         << "";
}

void tst_FolderWatch::folderOf()
{
    QFETCH(QString, pattern);
    QFETCH(QString, folder);
    QCOMPARE(FolderWatch::folderOf(pattern), folder);
}

void tst_FolderWatch::linksAppearAndChange()
{
    QTemporaryDir fixture;
    QVERIFY(fixture.isValid());
    const QString slot = fixture.filePath("usb-0:1.1-port0");
    FolderWatch watch(fixture.filePath("usb-0:1.*"));
    QSignalSpy changed(&watch, &FolderWatch::changed);
    QVERIFY(changed.isValid());
    QVERIFY(watch.watching());
    QVERIFY(QFile::link("/dev/null", slot));
    QVERIFY(changed.wait(5000));
    changed.clear();
    // Led elsewhere under the same name: another board.
    QVERIFY(QFile::remove(slot) && QFile::link("/dev/zero", slot));
    QVERIFY(changed.wait(5000));
    // Nothing happens: nothing is told, and no clock runs.
    changed.clear();
    QTest::qWait(3 * FolderWatch::PollMs);
    QCOMPARE(changed.count(), 0);
}

void tst_FolderWatch::folderMadeLaterAndAgain()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString folder = root.filePath("by-path");
    FolderWatch watch(folder + "/port*");
    QSignalSpy changed(&watch, &FolderWatch::changed);
    // No folder yet: looked at on a clock until there is one.
    QVERIFY(!watch.watching());
    QVERIFY(changed.wait(5000));
    QVERIFY(QDir().mkpath(folder));
    QTRY_VERIFY_WITH_TIMEOUT(watch.watching(), 5000);
    for (int round = 0; round < 2; ++round) {
        changed.clear();
        QVERIFY(QFile::link("/dev/null", folder + "/port0"));
        QVERIFY(changed.wait(5000));
        // The folder goes and comes back, as udev does with its by-path folder.
        QVERIFY(QDir(folder).removeRecursively());
        QTRY_VERIFY_WITH_TIMEOUT(!watch.watching(), 5000);
        QVERIFY(QDir().mkpath(folder));
        QTRY_VERIFY_WITH_TIMEOUT(watch.watching(), 5000);
    }
}

QTEST_GUILESS_MAIN(tst_FolderWatch)
#include "tst_folderwatch.moc"
