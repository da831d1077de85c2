#include "testing/enginerun.h"
#include "testing/images.h"
#include "testing/simloader.h"
#include "testing/waitfor.h"

#include <QtTest>

#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>

// lumedra-cli run as a process, as scripts run it, against simulated loaders.
class tst_Cli : public QObject
{
    Q_OBJECT

private slots:
    void boardsFailApart();
    void exitStatus_data();
    void exitStatus();

private:
    QTemporaryDir dir;
};

namespace
{
QList<QJsonObject> events(QProcess &cli)
{
    QList<QJsonObject> list;
    for (const QByteArray &line : cli.readAllStandardOutput().split('\n'))
        if (!line.isEmpty())
            list << QJsonDocument::fromJson(line).object();
    return list;
}
} // namespace

void tst_Cli::boardsFailApart()
{
    SimLoader first, second, mute(SimLoader::Faults{.silent = true});
    QVERIFY(first.start() && second.start() && mute.start());
    const QByteArray image = randomImage(3000, 21);
    const QStringList ports{first.portName(), second.portName(), mute.portName(),
                            "lumedra-no-such-port"};
    QStringList args{"--json", writeFile(dir.path(), "image.bin", image)};
    for (const QString &port : ports)
        args << "-p" << port;
    QProcess cli;
    cli.start(LUMEDRA_CLI, args);
    QVERIFY(cli.waitForFinished(30000));
    QCOMPARE(cli.exitCode(), 1);
    QVERIFY(first.image() == image && second.image() == image);
    // Without -b the first handshakes go out at 115200 baud.
    QCOMPARE(first.frames().first().baud, 115200);

    // Per port: started first, percents rising, one result last; progress only when done.
    QMap<QString, QStringList> seen;
    QMap<QString, int> percent;
    for (const QJsonObject &event : events(cli)) {
        const QString port = event["port"].toString(), kind = event["event"].toString();
        seen[port] << (kind == "result" ? event["result"].toString() : kind);
        if (kind == "started") {
            QCOMPARE(event["bytes"].toInt(), image.size());
            QCOMPARE(event["checksum"].toInt(), int(checksumOf(image)));
        } else if (kind == "progress") {
            QVERIFY(event["percent"].toInt() > percent.value(port, -1));
            percent[port] = event["percent"].toInt();
        }
    }
    const QStringList expected{"done", "done", "timeout", "open_failed"};
    QCOMPARE(seen.size(), ports.size());
    for (int i = 0; i < ports.size(); ++i) {
        const QStringList &kinds = seen[ports[i]];
        QCOMPARE(kinds.first() + ' ' + kinds.last(), "started " + expected[i]);
        QCOMPARE(kinds.count("started") + kinds.count(expected[i]), 2);
        QCOMPARE(kinds.contains("progress"), expected[i] == "done");
    }
    QVERIFY(cli.readAllStandardError().contains("does not exist"));
}

void tst_Cli::exitStatus_data()
{
    QTest::addColumn<QStringList>("args"); // PORT: the loader's port; IMAGE: the image file
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<bool>("interrupt");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("stderrHas");
    const QStringList usual{"-p", "PORT", "IMAGE"};
    const QByteArray image = randomImage(64 << 10, 22);

    QTest::newRow("SIGINT mid-download") << usual << image << true << 130 << "1 stopped";
    QTest::newRow("empty image") << usual << QByteArray() << false << 2 << "image.bin is empty";
    QTest::newRow("missing image") << QStringList{"-p", "PORT", "absent.bin"} << image << false << 2
                                   << "absent.bin: No such file";
    QTest::newRow("rate not a number")
        << QStringList{"-b", "0x10", "-p", "PORT", "IMAGE"} << image << false << 2 << "positive";
    QTest::newRow("same port twice") << QStringList{"-p", "PORT", "-p", "/dev/./ALIAS", "IMAGE"}
                                     << image << false << 2 << "named twice";
}

void tst_Cli::exitStatus()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, image);
    QFETCH(bool, interrupt);
    QFETCH(int, status);
    QFETCH(QString, stderrHas);

    // About 6 s for the image on the paced line: long enough to interrupt.
    SimLoader loader(SimLoader::Faults{.throttleBaud = 115200});
    QVERIFY(loader.start());
    args.replaceInStrings("PORT", loader.portName());
    args.replaceInStrings("ALIAS", loader.portName().mid(int(qstrlen("/dev/"))));
    args.replaceInStrings("IMAGE", writeFile(dir.path(), "image.bin", image));
    args.replaceInStrings("absent.bin", dir.filePath("absent.bin"));
    QProcess cli;
    cli.start(LUMEDRA_CLI, QStringList{"--json"} + args);
    if (interrupt) {
        QVERIFY(waitFor([&] { return loader.count(SimLoader::Frame::Block) > 4; }, 10000));
        ::kill(pid_t(cli.processId()), SIGINT);
    }
    QVERIFY(cli.waitForFinished(20000));
    QCOMPARE(cli.exitCode(), status);
    QVERIFY2(cli.readAllStandardError().contains(stderrHas.toUtf8()), qPrintable(stderrHas));
    if (interrupt) {
        QCOMPARE(events(cli).last()["result"].toString(), QString("stopped"));
        QVERIFY(waitFor([&] { return loader.hangups() == 1; }, 2000));
        QVERIFY(portFree(loader.portName()));
    } else {
        QVERIFY(loader.hangups() == 0 && loader.received().isEmpty());
    }
}

QTEST_GUILESS_MAIN(tst_Cli)
#include "tst_cli.moc"
