#include "cli/options.h"
#include "station/jobfile.h"

#include <QtTest>

// Who flashes and for which lot: the job's keys, the command line's options filling an `ask` or
// overriding a value, and a job that asks run without the answer refused as a usage error.
class tst_OperatorLot : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void rules_data();
    void rules();

private:
    QTemporaryDir dir;
    int written = 0;
};

using Kind = Options::Parsed::Kind;

void tst_OperatorLot::initTestCase()
{
    QVERIFY(dir.isValid());
}

void tst_OperatorLot::rules_data()
{
    QTest::addColumn<QByteArray>("keys"); // in [job]; none: no job at all
    QTest::addColumn<QStringList>("args");
    // "operator|lot" as the run records them, or the usage error (JOB: the job's path).
    QTest::addColumn<QString>("expected");
    const QByteArray none = "-";
    const QString longName(OperatorLot::MaxLength + 1, 'x');

    QTest::newRow("neither") << QByteArray() << QStringList() << "|";
    QTest::newRow("fixed in the job")
        << QByteArray("operator = ana\nlot = WO-1\n") << QStringList() << "ana|WO-1";
    QTest::newRow("asked, answered by the options")
        << QByteArray("operator = ask\nlot = ask\n")
        << QStringList{"--operator", "bo", "--lot", "WO-2"} << "bo|WO-2";
    QTest::newRow("fixed, overridden by the options")
        << QByteArray("operator = ana\nlot = WO-1\n")
        << QStringList{"--operator", "cy", "--lot", "WO-3"} << "cy|WO-3";
    QTest::newRow("one asked, the other fixed")
        << QByteArray("operator = ana\nlot = ask\n") << QStringList{"--lot", "WO-4"} << "ana|WO-4";
    QTest::newRow("answers trimmed")
        << QByteArray("lot = ask\n") << QStringList{"--lot", " WO-5 ", "--operator", " dee "}
        << "dee|WO-5";
    QTest::newRow("both asked, neither answered")
        << QByteArray("operator = ask\nlot = ask\n") << QStringList()
        << "the job job.ini asks for the operator and the lot at the start: give --operator and "
           "--lot";
    QTest::newRow("the lot asked, the operator answered")
        << QByteArray("operator = ask\nlot = ask\n") << QStringList{"--operator", "ana"}
        << "the job job.ini asks for the lot at the start: give --lot";
    QTest::newRow("the operator asked, not answered")
        << QByteArray("operator = ask\nlot = WO-1\n") << QStringList{"--lot", "WO-9"}
        << "the job job.ini asks for the operator at the start: give --operator";
    QTest::newRow("a check asks nobody")
        << QByteArray("operator = ask\nlot = ask\n") << QStringList{"--check"} << "|";
    QTest::newRow("no job, options alone")
        << none << QStringList{"--operator", "ana", "--lot", "WO-6"} << "ana|WO-6";
    QTest::newRow("'ask' is no answer")
        << QByteArray("operator = ask\n") << QStringList{"--operator", "ask"}
        << "--operator 'ask' is the job's word for asking at the start: give the operator itself";
    QTest::newRow("a blank answer")
        << QByteArray("lot = ask\n") << QStringList{"--lot", "  "} << "--lot needs a value";
    QTest::newRow("an answer too long")
        << QByteArray() << QStringList{"--lot", longName}
        << "--lot 'xxxxxxxxxxxxxxxxxxxx...' is longer than 100 characters";
    QTest::newRow("a scanner's stray tab") << QByteArray() << QStringList{"--operator", "ana\tWO-1"}
                                           << "--operator 'ana WO-1' holds a control character";
    QTest::newRow("a job's value too long")
        << QByteArray("lot = " + longName.toUtf8() + "\n") << QStringList()
        << "JOB:4: [job] lot: 'xxxxxxxxxxxxxxxxxxxx...' is longer than 100 characters";
    QTest::newRow("a job's value with a control character") << QByteArray("operator = a\x01"
                                                                          "b\n")
                                                            << QStringList()
                                                            << "JOB:4: [job] operator: 'a\x01"
                                                               "b' holds a control character";
}

void tst_OperatorLot::rules()
{
    QFETCH(QByteArray, keys);
    QFETCH(QStringList, args);
    QFETCH(QString, expected);

    const QString job = dir.filePath(QString("%1/job.ini").arg(++written));
    QVERIFY(QDir().mkpath(QFileInfo(job).path()));
    QFile file(job);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[job]\nversion = 1\nimage = fw.bin\n" + keys + "[slot.1]\nport = /dev/ttyUSB0\n");
    file.close();
    if (keys == "-")
        args << "-p"
             << "/dev/ttyUSB0"
             << "fw.bin";
    else
        args << "--job" << job << (args.contains("--check") ? QString() : QString("--station"));
    args.removeAll(QString());

    Options options;
    const Options::Parsed parsed = options.parse(QStringList{"lumedra-cli"} + args);
    expected.replace("JOB", job);
    if (!expected.contains('|')) {
        QCOMPARE(parsed.kind, Kind::UsageError);
        QCOMPARE(parsed.text, expected);
        return;
    }
    QVERIFY2(parsed.kind == Kind::Run, qPrintable(parsed.text));
    // What the run records is the plan's, not only the options'.
    const OperatorLot &recorded = options.plan(QString()).operatorLot;
    QCOMPARE(recorded.value(OperatorLot::Field::Operator) + '|' +
                 recorded.value(OperatorLot::Field::Lot),
             expected);
}

QTEST_GUILESS_MAIN(tst_OperatorLot)
#include "tst_operatorlot.moc"
