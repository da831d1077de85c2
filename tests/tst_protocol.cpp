#include "download/protocol.h"

#include <QtTest>

class tst_Protocol : public QObject
{
    Q_OBJECT

private slots:
    void fixedBytes_data();
    void fixedBytes();
    void checksumAndHeader_data();
    void checksumAndHeader();
    void headerFields();
    void blocks_data();
    void blocks();
};

void tst_Protocol::fixedBytes_data()
{
    QTest::addColumn<QByteArray>("actual");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("handshake") << Protocol::handshakeFrame() << QByteArray::fromHex("5AA511");
    QTest::newRow("finish") << Protocol::finishFrame() << QByteArray::fromHex("5AA588");
    QTest::newRow("ready") << Protocol::readyReply() << QByteArray::fromHex("A55A00");
    QTest::newRow("accept") << Protocol::acceptReply() << QByteArray::fromHex("A55A41");
}

void tst_Protocol::fixedBytes()
{
    QFETCH(QByteArray, actual);
    QFETCH(QByteArray, expected);
    QCOMPARE(actual, expected);
}

void tst_Protocol::checksumAndHeader_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<quint32>("sum");
    QTest::addColumn<QByteArray>("header");

    QTest::newRow("empty") << QByteArray() << 0u
                           << QByteArray::fromHex("5AA580000000000000000000000000");
    QTest::newRow("abc") << QByteArray("abc") << 294u
                         << QByteArray::fromHex("5AA580000000000000000301260000");
    QTest::newRow("300 x FF") << QByteArray(300, '\xFF') << 0x12AD4u
                              << QByteArray::fromHex("5AA58000000000000001 2C2AD40000");
    QTest::newRow("1000 x FF") << QByteArray(1000, '\xFF') << 0x3E418u
                               << QByteArray::fromHex("5AA580000000000000 03E8E4180000");
    QTest::newRow("256 x FF") << QByteArray(256, '\xFF') << 65280u
                              << QByteArray::fromHex("5AA58000000000000001 00FF000000");
    QTest::newRow("257 x FF") << QByteArray(257, '\xFF') << 65535u
                              << QByteArray::fromHex("5AA58000000000000001 01FFFF0000");
    QTest::newRow("258 x FF") << QByteArray(258, '\xFF') << 65790u
                              << QByteArray::fromHex("5AA58000000000000001 0200FE0000");
}

void tst_Protocol::checksumAndHeader()
{
    QFETCH(QByteArray, image);
    QFETCH(quint32, sum);
    QFETCH(QByteArray, header);

    QCOMPARE(byteSum(image.constData(), image.size()), sum);
    const QByteArray frame = Protocol::headerFrame(0, image.size(), quint16(sum));
    QCOMPARE(frame.toHex(' '), header.toHex(' '));
    QCOMPARE(Protocol::headerImageLength(frame), qint64(image.size()));
}

void tst_Protocol::headerFields()
{
    // Every field big-endian, in its own place, with the sum wrapping at 32 bits.
    const QByteArray frame = Protocol::headerFrame(0x01020304u, 0x7FFFFFFF, 0xBEEF);
    QCOMPARE(frame, QByteArray::fromHex("5AA580 01020304 7FFFFFFF BEEF 0000"));
    // 17 MiB of FF sums past 2^32: the sum wraps instead of saturating or widening.
    const QByteArray big(17 << 20, '\xFF');
    QCOMPARE(byteSum(big.constData(), big.size()), quint32(qint64(big.size()) * 0xFF % (1LL << 32)));
    QCOMPARE(Protocol::headerImageLength(QByteArray::fromHex("5AA511")), qint64(-1));
}

void tst_Protocol::blocks_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<QList<int>>("blocks");
    QTest::newRow("empty") << 0 << QList<int>{};
    QTest::newRow("1") << 1 << QList<int>{1};
    QTest::newRow("3") << 3 << QList<int>{3};
    QTest::newRow("128") << 128 << QList<int>{128};
    QTest::newRow("129") << 129 << QList<int>{128, 1};
    QTest::newRow("256") << 256 << QList<int>{128, 128};
    QTest::newRow("300") << 300 << QList<int>{128, 128, 44};
}

void tst_Protocol::blocks()
{
    QFETCH(int, length);
    QFETCH(QList<int>, blocks);
    QList<int> sent;
    for (qint64 rest = length; Protocol::blockLength(rest) > 0; rest -= sent.last())
        sent << Protocol::blockLength(rest);
    QCOMPARE(sent, blocks);
}

QTEST_GUILESS_MAIN(tst_Protocol)
#include "tst_protocol.moc"
