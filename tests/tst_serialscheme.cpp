#include "download/image.h"
#include "records/crc32.h"
#include "records/serialscheme.h"

#include <QtTest>

#include <sys/stat.h>

using Fields = QMap<QString, QString>;

// Where a board's number goes and how it is written, what a bad scheme is told, and the CRC
// recomputed after the patch.
class tst_SerialScheme : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void crc32_data();
    void crc32();
    void encodes_data();
    void encodes();
    void refuses_data();
    void refuses();
    void sequence_data();
    void sequence();
    void crcAfterPatch();

private:
    QTemporaryDir dir;
};

namespace
{
QString writeList(const QTemporaryDir &dir, const QString &name, const QByteArray &content)
{
    QFile file(dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return {};
    return name;
}
} // namespace

void tst_SerialScheme::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY(!writeList(dir, "twice.txt", "100\n200\n100\n").isEmpty());
    QVERIFY(!writeList(dir, "three.txt", "7\n\n0x10\n9000\n").isEmpty());
    QVERIFY(!writeList(dir, "wide.txt", "1\n70000\n").isEmpty());
    QVERIFY(!writeList(dir, "long.txt", "1\n 1234567\n").isEmpty());
    QFile big(dir.filePath("big.txt"));
    QVERIFY(big.open(QIODevice::WriteOnly) && big.resize((qint64(64) << 20) + 1));
    QVERIFY(::mkfifo(QFile::encodeName(dir.filePath("fifo")).constData(), 0600) == 0);
}

void tst_SerialScheme::crc32_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<quint32>("crc");
    QTest::newRow("check string") << QByteArray("123456789") << quint32(0xCBF43926);
    QTest::newRow("empty") << QByteArray() << quint32(0);
    QTest::newRow("one zero byte") << QByteArray(1, '\0') << quint32(0xD202EF8D);
}

void tst_SerialScheme::crc32()
{
    QFETCH(QByteArray, bytes);
    QFETCH(quint32, crc);
    QCOMPARE(crc32Ieee(bytes.constData(), bytes.size()), crc);
}

void tst_SerialScheme::encodes_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<QString>("text");
    QTest::newRow("le16") << "le16" << "" << "0x1234" << QByteArray::fromHex("3412") << "4660";
    QTest::newRow("be16") << "be16" << "" << "0x1234" << QByteArray::fromHex("1234") << "4660";
    QTest::newRow("le32") << "le32" << "" << "0x01020304" << QByteArray::fromHex("04030201")
                          << "16909060";
    QTest::newRow("be32") << "be32" << "" << "16909060" << QByteArray::fromHex("01020304")
                          << "16909060";
    QTest::newRow("le64 largest") << "le64" << "" << "18446744073709551615"
                                  << QByteArray::fromHex("ffffffffffffffff")
                                  << "18446744073709551615";
    QTest::newRow("be64") << "be64" << "" << "0x0102030405060708"
                          << QByteArray::fromHex("0102030405060708") << "72623859790382856";
    QTest::newRow("decimal padded") << "dec:6" << "" << "123" << QByteArray("000123") << "000123";
    QTest::newRow("decimal with prefix")
        << "dec:10" << "LMD-" << "123" << QByteArray("LMD-000123") << "LMD-000123";
    QTest::newRow("bcd") << "bcd:3" << "" << "12345" << QByteArray::fromHex("012345") << "012345";
    QTest::newRow("bcd with prefix")
        << "bcd:4" << "S" << "987654" << QByteArray::fromHex("53987654") << "S987654";
    // 48 bits for MAC addresses: binary either way round, or text with a separator of choice.
    QTest::newRow("be48") << "be48" << "" << "0x020000123456" << QByteArray::fromHex("020000123456")
                          << "02:00:00:12:34:56";
    QTest::newRow("le48") << "le48" << "" << "0x020000123456" << QByteArray::fromHex("563412000002")
                          << "02:00:00:12:34:56";
    QTest::newRow("be48 from an address") << "be48" << "" << "02-00-00-ab-cd-ef"
                                          << QByteArray::fromHex("020000abcdef")
                                          << "02:00:00:ab:cd:ef";
    QTest::newRow("mac") << "mac" << "" << "02:00:00:12:34:56" << QByteArray("02:00:00:12:34:56")
                         << "02:00:00:12:34:56";
    QTest::newRow("mac with hyphens") << "mac:-" << "" << "0x02AABBCCDDEE"
                                      << QByteArray("02-aa-bb-cc-dd-ee") << "02-aa-bb-cc-dd-ee";
    QTest::newRow("mac without separator") << "mac:none" << "" << "0xFFFFFFFFFFFF"
                                           << QByteArray("ffffffffffff") << "ffffffffffff";
}

void tst_SerialScheme::encodes()
{
    QFETCH(QString, format);
    QFETCH(QString, prefix);
    QFETCH(QString, start);
    QFETCH(QByteArray, field);
    QFETCH(QString, text);
    Fields fields{{"at", "4"}, {"format", format}, {"start", start}};
    if (!prefix.isEmpty())
        fields["prefix"] = prefix;
    QString error;
    const auto scheme = SerialScheme::fromFields(fields, dir.path(), &error);
    QVERIFY2(scheme, qPrintable(error));
    const QByteArray base(32, '\xEE');
    QVERIFY(scheme->fits(base.size(), &error));
    const SerialValue value = scheme->valueAt(0);
    const QByteArray out = scheme->patched(base, value);
    QCOMPARE(out.size(), base.size());
    QCOMPARE(out.mid(4, field.size()), field);
    // Nothing but the field changes.
    QCOMPARE(out.left(4), base.left(4));
    QCOMPARE(out.mid(4 + field.size()), base.mid(4 + field.size()));
    QCOMPARE(scheme->text(value), text);
}

void tst_SerialScheme::refuses_data()
{
    QTest::addColumn<Fields>("fields");
    QTest::addColumn<qint64>("imageSize");
    QTest::addColumn<QString>("error");
    const Fields le32{{"at", "0x10"}, {"format", "le32"}, {"start", "1"}};
    QTest::newRow("no offset") << Fields{{"format", "le32"}, {"start", "1"}} << qint64(64)
                               << "needs its offset";
    QTest::newRow("unknown format") << Fields{{"at", "0"}, {"format", "le24"}, {"start", "1"}}
                                    << qint64(64) << "'le24' is none of";
    QTest::newRow("field past the end") << le32 << qint64(19) << "outside the 19-byte image";
    QTest::newRow("field ends at the end, fits") << le32 << qint64(20) << "";
    QTest::newRow("le16 overflow") << Fields{{"at", "0"}, {"format", "le16"}, {"start", "65536"}}
                                   << qint64(64) << "does not fit";
    QTest::newRow("decimal overflow")
        << Fields{{"at", "0"}, {"format", "dec:6"}, {"prefix", "AB"}, {"start", "10000"}}
        << qint64(64) << "does not fit";
    QTest::newRow("prefix on binary")
        << Fields{{"at", "0"}, {"format", "be32"}, {"prefix", "X"}, {"start", "1"}} << qint64(64)
        << "dec and bcd formats only";
    QTest::newRow("neither start nor list") << Fields{{"at", "0"}, {"format", "le32"}}
                                            << qint64(64) << "need a start or a list";
    QTest::newRow("list duplicates")
        << Fields{{"at", "0"}, {"format", "le32"}, {"list", "twice.txt"}} << qint64(64)
        << "line 3: 100 is listed twice";
    QTest::newRow("list value too wide")
        << Fields{{"at", "0"}, {"format", "le16"}, {"list", "wide.txt"}} << qint64(64)
        << "line 2: 70000 does not fit";
    QTest::newRow("zero step")
        << Fields{{"at", "0"}, {"format", "le32"}, {"start", "1"}, {"step", "0"}} << qint64(64)
        << "not a positive number";
    Fields overlapping = le32;
    overlapping["crc32-at"] = "0x12";
    overlapping["crc32-range"] = "0x20:0x40";
    QTest::newRow("serial overlaps CRC") << overlapping << qint64(64) << "overlaps the CRC field";
    Fields inside = le32;
    inside["crc32-at"] = "0x30";
    inside["crc32-range"] = "0x20:0x40";
    QTest::newRow("CRC inside its range") << inside << qint64(64) << "inside its own range";
    Fields past = le32;
    past["crc32-at"] = "0";
    past["crc32-range"] = "4:65";
    QTest::newRow("CRC range past the end") << past << qint64(64) << "reaches past";
    Fields lone = le32;
    lone["crc32-at"] = "0";
    QTest::newRow("CRC offset without range") << lone << qint64(64) << "go together";

    // Offsets near 2^63 and 2^64: a sum of a position and a width would overflow.
    const auto at = [](const char *offset) {
        return Fields{{"at", offset}, {"format", "le32"}, {"start", "1"}};
    };
    QTest::newRow("serial field 2 bytes below 2^63")
        << at("0x7FFFFFFFFFFFFFFE") << qint64(64)
        << "(4 bytes at 9223372036854775806) lies outside";
    QTest::newRow("serial field at 2^63 - 1")
        << at("9223372036854775807") << qint64(64) << "lies outside the 64-byte image";
    QTest::newRow("serial offset 2^64 - 1")
        << at("0xFFFFFFFFFFFFFFFF") << qint64(64) << "is not a number";
    QTest::newRow("serial offset 2^64")
        << at("18446744073709551616") << qint64(64) << "is not a number";
    Fields crcFar = le32;
    crcFar["crc32-at"] = "0x7FFFFFFFFFFFFFFF";
    crcFar["crc32-range"] = "100:200";
    QTest::newRow("CRC field at 2^63 - 1")
        << crcFar << qint64(4096) << "CRC field at 9223372036854775807 lies outside";
    Fields rangeFar = le32;
    rangeFar["crc32-at"] = "0";
    rangeFar["crc32-range"] = "0x7FFFFFFFFFFFFFF0:0x7FFFFFFFFFFFFFFF";
    QTest::newRow("CRC range below 2^63") << rangeFar << qint64(4096) << "reaches past";
    Fields overlapFar = at("0x7FFFFFFFFFFFFFFC");
    overlapFar["crc32-at"] = "0x7FFFFFFFFFFFFFFE";
    overlapFar["crc32-range"] = "0:16";
    QTest::newRow("serial and CRC overlap below 2^63")
        << overlapFar << qint64(4096) << "overlaps the CRC field";
    Fields insideFar = le32;
    insideFar["crc32-at"] = "0x7FFFFFFFFFFFFFFE";
    insideFar["crc32-range"] = "0x7FFFFFFFFFFFFFF0:0x7FFFFFFFFFFFFFFF";
    QTest::newRow("CRC inside its range below 2^63")
        << insideFar << qint64(4096) << "inside its own range";

    // A list is read once, whole, from a regular file of at most 64 MiB.
    const auto list = [](const QString &file) {
        return Fields{{"at", "0"}, {"format", "le16"}, {"list", file}};
    };
    QTest::newRow("list from /dev/zero")
        << list("/dev/zero") << qint64(64) << "/dev/zero: not a regular file (a character device)";
    QTest::newRow("list from a FIFO")
        << list("fifo") << qint64(64) << "not a regular file (a FIFO)";
    QTest::newRow("list over 64 MiB") << list("big.txt") << qint64(64) << "(64 MiB)";
    QTest::newRow("list line longer than the field")
        << list("long.txt") << qint64(64) << "long.txt line 2 is longer than any number";

    // A pool's end.
    const Fields mac{{"at", "0"}, {"format", "mac"}, {"start", "02:00:00:00:00:10"}};
    QTest::newRow("end with a list")
        << Fields{{"at", "0"}, {"format", "le16"}, {"list", "three.txt"}, {"end", "9000"}}
        << qint64(64) << "a serial end goes with a start";
    Fields before = mac;
    before["end"] = "02:00:00:00:00:0f";
    QTest::newRow("end before the start")
        << before << qint64(64) << "serial end '02:00:00:00:00:0f'";
    Fields beyond = mac;
    beyond["end"] = "0x1000000000000";
    QTest::newRow("end beyond 48 bits") << beyond << qint64(64) << "is not a number from the start";
    Fields mixed = mac;
    mixed["end"] = "02:00-00:00:00:1f";
    QTest::newRow("end with mixed separators") << mixed << qint64(64) << "is not a number";
    QTest::newRow("mac with a letter as separator")
        << Fields{{"at", "0"}, {"format", "mac:x"}, {"start", "1"}} << qint64(64)
        << "'mac:x' is none of";
    QTest::newRow("mac past the end")
        << mac << qint64(16) << "the serial field (17 bytes at 0) lies outside the 16-byte image";
    QTest::newRow("prefix on mac")
        << Fields{{"at", "0"}, {"format", "mac"}, {"prefix", "M"}, {"start", "1"}} << qint64(64)
        << "dec and bcd formats only";
}

void tst_SerialScheme::refuses()
{
    QFETCH(Fields, fields);
    QFETCH(qint64, imageSize);
    QFETCH(QString, error);
    QString said;
    const auto scheme = SerialScheme::fromFields(fields, dir.path(), &said);
    const bool ok = scheme && scheme->fits(imageSize, &said);
    QCOMPARE(ok, error.isEmpty());
    if (!error.isEmpty())
        QVERIFY2(said.contains(error), qPrintable(said));
}

void tst_SerialScheme::sequence_data()
{
    QTest::addColumn<Fields>("fields");
    QTest::addColumn<qint64>("capacity");
    QTest::addColumn<QList<quint64>>("first");
    QTest::addColumn<QString>("last"); // the last number's text, told when the pool runs out
    QTest::newRow("start and step")
        << Fields{{"at", "0"}, {"format", "le16"}, {"start", "65530"}, {"step", "2"}} << qint64(3)
        << QList<quint64>{65530, 65532, 65534} << "65534";
    QTest::newRow("decimal digits run out")
        << Fields{{"at", "0"}, {"format", "dec:2"}, {"start", "95"}, {"step", "1"}} << qint64(5)
        << QList<quint64>{95, 96, 97} << "99";
    QTest::newRow("decimal with prefix, step past the last")
        << Fields{{"at", "0"},
                  {"format", "dec:5"},
                  {"prefix", "LM"},
                  {"start", "7"},
                  {"step", "10"}}
        << qint64(100) << QList<quint64>{7, 17} << "LM997";
    QTest::newRow("list in its order")
        << Fields{{"at", "0"}, {"format", "be32"}, {"list", "three.txt"}} << qint64(3)
        << QList<quint64>{7, 16, 9000} << "9000";
    // An end stops the pool at its last value, never past it and never round to the start.
    QTest::newRow("mac to its end")
        << Fields{{"at", "0"},
                  {"format", "mac"},
                  {"start", "02:00:00:00:00:fe"},
                  {"end", "02:00:00:00:01:01"}}
        << qint64(4) << QList<quint64>{0x0200000000FE, 0x0200000000FF, 0x020000000100}
        << "02:00:00:00:01:01";
    QTest::newRow("end between two steps")
        << Fields{{"at", "0"}, {"format", "le32"}, {"start", "10"}, {"step", "4"}, {"end", "21"}}
        << qint64(3) << QList<quint64>{10, 14, 18} << "18";
    QTest::newRow("end at the start")
        << Fields{{"at", "0"}, {"format", "be48"}, {"start", "5"}, {"end", "5"}} << qint64(1)
        << QList<quint64>{5} << "00:00:00:00:00:05";
    QTest::newRow("be48 without end runs to 48 bits")
        << Fields{{"at", "0"}, {"format", "be48"}, {"start", "0xFFFFFFFFFFFE"}} << qint64(2)
        << QList<quint64>{0xFFFFFFFFFFFE, 0xFFFFFFFFFFFF} << "ff:ff:ff:ff:ff:ff";
}

void tst_SerialScheme::sequence()
{
    QFETCH(Fields, fields);
    QFETCH(qint64, capacity);
    QFETCH(QList<quint64>, first);
    QFETCH(QString, last);
    QString error;
    const auto scheme = SerialScheme::fromFields(fields, dir.path(), &error);
    QVERIFY2(scheme, qPrintable(error));
    QCOMPARE(scheme->capacity(), capacity);
    for (int i = 0; i < first.size(); ++i)
        QCOMPARE(scheme->valueAt(i).number, first[i]);
    QCOMPARE(scheme->lastText(), last);
}

void tst_SerialScheme::crcAfterPatch()
{
    QString error;
    const auto scheme = SerialScheme::fromFields(
        {{"at", "8"}, {"format", "dec:8"}, {"prefix", "SN"}, {"start", "41"},
         {"crc32-at", "60"}, {"crc32-range", "0:60"}},
        dir.path(), &error);
    QVERIFY2(scheme, qPrintable(error));
    QByteArray base(64, '\0');
    for (int i = 0; i < base.size(); ++i)
        base[i] = char(i * 7);
    const QByteArray first = scheme->patched(base, scheme->valueAt(0));
    const QByteArray second = scheme->patched(base, scheme->valueAt(1));
    for (const QByteArray &out : {first, second}) {
        const quint32 stored = qFromLittleEndian<quint32>(out.constData() + 60);
        QCOMPARE(stored, crc32Ieee(out.constData(), 60));
    }
    QCOMPARE(first.mid(8, 8), QByteArray("SN000041"));
    QVERIFY(first.mid(60) != second.mid(60));
    // The header checksum each board gets is that of its own bytes.
    QCOMPARE(Image::fromBytes(first).checksum, imageChecksum(first));
    QVERIFY(Image::fromBytes(first).checksum != Image::fromBytes(second).checksum);
}

QTEST_GUILESS_MAIN(tst_SerialScheme)
#include "tst_serialscheme.moc"
