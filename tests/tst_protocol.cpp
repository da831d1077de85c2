#include "download/protocol.h"

#include <QtTest>

class tst_Protocol : public QObject
{
    Q_OBJECT

private slots:
    void fixedFrames();
    void imageFrames_data();
    void imageFrames();
};

void tst_Protocol::fixedFrames()
{
    QCOMPARE(Protocol::handshakeFrame(), QByteArray::fromHex("5AA511"));
    QCOMPARE(Protocol::finishFrame(), QByteArray::fromHex("5AA588"));
    QCOMPARE(Protocol::readyReply(), QByteArray::fromHex("A55A00"));
    QCOMPARE(Protocol::acceptReply(), QByteArray::fromHex("A55A41"));
    // Every header field big-endian, in its own place.
    QCOMPARE(Protocol::headerFrame(0x01020304u, 0x7FFFFFFF, 0xBEEF),
             QByteArray::fromHex("5AA580 01020304 7FFFFFFF BEEF 0000"));
}

void tst_Protocol::imageFrames_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<quint32>("sum");
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QList<int>>("blocks");
    const auto row = [](const char *tag, const QByteArray &image, quint32 sum, const char *header,
                        QList<int> blocks) {
        QTest::newRow(tag) << image << sum << QByteArray::fromHex(header) << blocks;
    };
    const auto ff = [](int n) { return QByteArray(n, '\xFF'); };

    row("empty", QByteArray(), 0, "5AA580 00000000 00000000 0000 0000", {});
    row("1", QByteArray(1, '\x01'), 1, "5AA580 00000000 00000001 0001 0000", {1});
    row("abc", "abc", 294, "5AA580 00000000 00000003 0126 0000", {3});
    row("128 x FF", ff(128), 32640, "5AA580 00000000 00000080 7F80 0000", {128});
    row("256 x FF", ff(256), 65280, "5AA580 00000000 00000100 FF00 0000", {128, 128});
    row("257 x FF", ff(257), 65535, "5AA580 00000000 00000101 FFFF 0000", {128, 128, 1});
    row("258 x FF", ff(258), 65790, "5AA580 00000000 00000102 00FE 0000", {128, 128, 2});
    row("300 x FF", ff(300), 0x12AD4, "5AA580 00000000 0000012C 2AD4 0000", {128, 128, 44});
    row("1000 x FF", ff(1000), 0x3E418, "5AA580 00000000 000003E8 E418 0000",
        QVector<int>(7, 128).toList() << 104);
}

void tst_Protocol::imageFrames()
{
    QFETCH(QByteArray, image);
    QFETCH(quint32, sum);
    QFETCH(QByteArray, header);
    QFETCH(QList<int>, blocks);

    QCOMPARE(byteSum(image.constData(), image.size()), sum);
    QCOMPARE(Protocol::headerFrame(0, image.size(), quint16(sum)).toHex(' '), header.toHex(' '));
    QList<int> sent;
    for (qint64 rest = image.size(); Protocol::blockLength(rest) > 0; rest -= sent.last())
        sent << Protocol::blockLength(rest);
    QCOMPARE(sent, blocks);
}

QTEST_GUILESS_MAIN(tst_Protocol)
#include "tst_protocol.moc"
