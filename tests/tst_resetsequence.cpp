#include "station/resetsequence.h"

#include <QtTest>

class tst_ResetSequence : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
};

namespace
{
QString steps(int count)
{
    QStringList list;
    for (int i = 0; i < count; ++i)
        list << (i % 2 ? "D0" : "D1");
    return list.join(',');
}
} // namespace

void tst_ResetSequence::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("error"); // empty: a sequence
    for (const QString &preset : ResetSequence::presetNames())
        QTest::newRow(qPrintable("preset " + preset)) << preset << "";
    QTest::newRow("steps") << "D1,R1,W100,D0,W50,R0" << "";
    QTest::newRow("lower case and spaces") << " d1, w10 ,r0 " << "";
    QTest::newRow("the longest wait") << "W10000" << "";
    QTest::newRow("32 steps") << steps(ResetSequence::MaxSteps) << "";
    QTest::newRow("a line set to 2") << "D2" << "reset step 'D2' is none of D0, D1, R0, R1";
    QTest::newRow("an unknown line") << "X1" << "reset step 'X1'";
    QTest::newRow("a wait over 10 s") << "W10001" << "up to W10000";
    QTest::newRow("no number") << "D" << "reset step 'D'";
    QTest::newRow("an empty step") << "D1,,D0" << "reset step ''";
    QTest::newRow("nothing") << "" << "reset step ''";
    QTest::newRow("an unknown preset") << "dtr-pulses" << "or use a preset: dtr-pulse";
    QTest::newRow("33 steps") << steps(ResetSequence::MaxSteps + 1) << "at most 32 steps";
    QTest::newRow("waits over 10 s in all") << "W6000,D1,W5000" << "waits 10000 ms in all";
}

void tst_ResetSequence::parse()
{
    QFETCH(QString, text);
    QFETCH(QString, error);

    QString said;
    const std::optional<ResetSequence> sequence = ResetSequence::parse(text, &said);
    QCOMPARE(sequence.has_value(), error.isEmpty());
    QVERIFY2(said.contains(error), qPrintable(said));
}

QTEST_GUILESS_MAIN(tst_ResetSequence)
#include "tst_resetsequence.moc"
