#include "download/protocol.h"

#include <QtTest>

class tst_Protocol : public QObject
{
    Q_OBJECT

private slots:
    void frames();
    void byteSum_data();
    void byteSum();
};

// The engine, the simulated loader and the other tests all build frames through these
// functions, so only here are their bytes pinned down.
void tst_Protocol::frames()
{
    QCOMPARE(Protocol::handshakeFrame(), QByteArray::fromHex("5AA511"));
    QCOMPARE(Protocol::finishFrame(), QByteArray::fromHex("5AA588"));
    QCOMPARE(Protocol::readyReply(), QByteArray::fromHex("A55A00"));
    QCOMPARE(Protocol::acceptReply(), QByteArray::fromHex("A55A41"));
    QCOMPARE(Protocol::headerFrame(0x01020304u, 0x7FFFFFFF, 0xBEEF),
             QByteArray::fromHex("5AA580 01020304 7FFFFFFF BEEF 0000"));
}

void tst_Protocol::byteSum_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<quint32>("sum");
    QTest::newRow("empty") << QByteArray() << 0u;
    QTest::newRow("abc") << QByteArray("abc") << 294u;
    QTest::newRow("258 x FF, past 16 bits") << QByteArray(258, '\xFF') << 65790u;
    // Long enough for the wide loop, with a tail that is not a whole number of its lanes.
    QByteArray ramp(100003, Qt::Uninitialized);
    quint32 sum = 0;
    for (int i = 0; i < ramp.size(); ++i)
        sum += uchar(ramp[i] = char(i * 7 + i / 256));
    QTest::newRow("100003 varied bytes") << ramp << sum;
}

void tst_Protocol::byteSum()
{
    QFETCH(QByteArray, bytes);
    QFETCH(quint32, sum);
    QCOMPARE(::byteSum(bytes.constData(), bytes.size()), sum);
}

QTEST_GUILESS_MAIN(tst_Protocol)
#include "tst_protocol.moc"
