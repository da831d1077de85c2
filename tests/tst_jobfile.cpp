#include "station/jobfile.h"

#include <QtTest>

// Job files as a line engineer writes them: what is read from each, and what is refused with
// the line and key named.
class tst_JobFile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void errors_data();
    void errors();
    void values_data();
    void values();

private:
    QString write(const QByteArray &text);

    QTemporaryDir dir;
    int written = 0;
};

namespace
{
const QByteArray Head = "[job]\nversion = 1\nimage = fw.bin\n";
const QByteArray OneSlot = "[slot.1]\nport = /dev/ttyUSB0\n";
} // namespace

QString tst_JobFile::write(const QByteArray &text)
{
    const QString path = dir.filePath(QString("job%1.ini").arg(++written));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        return QString();
    return path;
}

void tst_JobFile::initTestCase()
{
    QVERIFY(dir.isValid());
}

void tst_JobFile::errors_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("error"); // after the file's name

    QTest::newRow("no version") << QByteArray("[job]\nimage = fw.bin\n" + OneSlot)
                                << ":1: [job] version is missing";
    QTest::newRow("a newer version")
        << QByteArray("[job]\nversion = 2\nimage = x\n" + OneSlot)
        << ":2: [job] version: 2 is newer than this program reads (1): update it";
    QTest::newRow("version not a number")
        << QByteArray("[job]\nversion = one\nimage = x\n" + OneSlot)
        << ":2: [job] version: 'one' is not a whole number from 1";
    QTest::newRow("no image") << QByteArray("[job]\nversion = 1\n" + OneSlot)
                              << ":1: [job] image is missing";
    QTest::newRow("unknown key") << QByteArray(Head + "speed = 9\n" + OneSlot)
                                 << ":4: [job] speed: unknown key; known are version, image, "
                                    "station-id, reset, reset-cmd, attempts, gone-after, log, "
                                    "locked, baud, db, image-format, image-base, fill, "
                                    "image-size, image-sha256, scan, scan-pattern, reflash, "
                                    "operator, lot";
    QTest::newRow("unknown key in a slot")
        << QByteArray(Head + OneSlot + "name = A1\n")
        << ":6: [slot.1] name: unknown key; known are port, label, code";
    QTest::newRow("unknown section")
        << QByteArray(Head + OneSlot + "[slots]\n") << ":6: unknown section [slots]";
    QTest::newRow("slot 0") << QByteArray(Head + "[slot.0]\nport = x\n")
                            << ":4: unknown section [slot.0]";
    QTest::newRow("slot 65") << QByteArray(Head + OneSlot + "[slot.65]\nport = x\n")
                             << ":6: [slot.65]: at most 64 slots";
    QTest::newRow("a gap in the slots")
        << QByteArray(Head + OneSlot + "[slot.3]\nport = x\n")
        << ":6: [slot.3] follows slot 1: slots are numbered without a gap";
    QTest::newRow("no slot") << Head << ": no slot: a [slot.1] section with a port";
    QTest::newRow("a slot without a port")
        << QByteArray(Head + "[slot.1]\nlabel = A1\n") << ":4: [slot.1] port is missing";
    QTest::newRow("attempts 0") << QByteArray(Head + "attempts = 0\nreset = dtr-pulse\n" + OneSlot)
                                << ":4: [job] attempts: '0' is not a whole number from 1 to 100";
    QTest::newRow("attempts without a reset")
        << QByteArray(Head + "attempts = 3\n" + OneSlot)
        << ":1: [job] attempts needs reset or reset-cmd: only "
           "a reset brings the loader back to the start";
    QTest::newRow("two resets") << QByteArray(Head + "reset = dtr-pulse\nreset-cmd = relay\n" +
                                              OneSlot)
                                << ":1: [job] reset and reset-cmd exclude each other";
    QTest::newRow("bad reset step") << QByteArray(Head + "reset = D1,X5\n" + OneSlot)
                                    << ":4: [job] reset: step 'X5' is none of D0, D1, R0, "
                                       "R1 or W<ms> up to W10000; or use a preset: dtr-pulse, "
                                       "rts-pulse, boot-reset";
    QTest::newRow("gone-after 0")
        << QByteArray(Head + "gone-after = 0\n" + OneSlot)
        << ":4: [job] gone-after: '0' is not a positive number of seconds";
    QTest::newRow("baud") << QByteArray(Head + "baud = fast\n" + OneSlot)
                          << ":4: [job] baud: 'fast' is not a positive whole number";
    QTest::newRow("locked maybe") << QByteArray(Head + "locked = maybe\n" + OneSlot)
                                  << ":4: [job] locked: 'maybe' is neither true nor false";
    QTest::newRow("an unknown image format")
        << QByteArray(Head + "image-format = hex\n" + OneSlot)
        << ":4: [job] image-format: 'hex' is none of bin, ihex, srec, elf";
    QTest::newRow("a pin that is no SHA-256")
        << QByteArray(Head + "image-sha256 = 9f2c\n" + OneSlot)
        << ":4: [job] image-sha256: '9f2c' is not a SHA-256 (64 hexadecimal digits)";
    QTest::newRow("a key set twice") << QByteArray(Head + "image = other.bin\n" + OneSlot)
                                     << ":4: [job] image is set twice, first on line 3";
    QTest::newRow("a slot's key set twice")
        << QByteArray(Head + OneSlot + "[slot.2]\nport = x\nlabel = A\nport = y\n")
        << ":9: [slot.2] port is set twice, first on line 7";
    QTest::newRow("a serial key set twice")
        << QByteArray(Head + OneSlot + "[serial]\nat = 16\nformat = le32\nat = 32\n")
        << ":9: [serial] at is set twice, first on line 7";
    QTest::newRow("a section twice")
        << QByteArray(Head + OneSlot + OneSlot) << ":6: [slot.1] appears twice, first on line 4";
    QTest::newRow("a key before any section")
        << QByteArray("version = 1\n" + Head) << ":1: version comes before any [section]";
    QTest::newRow("a line that is no key")
        << QByteArray(Head + "image fw.bin\n")
        << ":4: 'image fw.bin' is neither [section] nor key = value";
    QTest::newRow("an empty value")
        << QByteArray(Head + "station-id =\n" + OneSlot) << ":4: [job] station-id: has no value";
    QTest::newRow("a port named twice") << QByteArray(Head + OneSlot + "[slot.2]\nport = ttyUSB0\n")
                                        << ":7: [slot.2] port: ttyUSB0 is named twice";
    QTest::newRow("a store with a password")
        << QByteArray(Head + "db = postgresql://line3:secret@db/flash\n" + OneSlot)
        << ":4: [job] db: the store's address holds a password: give it in ~/.pgpass or "
           "PGPASSFILE instead, never on the command line";
    QTest::newRow("a serial scheme the run refuses")
        << QByteArray(Head + OneSlot + "[serial]\nformat = le16\nstart = 1\n")
        << ":6: [serial]: a serial number needs its offset (at)";
    QTest::newRow("a position code twice")
        << QByteArray(Head + "scan = required\n[slot.1]\nport = a\ncode = FIX-1\n[slot.2]\nport = "
                             "b\ncode = FIX-1\n")
        << ":10: [slot.2] code: FIX-1 is slot 1's already";
    QTest::newRow("a position code that reads as a label")
        << QByteArray(Head + "scan = required\nscan-pattern = [A-Z]+-[0-9]\n[slot.1]\nport = "
                             "a\ncode = FIX-1\n")
        << ":8: [slot.1] code: FIX-1 matches scan-pattern: it would read as a label";
    QTest::newRow("a reflash that cannot keep numbers")
        << QByteArray(Head + "scan = optional\nreflash = allow\n" + OneSlot)
        << ":1: [job] reflash = allow needs scan = required";
    QTest::newRow("unknown scan mode") << QByteArray(Head + "scan = always\n" + OneSlot)
                                       << ":4: [job] scan: 'always' is not one of off, optional, "
                                          "required";
    QTest::newRow("unknown serial key") << QByteArray(Head + OneSlot + "[serial]\nwidth = 8\n")
                                        << ":7: [serial] width: unknown key; known are at, format, "
                                           "prefix, start, step, end, list, crc32-at, crc32-range";
    // [serial.NAME]: a pool of its own, checked with [serial] as one board's numbers.
    const QByteArray serialCrc = "[serial]\nat = 0\nformat = le32\nstart = 1\ncrc32-at = 60\n"
                                 "crc32-range = 0:60\n";
    QTest::newRow("a pool's name in capitals")
        << QByteArray(Head + OneSlot + "[serial.MAC]\n")
        << ":6: unknown section [serial.MAC]";
    QTest::newRow("a pool's unknown key")
        << QByteArray(Head + OneSlot + "[serial.mac]\nwrap = yes\n")
        << ":7: [serial.mac] wrap: unknown key; known are at, format, prefix, start, step, end, "
           "list, crc32-at, crc32-range";
    QTest::newRow("two CRCs")
        << QByteArray(Head + OneSlot + serialCrc +
                      "[serial.mac]\nat = 8\nformat = be48\nstart = 1\ncrc32-at = 40\n"
                      "crc32-range = 0:40\n")
        << ":12: [serial.mac]: [serial] and [serial.mac] both have a CRC: one CRC covers every "
           "number, set it in one section";
    QTest::newRow("a pool's field over [serial]'s")
        << QByteArray(Head + OneSlot + serialCrc +
                      "[serial.mac]\nat = 2\nformat = be48\nstart = 1\n")
        << ":12: [serial.mac]: the fields of [serial] (4 bytes at 0) and [serial.mac] (6 bytes at "
           "2) overlap";
    QTest::newRow("a pool's field over the CRC")
        << QByteArray(Head + OneSlot + serialCrc +
                      "[serial.mac]\nat = 56\nformat = mac\nstart = 1\n")
        << ":12: [serial.mac]: the field of [serial.mac] (17 bytes at 56) overlaps the CRC field "
           "at 60";
    QTest::newRow("a pool that ends before it starts")
        << QByteArray(Head + OneSlot +
                      "[serial.mac]\nat = 8\nformat = mac\nstart = 02:00:00:00:00:10\n"
                      "end = 02:00:00:00:00:0f\n")
        << ":6: [serial.mac]: serial end '02:00:00:00:00:0f' is not a number from the start "
           "02:00:00:00:00:10 to the largest the field holds";
}

void tst_JobFile::errors()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, error);
    const QString path = write(text);
    QVERIFY(!path.isEmpty());
    QString said;
    QVERIFY(!JobFile::load(path, &said));
    QCOMPARE(said, path + error);
}

void tst_JobFile::values_data()
{
    QTest::addColumn<QByteArray>("text");
    // key=value as read; FOLDER: the job's folder. A slot: its port as written, its label and the
    // path opened for it.
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("the usual job")
        << QByteArray(
               "# line 3\n[job]\nversion = 1\nimage = fw.bin\nstation-id = line-3\n"
               "reset = boot-reset\nattempts = 3\ngone-after = 2.5\nlog = logs/flash.jsonl\n"
               "locked = true\n\n[slot.1]\n"
               "port = /dev/serial/by-path/pci-0000:00:14.0-usb-0:1.1:1.0-port0\n"
               "label = A1\n[slot.2]\nport = /dev/serial/by-path/pci-0000:00:14.0-usb-0:1.2:*\n"
               "label = left fixture, A2\n")
        << QStringList{"image=FOLDER/fw.bin",
                       "station=line-3",
                       "reset=boot-reset",
                       "resets=1",
                       "attempts=3",
                       "gone=2500",
                       "log=FOLDER/logs/flash.jsonl",
                       "locked=1",
                       "baud=115200",
                       "slot1=/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.1:1.0-port0|A1|"
                       "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.1:1.0-port0",
                       "slot2=/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.2:*|left fixture, A2|"
                       "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.2:*",
                       "serial=",
                       "db="};
    // A bare name is /dev's, as the port list names ports; one from the folder is the job's.
    QTest::newRow("defaults, an absolute image, a bare port, a fixture's")
        << QByteArray("[job]\nversion = 1\nimage = /srv/fw/test.bin\n[slot.1]\nport = ttyUSB9\n"
                      "[slot.2]\nport = ./fixture/slot-2\n")
        << QStringList{"image=/srv/fw/test.bin",
                       "station=",
                       "reset=",
                       "resets=0",
                       "attempts=1",
                       "gone=2000",
                       "log=",
                       "locked=0",
                       "baud=115200",
                       "slot1=ttyUSB9||/dev/ttyUSB9",
                       "slot2=./fixture/slot-2||FOLDER/fixture/slot-2",
                       "serial=",
                       "db="};
    // Commas, semicolons and quotes are the command's own: a shell line is kept as written.
    QTest::newRow("a reset command with commas and a semicolon")
        << QByteArray("[job]\nversion = 1\nimage = ../fw.bin\nreset-cmd = uhubctl -a cycle -p 2,3; "
                      "sleep 1\nattempts = 2\nlocked = no\nbaud = 9600\n"
                      "[slot.1]\nport = \"/dev/ttyUSB0\"\nlabel = \"  A1  \"\n")
        << QStringList{"image=FOLDER/../fw.bin",
                       "station=",
                       "reset=",
                       "resets=1",
                       "attempts=2",
                       "gone=2000",
                       "log=",
                       "locked=0",
                       "baud=9600",
                       "slot1=/dev/ttyUSB0|  A1  |/dev/ttyUSB0",
                       "serial=",
                       "db="};
    QTest::newRow("serial scheme and record store handed on")
        << QByteArray(Head + "db = postgresql://line3@db/flash\n" + OneSlot +
                      "[serial]\nat = 0x10\nformat = dec:8\nprefix = SN-\nstart = 7\n")
        << QStringList{"image=FOLDER/fw.bin",
                       "station=",
                       "reset=",
                       "resets=0",
                       "attempts=1",
                       "gone=2000",
                       "log=",
                       "locked=0",
                       "baud=115200",
                       "slot1=/dev/ttyUSB0||/dev/ttyUSB0",
                       "serial=at:0x10;format:dec:8;prefix:SN-;start:7",
                       "db=postgresql://line3@db/flash"};
    // Wherever the job is started from, its store is the one beside it.
    QTest::newRow("a relative SQLite store is the job's")
        << QByteArray(Head + "db = sqlite:line/boards.sqlite\n" + OneSlot)
        << QStringList{"image=FOLDER/fw.bin",
                       "station=",
                       "reset=",
                       "resets=0",
                       "attempts=1",
                       "gone=2000",
                       "log=",
                       "locked=0",
                       "baud=115200",
                       "slot1=/dev/ttyUSB0||/dev/ttyUSB0",
                       "serial=",
                       "db=sqlite:FOLDER/line/boards.sqlite"};
}

void tst_JobFile::values()
{
    QFETCH(QByteArray, text);
    QFETCH(QStringList, expected);
    const QString path = write(text);
    QVERIFY(!path.isEmpty());
    QString error;
    const std::optional<Job> load = JobFile::load(path, &error);
    QVERIFY2(load, qPrintable(error));
    const Job &job = *load;
    QCOMPARE(job.path, path);
    QCOMPARE(job.version, 1);
    QVERIFY(job.settings.station);

    QStringList seen{"image=" + job.image,
                     "station=" + job.stationId,
                     "reset=" + job.resetText,
                     QString("resets=%1").arg(job.settings.resets()),
                     QString("attempts=%1").arg(job.settings.attempts),
                     QString("gone=%1").arg(job.settings.goneAfterMs),
                     "log=" + job.log,
                     QString("locked=%1").arg(job.locked),
                     QString("baud=%1").arg(job.settings.baud)};
    const Targets targets = job.targets();
    QCOMPARE(targets.size(), job.slotList.size());
    for (int i = 0; i < job.slotList.size(); ++i)
        seen << QString("slot%1=%2|%3|%4")
                    .arg(i + 1)
                    .arg(job.slotList[i].port, job.slotList[i].label, targets[i].path);
    QStringList serial;
    for (auto it = job.serialFields.begin(); it != job.serialFields.end(); ++it)
        serial << it.key() + ':' + it.value();
    seen << "serial=" + serial.join(';') << "db=" + job.db;
    expected.replaceInStrings("FOLDER", QFileInfo(path).absolutePath());
    // ../ is resolved: the image's path is what the log records.
    for (QString &line : expected)
        if (line.startsWith("image="))
            line = "image=" + QDir::cleanPath(line.mid(6));
    QCOMPARE(seen, expected);
}

QTEST_GUILESS_MAIN(tst_JobFile)
#include "tst_jobfile.moc"
