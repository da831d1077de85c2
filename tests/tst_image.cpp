#include "download/image.h"
#include "testing/kit/images.h"

#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

class tst_Image : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void load_data();
    void load();
    void maps_data();
    void maps();
    void elf_data();
    void elf();
    void oracle();

private:
    QTemporaryDir dir;
};

namespace
{

// What the tables write by hand: records with their checksums, as a toolchain writes them.
QByteArray ihex(quint8 type, quint16 offset, const char *data = "")
{
    const QByteArray bytes = QByteArray::fromHex(data);
    QByteArray record;
    record.append(char(bytes.size())).append(char(offset >> 8)).append(char(offset));
    record.append(char(type)).append(bytes);
    quint8 sum = 0;
    for (const char c : record)
        sum += quint8(c);
    return ':' + record.append(char(-sum)).toHex().toUpper() + '\n';
}

QByteArray srec(int type, quint32 address, const char *data = "")
{
    static const int widths[] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    const QByteArray bytes = QByteArray::fromHex(data);
    QByteArray record(1, char(widths[type] + bytes.size() + 1));
    for (int i = widths[type] - 1; i >= 0; --i)
        record.append(char(address >> (8 * i)));
    record.append(bytes);
    quint8 sum = 0;
    for (const char c : record)
        sum += quint8(c);
    return 'S' + QByteArray::number(type) + record.append(char(~sum)).toHex().toUpper() + '\n';
}

// What a load gave: the image, or why there is none.
struct Loaded {
    std::optional<Image> image;
    QString message;
};

Loaded loadOf(const QString &path, const ImageSpec &spec = {})
{
    Loaded loaded;
    loaded.image = Image::load(path, spec, &loaded.message);
    return loaded;
}

ImageSpec specOf(const QStringList &pairs)
{
    ImageSpec spec;
    for (const QString &pair : pairs) {
        const QString key = pair.section('=', 0, 0), value = pair.section('=', 1);
        QString error;
        if (!spec.set(key, key, value, &error))
            qFatal("%s", qPrintable(error));
    }
    return spec;
}

// A program's output, or a failed test naming what it said.
bool run(const QString &program, const QStringList &args, QByteArray *out = nullptr)
{
    QProcess process;
    process.start(program, args);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        qWarning("%s failed: %s", qPrintable(program), process.readAllStandardError().constData());
        return false;
    }
    if (out)
        *out = process.readAllStandardOutput();
    return true;
}

const QByteArray HexEnd = ihex(0x01, 0);
const QByteArray HexData = ihex(0x00, 0x0100, "1122") + ihex(0x00, 0x0104, "33");

} // namespace

void tst_Image::initTestCase()
{
    QVERIFY(dir.isValid());
    const auto write = [&](const char *name, const QByteArray &bytes) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    };
    write("fw.bin", "123456789");
    write("empty.bin", "");
    write("locked.bin", "x");
    QVERIFY(QFile::setPermissions(dir.filePath("locked.bin"), {}));
    QVERIFY(::mkfifo(QFile::encodeName(dir.filePath("fifo")).constData(), 0600) == 0);
    // Sparse: the size is refused before anything is read.
    QFile big(dir.filePath("big.bin"));
    QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(qint64(3) << 30));
}

void tst_Image::load_data()
{
    QTest::addColumn<QString>("name");    // in the test's folder, or an absolute path
    QTest::addColumn<QString>("message"); // empty: an image
    const auto row = [](const char *tag, const char *name, const char *message) {
        QTest::newRow(tag) << QString(name) << QString(message);
    };
    row("an image", "fw.bin", "");
    row("missing", "absent.bin", "cannot read DIR/absent.bin: No such file");
    row("empty", "empty.bin", "DIR/empty.bin is empty");
    row("a directory", "", "DIR/ is not a regular file (a directory)");
    row("a device", "/dev/zero", "/dev/zero is not a regular file (a character device)");
    row("a FIFO", "fifo", "DIR/fifo is not a regular file (a FIFO)");
    row("3 GiB", "big.bin",
        "DIR/big.bin is too large: 3221225472 bytes, the limit is 2146435072 bytes");
    if (::geteuid() != 0) // root reads whatever the mode says
        row("unreadable", "locked.bin", "cannot read DIR/locked.bin: Permission denied");
}

void tst_Image::load()
{
    QFETCH(QString, name);
    QFETCH(QString, message);

    const QString path = name.startsWith('/') ? name : dir.path() + '/' + name;
    message.replace("DIR", dir.path());
    const Loaded load = loadOf(path);
    QCOMPARE(load.image.has_value(), message.isEmpty());
    QVERIFY2(message.isEmpty() ? load.message.isEmpty() : load.message.startsWith(message),
             qPrintable(load.message));
    if (load.image) {
        // The checksum the header carries, the digest the record keeps.
        QCOMPARE(load.image->size(), 9);
        QCOMPARE(load.image->checksum, quint16(0x01dd));
        QCOMPARE(load.image->sha256,
                 QByteArray("15e2b0d3c33891ebb0f1ef609ec419420c20e320ce94c65fbc8c3312448eb225"));
        QCOMPARE(load.image->path, path);
        QCOMPARE(load.image->format, ImageFormat::Binary);
    }
}

void tst_Image::maps_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("spec"); // key=value, as a job writes them
    QTest::addColumn<qint64>("base");      // -1: refused
    QTest::addColumn<QByteArray>("image"); // hex; or what the error says after the file's name
    const auto good = [](const char *tag, const char *name, const QByteArray &text, qint64 base,
                         const char *image, const QStringList &spec = {}) {
        QTest::newRow(tag) << QString(name) << text << spec << base << QByteArray(image);
    };
    const auto bad = [](const char *tag, const char *name, const QByteArray &text,
                        const char *error, const QStringList &spec = {}) {
        QTest::newRow(tag) << QString(name) << text << spec << qint64(-1) << QByteArray(error);
    };

    good("HEX: data, a gap filled", "fw.hex", HexData + HexEnd, 0x100, "1122ffff33");
    good("HEX: lowercase", "fw.hex", (HexData + HexEnd).toLower(), 0x100, "1122ffff33");
    good("HEX: CRLF", "fw.hex", QByteArray(HexData + HexEnd).replace("\n", "\r\n"), 0x100,
         "1122ffff33");
    good("HEX: extended segment address", "fw.hex",
         ihex(0x02, 0, "1000") + ihex(0x00, 0x0010, "aabb") + HexEnd, 0x10010, "aabb");
    good("HEX: extended linear address, across 64 KiB", "fw.hex",
         ihex(0x04, 0, "0800") + ihex(0x00, 0xFFFF, "aa") + ihex(0x04, 0, "0801") +
             ihex(0x00, 0, "bb") + HexEnd,
         0x0800FFFF, "aabb");
    good("HEX: start addresses are no data", "fw.hex",
         ihex(0x03, 0, "00001234") + ihex(0x05, 0, "08000000") + ihex(0x00, 0, "55") + HexEnd, 0,
         "55");
    good("HEX: out of order", "fw.hex", ihex(0x00, 4, "bb") + ihex(0x00, 0, "aa") + HexEnd, 0,
         "aaffffffbb");
    good("HEX: overlap, same bytes", "fw.hex",
         ihex(0x00, 0, "112233") + ihex(0x00, 1, "2233") + ihex(0x00, 3, "44") + HexEnd, 0,
         "11223344");
    good("HEX: base, fill and size", "fw.hex", HexData + HexEnd, 0xFC, "000000001122000033000000",
         {"image-base=0xFC", "fill=0", "image-size=12"});
    good("HEX: the format named", "fw.dat", HexEnd, 0, "3a303030303030303146460a",
         {"image-format=bin"});
    good("HEX: a .bin is raw", "fw.bin", HexEnd, 0, "3a303030303030303146460a");
    good("HEX: the pin, in capitals", "fw.hex", HexData + HexEnd, 0x100, "1122ffff33",
         {"image-sha256=B2ABCE75FFF7978E28D22FCED25F2CD4CE60D9BFC2001A4208CD49F855FA9C7C"});
    bad("HEX: the wrong pin", "fw.hex", HexData + HexEnd,
        " is not the pinned image: its SHA-256 is "
        "b2abce75fff7978e28d22fced25f2cd4ce60d9bfc2001a4208cd49f855fa9c7c, the pin is "
        "0000000000000000000000000000000000000000000000000000000000000000",
        {"image-sha256=0000000000000000000000000000000000000000000000000000000000000000"});
    bad("HEX: overlap, other bytes", "fw.hex",
        ihex(0x00, 0, "112233") + ihex(0x00, 1, "2299") + HexEnd,
        ":2: address 0x00000002 is given 0x99 here and 0x33 earlier");
    bad("HEX: bad checksum", "fw.hex",
        ihex(0x04, 0, "0800") + ihex(0x00, 0x10, "1122").replace("BB\n", "BC\n") + HexEnd,
        ":2: bad checksum 0xbc in the record at 0x08000010: its bytes need 0xbb");
    bad("HEX: unknown type", "fw.hex", HexData + ihex(0x06, 0x20, "00") + HexEnd,
        ":3: unknown record type 06 at 0x00000020");
    bad("HEX: odd digit count", "fw.hex", ":0100000011E\n" + HexEnd,
        ":1: an odd number of hexadecimal digits (11)");
    bad("HEX: count says more", "fw.hex", ":0300000011EC\n" + HexEnd,
        ":1: the record says 3 data bytes and holds 1");
    bad("HEX: not a record", "fw.hex", HexData + "S1031000EC\n" + HexEnd,
        ":3: not a record: an Intel HEX record starts with ':'");
    bad("HEX: missing end", "fw.hex", HexData,
        ":2: the file ends without an end record (type 01) after the record at 0x00000104");
    bad("HEX: a record after the end", "fw.hex", HexEnd + HexData,
        ":2: a record after the end record");
    bad("HEX: no data", "fw.hex", HexEnd, " places no data");
    bad("HEX: below the base", "fw.hex", HexData + HexEnd,
        ":1: data at 0x00000100 lies below the base 0x00000102", {"image-base=0x102"});
    bad("HEX: beyond the size", "fw.hex", HexData + HexEnd,
        ":2: data up to 0x00000104 lies beyond the image's size, 4 bytes from 0x00000100",
        {"image-size=4"});
    // The address near 4 GiB is refused before 4 GiB of fill is allocated.
    bad("HEX: over the limit", "fw.hex",
        ihex(0x00, 0, "aa") + ihex(0x04, 0, "ffff") + ihex(0x00, 0xFFF0, "bb") + HexEnd,
        ":3: data at 0xFFFFFFF0 makes the image 4294967281 bytes from 0x00000000, over the "
        "limit of 2146435072 bytes");

    const QByteArray s9 = srec(9, 0);
    good("S-record: S0, S1 and S9", "fw.s19", srec(0, 0, "4844") + srec(1, 0x1000, "1122") + s9,
         0x1000, "1122");
    good("S-record: S2 and S8", "fw.s28", srec(2, 0x123456, "aa") + srec(8, 0), 0x123456, "aa");
    good("S-record: S3 and S7", "fw.s37", srec(3, 0x08000000, "aabb") + srec(7, 0x08000000),
         0x08000000, "aabb");
    good("S-record: S5 and S6 counts", "fw.srec",
         srec(1, 0, "11") + srec(1, 2, "22") + srec(5, 2) + srec(1, 1, "33") + srec(6, 3) + s9, 0,
         "113322");
    good("S-record: lowercase, CRLF", "fw.s19",
         QByteArray(srec(1, 0x1000, "1122") + s9).toLower().replace("\n", "\r\n"), 0x1000, "1122");
    good("S-record: fill", "fw.s19", srec(1, 0, "11") + srec(1, 3, "22") + s9, 0, "11474722",
         {"fill=0x47"});
    bad("S-record: wrong count", "fw.s19", srec(1, 0, "11") + srec(5, 2) + s9,
        ":2: the count record says 2 data records, and 1 came before it");
    bad("S-record: bad checksum", "fw.s19", srec(1, 0x1000, "1122").replace("B7\n", "B8\n") + s9,
        ":1: bad checksum 0xb8 in the record at 0x00001000: its bytes need 0xb7");
    bad("S-record: unknown type", "fw.s19", srec(1, 0, "11") + "S4030000FC\n" + s9,
        ":2: unknown record type S4");
    bad("S-record: odd digit count", "fw.s19", srec(1, 0, "11") + "S10400001\n" + s9,
        ":2: an odd number of hexadecimal digits (7)");
    bad("S-record: length byte wrong", "fw.s19", "S1050000114F\n" + s9,
        ":1: the record says 5 bytes follow its count and 4 do");
    bad("S-record: missing end", "fw.s19", srec(0, 0, "4844") + srec(1, 0x1000, "1122"),
        ":2: the file ends without an end record (S7, S8 or S9) after the record at 0x00001000");
    bad("S-record: overlap, other bytes", "fw.s19", srec(1, 0, "1122") + srec(1, 1, "33") + s9,
        ":2: address 0x00000001 is given 0x33 here and 0x22 earlier");
    bad("S-record: below the base", "fw.s19", srec(1, 0x1000, "1122") + s9,
        ":1: data at 0x00001000 lies below the base 0x00002000", {"image-base=8192"});
}

void tst_Image::maps()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, text);
    QFETCH(QStringList, spec);
    QFETCH(qint64, base);
    QFETCH(QByteArray, image);

    const QString path = writeFile(dir.path(), name, text);
    const Loaded load = loadOf(path, specOf(spec));
    if (base < 0) {
        QVERIFY(!load.image);
        QCOMPARE(load.message, path + QString::fromLatin1(image));
        return;
    }
    QVERIFY2(load.image, qPrintable(load.message));
    QCOMPARE(load.image->bytes.toHex(), image);
    QCOMPARE(load.image->base, quint64(base));
    QCOMPARE(
        load.image->sha256,
        QCryptographicHash::hash(QByteArray::fromHex(image), QCryptographicHash::Sha256).toHex());
}

void tst_Image::elf_data()
{
    QTest::addColumn<QString>("format"); // binutils' name for it
    QTest::newRow("32-bit, little-endian") << "elf32-little";
    QTest::newRow("32-bit, big-endian") << "elf32-big";
    QTest::newRow("64-bit, little-endian") << "elf64-little";
    QTest::newRow("64-bit, big-endian") << "elf64-big";
}

// Three PT_LOAD segments: code in flash; data that runs in RAM but is stored after the code (its
// physical address apart from its virtual one), with more memory than file bytes; and .bss with
// no file bytes at all.
void tst_Image::elf()
{
    QFETCH(QString, format);
    const QByteArray code = randomImage(100, 41), data = randomImage(50, 42);
    QTemporaryDir build;
    QVERIFY(build.isValid());
    writeFile(build.path(), "code", code);
    writeFile(build.path(), "data", data);
    writeFile(build.path(), "map.ld",
              "PHDRS { flash PT_LOAD; data PT_LOAD; bss PT_LOAD; }\n"
              "SECTIONS {\n"
              "  .text 0x08000000 : { *code(.data) } :flash\n"
              "  .data 0x20000000 : AT(0x08001000) { *data(.data) } :data\n"
              "  .sbss (NOLOAD) : { . = . + 0x10; } :data\n"
              "  .bss 0x20001000 (NOLOAD) : { . = . + 0x100; } :bss\n"
              "}\n");
    const QString elf = build.filePath("fw.elf");
    QVERIFY(run("ld", {"--oformat", format, "-b", "binary", build.filePath("code"),
                       build.filePath("data"), "-T", build.filePath("map.ld"), "-o", elf}));

    const Loaded load = loadOf(elf);
    QVERIFY2(load.image, qPrintable(load.message));
    QCOMPARE(load.image->format, ImageFormat::Elf);
    QCOMPARE(load.image->base, quint64(0x08000000));
    QCOMPARE(load.image->bytes, code + QByteArray(0x1000 - code.size(), '\xFF') + data);
    QCOMPARE(load.image->regions.size(), 2);
    QCOMPARE(load.image->regions[1].address, quint64(0x08001000));

    // Cut short within its first segment, past its headers.
    QFile file(elf);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString cut = writeFile(build.path(), "cut.elf", file.read(0xF0));
    const Loaded refused = loadOf(cut);
    QVERIFY(!refused.image);
    QVERIFY2(refused.message.startsWith(cut + ": segment 0: its 100 bytes at offset ") &&
                 refused.message.endsWith(" for 0x08000000 lie past the file's end"),
             qPrintable(refused.message));
}

// Random sparse maps written by srec_cat as HEX and as S-records, read here, against what
// srec_cat makes of the same file: the binary from the lowest address on, the gaps filled.
void tst_Image::oracle()
{
    constexpr int Maps = 300;
    constexpr int Pool = 4096;
    // Low maps take every record type, high ones extended addresses across 64 KiB boundaries.
    const quint64 starts[] = {0, 0x7F00, 0xFF80, 0x08000000, 0x7FFF0000};
    QTemporaryDir work;
    QVERIFY(work.isValid());
    QByteArray script = "set -e\n";
    QVector<quint64> lows;
    for (int seed = 0; seed < Maps; ++seed) {
        QRandomGenerator random{quint32(seed)};
        const bool hex = seed % 2 == 0;
        const QString pool = writeFile(work.path(), QString("%1.pool").arg(seed),
                                       randomImage(Pool, quint32(1000 + seed)));
        const quint64 low = starts[random.bounded(int(std::size(starts)))] + random.bounded(64);
        QString pieces;
        quint64 address = low, high = low;
        for (int regions = 1 + random.bounded(6), used = 0; regions > 0; --regions) {
            const int size = 1 + random.bounded(Pool / 6);
            pieces += QString(" %1 -binary -crop %2 %3 -offset %4")
                          .arg(pool)
                          .arg(used)
                          .arg(used + size)
                          .arg(qint64(address) - used);
            used += size;
            high = address + quint64(size);
            // Now and then adjacent: two pieces, one region.
            address = high + (random.bounded(3) == 0 ? 0 : random.bounded(0x3000));
        }
        QString format = hex ? "-intel" : "-motorola";
        if (hex && high <= 0x100000 && random.bounded(2) == 0)
            format += " -address-length=3"; // segments (02) rather than linear addresses (04)
        if (!hex)                           // S1, S2 or S3, whichever the addresses allow
            format += QString(" -address-length=%1")
                          .arg(high <= 0x10000     ? 2 + random.bounded(3)
                               : high <= 0x1000000 ? 3 + random.bounded(2)
                                                   : 4);
        const QString file = work.filePath(QString("%1.%2").arg(seed).arg(hex ? "hex" : "s19"));
        script += QString("srec_cat%1 -execution-start-address %2 -line-length %3 -o %4 %5\n"
                          "srec_cat %4 %6 -fill 0xFF %2 %7 -offset -%2 -o %4.bin -binary\n")
                      .arg(pieces)
                      .arg(low)
                      .arg(20 + random.bounded(60))
                      .arg(file, format, hex ? "-intel" : "-motorola")
                      .arg(high)
                      .toUtf8();
        lows << low;
    }
    QVERIFY(run("sh", {writeFile(work.path(), "maps.sh", script)}));

    for (int seed = 0; seed < Maps; ++seed) {
        const QString file =
            work.filePath(QString("%1.%2").arg(seed).arg(seed % 2 ? "s19" : "hex"));
        QFile expected(file + ".bin");
        QVERIFY(expected.open(QIODevice::ReadOnly));
        const Loaded load = loadOf(file);
        QVERIFY2(load.image, qPrintable(load.message));
        QVERIFY2(load.image->bytes == expected.readAll(), qPrintable(file));
        QCOMPARE(load.image->base, lows[seed]);
    }
}

QTEST_GUILESS_MAIN(tst_Image)
#include "tst_image.moc"
