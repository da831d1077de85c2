#include "download/protocol.h"
#include "testing/kit/enginerun.h"
#include "testing/kit/images.h"
#include "testing/kit/waitfor.h"
#include "testing/simloader/simloader.h"

#include <QtTest>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

// lumedra-cli run as a process, as scripts run it, against simulated loaders.
class tst_Cli : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void boardsFailApart();
    void exitStatus_data();
    void exitStatus();
    void outputLost_data();
    void outputLost();
    void stuckReader();
    void display();
    void station();
    void hexStation();
    void report();
    void numbersRunOut();
    void operatorAndLot();

private:
    QTemporaryDir dir;
};

namespace
{
QList<QJsonObject> events(const QByteArray &output)
{
    QList<QJsonObject> list;
    for (const QByteArray &line : output.split('\n'))
        if (!line.isEmpty())
            list << QJsonDocument::fromJson(line).object();
    return list;
}
} // namespace

void tst_Cli::initTestCase()
{
    QVERIFY(dir.isValid());
}

void tst_Cli::boardsFailApart()
{
    SimLoader first, second, mute(SimLoader::Faults{.silent = true}),
        rejecting({.wrongAt = SimLoader::Step::Block, .wrongIndex = 2});
    QVERIFY(first.start() && second.start() && mute.start() && rejecting.start());
    const QByteArray image = randomImage(3000, 21);
    const QStringList ports{first.portName(), second.portName(), mute.portName(),
                            rejecting.portName(), "lumedra-no-such-port"};
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

    // Per port: started first, percents rising, one result last. A board that is done tells
    // 0 once the header is taken, then every percentage its blocks reached, each once, however
    // the events were batched.
    QList<int> everyPercent{0};
    for (qint64 sent = Protocol::MaxBlockLength;; sent += Protocol::MaxBlockLength) {
        const qint64 left = qMax<qint64>(0, image.size() - sent);
        const int reached = int(100 - left * 100 / image.size());
        if (everyPercent.isEmpty() || everyPercent.last() != reached)
            everyPercent << reached;
        if (left == 0)
            break;
    }
    QMap<QString, QStringList> seen;
    QMap<QString, int> percent;
    QMap<QString, QList<int>> percents;
    for (const QJsonObject &event : events(cli.readAllStandardOutput())) {
        const QString port = event["port"].toString(), kind = event["event"].toString();
        seen[port] << (kind == "result" ? event["result"].toString() : kind);
        if (kind == "started") {
            QCOMPARE(event["bytes"].toInt(), image.size());
            QCOMPARE(event["checksum"].toInt(), int(imageChecksum(image)));
        } else if (kind == "progress") {
            QVERIFY(event["percent"].toInt() > percent.value(port, -1));
            percent[port] = event["percent"].toInt();
            percents[port] << percent[port];
        }
    }
    const QStringList expected{"done", "done", "timeout", "download_error", "open_failed"};
    QCOMPARE(seen.size(), ports.size());
    for (int i = 0; i < ports.size(); ++i) {
        const QStringList &kinds = seen[ports[i]];
        QCOMPARE(kinds.first() + ' ' + kinds.last(), "started " + expected[i]);
        QCOMPARE(kinds.count("started") + kinds.count(expected[i]), 2);
        // Progress once the header is taken, ending at 100 only for a board that is done.
        QCOMPARE(kinds.contains("progress"),
                 expected[i] == "done" || expected[i] == "download_error");
        QCOMPARE(percent.value(ports[i], -1) == 100, expected[i] == "done");
        if (expected[i] == "done")
            QCOMPARE(percents[ports[i]], everyPercent);
    }
    QVERIFY(cli.readAllStandardError().contains("does not exist"));
}

void tst_Cli::exitStatus_data()
{
    // PORT: the loader's port, IMAGE: the image file.
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<SimLoader::Faults>("faults");
    QTest::addColumn<int>("signal"); // sent mid-download; 0: none
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("said"); // on stdout or stderr
    const QStringList usual{"-p", "PORT", "IMAGE"};
    const auto row = [&](const char *tag, const QStringList &args, int status, const char *said,
                         SimLoader::Faults faults = {}, int signal = 0) {
        QTest::newRow(tag) << args << faults << signal << status << QString(said);
    };
    // About 6 s for the image on the paced line: long enough to interrupt.
    const SimLoader::Faults paced{.throttleBaud = 115200};

    row("SIGINT mid-download", usual, 130, "1 stopped", paced, SIGINT);
    row("SIGHUP mid-download", usual, 130, "1 stopped", paced, SIGHUP);
    // No board failed to open, yet one did not finish.
    row("a silent board", usual, 1, "the loader never answered", {.silent = true});
    row("a rejected block", usual, 1, "rejected block 2 of 512",
        {.wrongAt = SimLoader::Step::Block, .wrongIndex = 2});
    row("reset on a pseudo-terminal", QStringList{"--reset", "dtr-pulse"} + usual, 1,
        "has no modem lines");
    row("version", {"-V"}, 0, "lumedra-cli 1.1");
    // Usage errors: nothing is opened.
    row("missing image", {"-p", "PORT", "absent.bin"}, 2, "absent.bin: No such file");
    row("a log that cannot be opened", QStringList{"--log", "/nonexistent/log"} + usual, 2,
        "cannot open the log /nonexistent/log");
    // The log fails at once: a station with no board yet starts none and ends.
    row("a station whose log fails", QStringList{"--station", "--log", "/dev/full"} + usual, 3,
        "the log could not be written", {.silent = true});
    const QStringList serial{"--serial-format", "le32", "--serial-start", "1", "--serial-at"};
    row("serial number past the image", serial + QStringList{"65533"} + usual, 2,
        "lies outside the 65536-byte image");
    row("serial number over the CRC",
        serial + QStringList{"16", "--crc32-at", "18", "--crc32-range", "64:128"} + usual, 2,
        "overlaps the CRC field");
    // Kept by its hash alone: the run says so as it starts.
    row("an image too big to keep",
        serial + QStringList{"16", "--image-size", QString::number((64 << 20) + 1)} + usual, 1,
        "lumedra-cli: warning: the image (67108865 bytes) is over the 64 MiB the record store "
        "keeps",
        {.silent = true});
    row("a store out of reach",
        serial + QStringList{"16", "--db", "postgresql://x@%2Fnonexistent/none"} + usual, 2,
        "cannot reach the record store postgresql://x@%2Fnonexistent/none");
    row("a password in the store's address",
        QStringList{"--db", "postgresql://x:s3cret@db/boards"} + usual, 2, "~/.pgpass");
    // JOB: a job file with the image and the loader's port as its one slot.
    row("a job checked", {"--job", "JOB", "--check"}, 0, "now: /dev/pts/");
    row("a job's value overridden by a bad one", {"--job", "JOB", "--check", "--attempts", "0"}, 2,
        "--attempts '0' is not a whole number");
    row("a job without --station or --check", {"--job", "JOB"}, 2, "a job runs a station");
    row("a job's station stopped mid-download", {"--station", "--job", "JOB"}, 130, "last: stopped",
        paced, SIGINT);
    row("a job's check gives the line that pins its image", {"--job", "JOB", "--check"}, 0,
        "\n           image-sha256 = ");
    row("a pinned image that differs", QStringList{"--image-sha256", QString(64, 'a')} + usual, 2,
        "is not the pinned image: its SHA-256 is ");
    row("a station's pinned image that differs",
        {"--station", "--job", "JOB", "--image-sha256", QString(64, 'A')}, 2,
        ", the pin is aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa");
    row("a raw image read as HEX", QStringList{"--image-format", "ihex"} + usual, 2,
        "not a record: an Intel HEX record starts with ':'");
    // PTS: the loader's port as the port list names it, pts/N: /dev/pts/N, never ./pts/N.
    row("a station's slot as the port list names it", {"--station", "-p", "PTS", "IMAGE"}, 130,
        "last: stopped", paced, SIGINT);
}

void tst_Cli::exitStatus()
{
    QFETCH(QStringList, args);
    const QByteArray image = randomImage(64 << 10, 22);
    QFETCH(SimLoader::Faults, faults);
    QFETCH(int, signal);
    QFETCH(int, status);
    QFETCH(QString, said);

    SimLoader loader(faults);
    QVERIFY(loader.start());
    args.replaceInStrings("PORT", loader.portName());
    args.replaceInStrings("PTS", loader.portName().mid(QString("/dev/").size()));
    const QString imagePath = writeFile(dir.path(), "image.bin", image);
    args.replaceInStrings("IMAGE", imagePath);
    args.replaceInStrings(
        "JOB", writeFile(dir.path(), "line.job",
                         "[job]\nversion = 1\nimage = " + QFile::encodeName(imagePath) +
                             "\n[slot.1]\nport = " + QFile::encodeName(loader.portName()) + "\n"));
    args.replaceInStrings("absent.bin", dir.filePath("absent.bin"));
    QProcess cli;
    cli.start(LUMEDRA_CLI, QStringList{"--json"} + args);
    if (signal != 0) {
        QVERIFY(waitFor([&] { return loader.count(SimLoader::Frame::Block) > 4; }, 10000));
        ::kill(pid_t(cli.processId()), signal);
    }
    QVERIFY(cli.waitForFinished(20000));
    QCOMPARE(cli.exitCode(), status);
    const QByteArray out = cli.readAllStandardOutput(), err = cli.readAllStandardError();
    QVERIFY2((out + err).contains(said.toUtf8()), (out + err).constData());
    QVERIFY(!(out + err).contains("s3cret"));
    if (signal != 0) {
        QCOMPARE(events(out).last()["result"].toString(), QString("stopped"));
        QVERIFY(waitFor([&] { return loader.hangups() == 1; }, 2000));
        QVERIFY(portFree(loader.portName()));
    } else if (status == 2) {
        QVERIFY(loader.hangups() == 0 && loader.received().isEmpty());
    }
}

void tst_Cli::outputLost_data()
{
    QTest::addColumn<QString>("output");
    QTest::addColumn<bool>("json");
    QTest::newRow("a pipe closed after one line") << "| head -1" << true;
    QTest::newRow("a full disk") << "> /dev/full" << false;
}

// Output that cannot be written stops the output, never a download.
void tst_Cli::outputLost()
{
    QFETCH(QString, output);
    QFETCH(bool, json);

    std::vector<std::unique_ptr<SimLoader>> loaders;
    const QByteArray image = randomImage(16 << 10, 24);
    QStringList args{LUMEDRA_CLI, writeFile(dir.path(), "lost.bin", image)};
    if (json)
        args << "--json";
    for (int i = 0; i < 4; ++i) {
        loaders.push_back(std::make_unique<SimLoader>(SimLoader::Faults{.throttleBaud = 57600}));
        QVERIFY(loaders.back()->start());
        args << "-p" << loaders.back()->portName();
    }
    QProcess shell;
    shell.start("bash",
                QStringList{"-c", "\"$0\" \"$@\" " + output + "; exit ${PIPESTATUS[0]}"} + args);
    QVERIFY(shell.waitForFinished(30000));
    QCOMPARE(shell.exitCode(), 3);
    QVERIFY(shell.readAllStandardError().contains("standard output lost"));
    for (const auto &loader : loaders) {
        QVERIFY(loader->image() == image);
        QVERIFY(portFree(loader->portName()));
    }
}

// A reader that stops reading holds up neither the boards nor a stop.
void tst_Cli::stuckReader()
{
    int pipe[2];
    QVERIFY(::pipe2(pipe, O_CLOEXEC) == 0);
    ::fcntl(pipe[1], F_SETPIPE_SZ, 4096);
    SimLoader loader(SimLoader::Faults{.throttleBaud = 115200});
    QVERIFY(loader.start());
    QProcess cli;
    cli.setStandardOutputFile(QString("/proc/self/fd/%1").arg(pipe[1]));
    cli.start(LUMEDRA_CLI, {"--json", "-p", loader.portName(),
                            writeFile(dir.path(), "stuck.bin", randomImage(64 << 10, 27))});
    // By then some 90 progress events have filled the pipe.
    QVERIFY(waitFor([&] { return loader.count(SimLoader::Frame::Block) > 460; }, 20000));
    ::kill(pid_t(cli.processId()), SIGTERM);
    QVERIFY(cli.waitForFinished(15000));
    QCOMPARE(cli.exitCode(), 130);
    QVERIFY(waitFor([&] { return portFree(loader.portName()); }, 1000));
    ::close(pipe[0]);
    ::close(pipe[1]);
}

// The live lines on a terminal of a set size: none wraps, however long the port names, and
// they follow the terminal when it shrinks; more boards than rows leave a line of the rest.
void tst_Cli::display()
{
    int master = -1, slave = -1;
    winsize size{.ws_row = 8, .ws_col = 72, .ws_xpixel = 0, .ws_ypixel = 0};
    QVERIFY(::openpty(&master, &slave, nullptr, nullptr, &size) == 0);
    const QString terminal = QFile::decodeName(::ttyname(slave));
    std::vector<std::unique_ptr<SimLoader>> loaders;
    QStringList args{writeFile(dir.path(), "display.bin", randomImage(24 << 10, 25))};
    for (int i = 0; i < 9; ++i) {
        loaders.push_back(std::make_unique<SimLoader>(SimLoader::Faults{.throttleBaud = 115200}));
        QVERIFY(loaders.back()->start());
        const QString link = dir.filePath(
            QString("pci-0000:00:14.0-usb-0:1.%1:1.0-port0-and-more-of-a-name").arg(i));
        QVERIFY(QFile::link(loaders.back()->portName(), link));
        args << "-p" << link;
    }
    QProcess cli;
    cli.setStandardOutputFile(terminal);
    cli.start(LUMEDRA_CLI, args);
    QByteArray screen;
    int resizedAt = -1;
    const auto drain = [&] {
        char buffer[4096];
        for (ssize_t got; (got = ::read(master, buffer, sizeof buffer)) > 0;)
            screen.append(buffer, int(got));
    };
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    QVERIFY(waitFor(
        [&] {
            drain();
            if (resizedAt < 0 && loaders.front()->count(SimLoader::Frame::Block) > 20) {
                size.ws_col = 40;
                ::ioctl(master, TIOCSWINSZ, &size);
                resizedAt = screen.size();
            }
            return cli.state() == QProcess::NotRunning;
        },
        30000));
    drain();
    ::close(slave);
    ::close(master);
    QCOMPARE(cli.exitCode(), 0);
    QVERIFY(resizedAt > 0);

    // Each redraw moves up over the lines it drew before; the summary follows the last one.
    const QByteArray live = screen.left(screen.lastIndexOf("\x1b[J"));
    static const QRegularExpression escape("\x1b\\[[0-9]*[A-Za-z]");
    // The frame being written, or already in the terminal unread, when the size changes was
    // laid out for the old width; the narrow width holds from the next frame on.
    int offset = 0, frameLines = 0, widest = 0, tallest = 0, framesSinceResize = 0;
    bool counted = false;
    for (const QByteArray &line : live.split('\n')) {
        const QString text = QString::fromUtf8(line);
        if (text.contains(QRegularExpression("\x1b\\[[0-9]+A"))) {
            tallest = qMax(tallest, frameLines);
            frameLines = 0;
            if (offset > resizedAt)
                ++framesSinceResize;
        }
        const int visible = QString(text).remove(escape).remove('\r').size();
        const int width = framesSinceResize >= 2 ? 40 : 72;
        QVERIFY2(visible < width, qPrintable(QString("%1 columns: %2").arg(visible).arg(text)));
        widest = qMax(widest, visible);
        counted = counted || text.contains("more:");
        ++frameLines;
        offset += line.size() + 1;
    }
    QVERIFY(tallest > 0 && tallest <= size.ws_row - 1);
    QVERIFY(framesSinceResize >= 2);
    QVERIFY(counted);
}

// A station's slot over a folder where boards are plugged and unplugged: symbolic links to
// simulated loaders' terminals, as /dev/serial/by-path holds links to adapters.
void tst_Cli::station()
{
    SimLoader first, second;
    QVERIFY(first.start() && second.start());
    QTemporaryDir fixture;
    const QString slot = fixture.filePath("pci-0000:00:14.0-usb-0:1.4:1.0-port0");
    const QByteArray image = randomImage(3000, 26);
    const QString imagePath = writeFile(dir.path(), "station.bin", image);
    const QString logPath = dir.filePath("station.jsonl");
    QProcess cli;
    cli.start(LUMEDRA_CLI, {"--station", "--json", "--gone-after", "0.5", "--log", logPath, "-p",
                            fixture.filePath("*usb-0:1.4:*"), imagePath});
    QTest::qWait(300);
    for (SimLoader *board : {&first, &second}) {
        // The second board takes the first one's place at once, under the same name.
        QFile::remove(slot);
        QVERIFY(QFile::link(board->portName(), slot));
        QVERIFY(waitFor([&] { return board->image() == image; }, 30000));
        // Left in place and still answering: not flashed again.
        QTest::qWait(1500);
        QCOMPARE(board->count(SimLoader::Frame::Header), 1);
    }
    QVERIFY(QFile::remove(slot));
    QTest::qWait(500);
    ::kill(pid_t(cli.processId()), SIGINT);
    QVERIFY(cli.waitForFinished(10000));
    QCOMPARE(cli.exitCode(), 130);

    QStringList seen;
    for (const QJsonObject &event : events(cli.readAllStandardOutput()))
        if (event["event"] != "progress" && event["event"] != "waiting")
            seen << QString("%1 %2 %3")
                        .arg(event["event"].toString())
                        .arg(event["board"].toInt())
                        .arg(event["result"].toString());
    QCOMPARE(seen, QStringList({"started 1 ", "result 1 done", "left 1 ", "started 2 ",
                                "result 2 done", "left 2 "}));

    QProcess sum;
    sum.start("sha256sum", {imagePath});
    QVERIFY(sum.waitForFinished());
    const QString sha256 = QString::fromLatin1(sum.readAllStandardOutput().split(' ').first());
    QFile file(logPath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QJsonObject> lines = events(file.readAll());
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines.first()["event"].toString() + ' ' + lines.last()["event"].toString(),
             QString("station_started station_stopped"));
    for (int board = 1; board <= 2; ++board) {
        const QJsonObject line = lines[board];
        QVERIFY(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$")
                    .match(line["time"].toString())
                    .hasMatch());
        QVERIFY(line["seconds"].toDouble() > 0 && line["seconds"].toDouble() < 5);
        for (const char *unknown : {"vid", "pid", "serial", "location"})
            QVERIFY(line[unknown].isNull()); // a pseudo-terminal is no USB device
        const QJsonObject expected{{"event", "board"},
                                   {"host", QSysInfo::machineHostName()},
                                   {"version", LUMEDRA_VERSION},
                                   {"slot", 1},
                                   {"board", board},
                                   {"port", slot},
                                   {"image", imagePath},
                                   {"size", image.size()},
                                   {"checksum", imageChecksum(image)},
                                   {"sha256", sha256},
                                   {"result", "done"},
                                   {"reason", ""},
                                   {"attempts", 1}};
        for (auto it = expected.begin(); it != expected.end(); ++it)
            QVERIFY2(line[it.key()] == it.value(), qPrintable(it.key()));
    }
}

// A station's job names a HEX file, its gaps filled and its SHA-256 pinned: every board gets
// the binary srec_cat makes of the same file.
void tst_Cli::hexStation()
{
    SimLoader first, second;
    QVERIFY(first.start() && second.start());
    const QString pool = writeFile(dir.path(), "pool.bin", randomImage(3000, 28));
    const QString hex = dir.filePath("fw.hex"), bin = dir.filePath("fw-srec_cat.bin");
    QProcess srecCat;
    srecCat.start("srec_cat",
                  {pool, "-binary", "-crop", "0", "1000", "-offset", "0x08000000", pool, "-binary",
                   "-crop", "1000", "3000", "-offset", "0x08000418", "-o", hex, "-intel"});
    QVERIFY(srecCat.waitForFinished(10000) && srecCat.exitCode() == 0);
    srecCat.start("srec_cat", {hex, "-intel", "-fill", "0xFF", "0x08000000", "0x08001000",
                               "-offset", "-0x08000000", "-o", bin, "-binary"});
    QVERIFY(srecCat.waitForFinished(10000) && srecCat.exitCode() == 0);
    QFile file(bin);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray expected = file.readAll();
    QCOMPARE(expected.size(), 0x1000);
    const QByteArray sha256 =
        QCryptographicHash::hash(expected, QCryptographicHash::Sha256).toHex();

    const QString logPath = dir.filePath("hex.jsonl");
    const QString job = writeFile(
        dir.path(), "hex.job",
        "[job]\nversion = 1\nimage = fw.hex\nimage-size = 4096\n"
        "image-sha256 = " +
            sha256 + "\nlog = hex.jsonl\n[slot.1]\nport = " + QFile::encodeName(first.portName()) +
            "\n[slot.2]\nport = " + QFile::encodeName(second.portName()) + "\n");
    // The check tells where each board's serial number and CRC go, as addresses too.
    QProcess cli;
    cli.start(LUMEDRA_CLI,
              {"--check", "--job", job, "--serial-at", "0x10", "--serial-format", "le32",
               "--serial-start", "1", "--crc32-at", "0x20", "--crc32-range", "0x100:0x200"});
    QVERIFY(cli.waitForFinished(10000));
    QCOMPARE(cli.exitCode(), 0);
    const QString check = QString::fromUtf8(cli.readAllStandardOutput());
    for (const QString &line :
         QStringList{"region     0x08000000..0x080003E7, 1000 bytes\n",
                     "region     0x08000800..0x08000FCF, 2000 bytes\n", "base       0x08000000\n",
                     "pin        image-sha256 = " + QString::fromLatin1(sha256) +
                         ": the image read has it\n",
                     "serial     at 0x10 (address 0x08000010), 4 bytes\n",
                     "crc32      at 0x20 (address 0x08000020), over 0x100:0x200 (addresses "
                     "0x08000100..0x080001FF)\n"})
        QVERIFY2(check.contains(line), qPrintable(check));

    cli.start(LUMEDRA_CLI, {"--station", "--quiet", "--job", job});
    QVERIFY(
        waitFor([&] { return first.image() == expected && second.image() == expected; }, 15000));
    ::kill(pid_t(cli.processId()), SIGINT);
    QVERIFY(cli.waitForFinished(10000));
    QCOMPARE(cli.exitCode(), 130);
    QFile log(logPath);
    QVERIFY(log.open(QIODevice::ReadOnly));
    int boards = 0;
    for (const QJsonObject &line : events(log.readAll()))
        if (line["event"] == "board") {
            QCOMPARE(line["sha256"].toString().toLatin1(), sha256);
            QCOMPARE(line["size"].toInt(), expected.size());
            ++boards;
        }
    QCOMPARE(boards, 2);
}

// A run with serial numbers into a store, then the store's report: per station and hour, and one
// number's history across the board that voided it and the one that used the next; each board's
// bytes and the base image written back from the store. A report creates no store.
void tst_Cli::report()
{
    SimLoader good, voiding({.wrongAt = SimLoader::Step::Block, .wrongIndex = 4});
    QVERIFY(good.start() && voiding.start());
    const QString store = "sqlite:" + dir.filePath("report.sqlite");
    const QString imagePath = writeFile(dir.path(), "report.bin", randomImage(3000, 27));
    QProcess cli;
    cli.start(LUMEDRA_CLI, {"--db", store, "--station-id", "st-9", "--serial-at", "300",
                            "--serial-format", "dec:6", "--serial-prefix", "R", "--serial-start",
                            "7", "-p", good.portName(), "-p", voiding.portName(), imagePath});
    QVERIFY(cli.waitForFinished(20000));
    QCOMPARE(cli.exitCode(), 1);
    const QByteArray number = good.image().mid(300, 6);
    QVERIFY(number == "R00007" || number == "R00008");

    cli.start(LUMEDRA_CLI, {"report", "--db", store, "--csv"});
    QVERIFY(cli.waitForFinished(10000));
    QCOMPARE(cli.exitCode(), 0);
    const QList<QByteArray> lines = cli.readAllStandardOutput().trimmed().split('\n');
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0], QByteArray("station,image,hour,boards,done,failed,yield,first_pass_yield,"
                                  "boards_per_hour"));
    const QList<QByteArray> row = lines[1].split(',');
    QCOMPARE(row[0], QByteArray("st-9"));
    QCOMPARE(row.mid(3, 5), QList<QByteArray>({"2", "1", "1", "0.5", "0.5"}));
    // A person reads the yields as percentages.
    cli.start(LUMEDRA_CLI, {"report", "--db", store});
    QVERIFY(cli.waitForFinished(10000));
    const QByteArray text = cli.readAllStandardOutput();
    QVERIFY2(text.contains("  50.0 %  50.0 %  "), text.constData());

    // Each number's history: reserved, sent out before the header frame, its board, then what the
    // board did to it.
    const QByteArray other = number == "R00007" ? "R00008" : "R00007";
    for (const auto &[serial, result, fate] :
         {std::tuple{number, "done", "used"}, std::tuple{other, "download_error", "void"}}) {
        cli.start(LUMEDRA_CLI, {"report", "--db", store, "--json", "--serial", serial});
        QVERIFY(cli.waitForFinished(10000));
        QCOMPARE(cli.exitCode(), 0);
        const QList<QJsonObject> history = events(cli.readAllStandardOutput());
        QStringList seen;
        for (const QJsonObject &step : history)
            seen << step["event"].toString();
        QCOMPARE(seen, QStringList({"reserved", "went_out", "board", fate}));
        QCOMPARE(history[2]["result"].toString(), QString(result));
        QCOMPARE(history[2]["number"].toString(), QString(fate));
        QCOMPARE(history[2]["station"].toString(), QString("st-9"));
        QVERIFY(history[0]["slot"].isNull());
    }
    // Each board's bytes, rebuilt from the image the store kept: the voided board's too, whose
    // loader holds the part it accepted.
    for (const auto &[serial, loader] : {std::pair{number, &good}, std::pair{other, &voiding}}) {
        const QString out = dir.filePath("board-" + serial + ".bin");
        cli.start(LUMEDRA_CLI, {"report", "--db", store, "--serial", serial, "--image-out", out});
        QVERIFY(cli.waitForFinished(10000));
        QVERIFY2(cli.exitCode() == 0, cli.readAllStandardError().constData());
        QFile rebuilt(out);
        QVERIFY(rebuilt.open(QIODevice::ReadOnly));
        const QByteArray bytes = rebuilt.readAll();
        QCOMPARE(bytes.size(), 3000);
        QCOMPARE(bytes.mid(300, 6), serial);
        QVERIFY(!loader->image().isEmpty());
        QCOMPARE(bytes.left(loader->image().size()).toHex(), loader->image().toHex());
    }
    QFile original(imagePath);
    QVERIFY(original.open(QIODevice::ReadOnly));
    const QByteArray base = original.readAll();
    const QString baseOut = dir.filePath("base.bin");
    cli.start(LUMEDRA_CLI, {"report", "--db", store, "--image",
                            QCryptographicHash::hash(base, QCryptographicHash::Sha256).toHex(),
                            "--image-out", baseOut});
    QVERIFY(cli.waitForFinished(10000));
    QCOMPARE(cli.exitCode(), 0);
    QFile kept(baseOut);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll().toHex(), base.toHex());
    // Refused, saying why, with no file written.
    const QString refusedOut = dir.filePath("refused.bin");
    for (const QStringList &asked :
         {QStringList{"--serial", "R99999"}, QStringList{"--image", QString(64, 'e')}}) {
        cli.start(LUMEDRA_CLI,
                  QStringList{"report", "--db", store, "--image-out", refusedOut} + asked);
        QVERIFY(cli.waitForFinished(10000));
        QCOMPARE(cli.exitCode(), 1);
        const QByteArray said = cli.readAllStandardError();
        QVERIFY2(said.contains("not written: the store") && said.contains(asked[1].toUtf8()),
                 said.constData());
        QVERIFY(!QFileInfo::exists(refusedOut));
    }

    cli.start(LUMEDRA_CLI, {"report", "--db", store, "--serial", "R99999"});
    QVERIFY(cli.waitForFinished(10000));
    QCOMPARE(cli.exitCode(), 1);
    QVERIFY(cli.readAllStandardError().contains("never heard of R99999"));

    const QString missing = dir.filePath("no/such/boards.sqlite");
    cli.start(LUMEDRA_CLI, {"report", "--db", "sqlite:" + missing});
    QVERIFY(cli.waitForFinished(10000));
    QCOMPARE(cli.exitCode(), 2);
    QCOMPARE(cli.readAllStandardError(),
             "lumedra-cli report: no such store: " + missing.toUtf8() + '\n');
    QVERIFY(!QFileInfo::exists(dir.filePath("no")));
}

// A plain run whose numbers have run out ends at once with a result of its own, rather than
// wait for numbers that will not come; a script that called it goes on.
void tst_Cli::numbersRunOut()
{
    SimLoader loader;
    QVERIFY(loader.start());
    const QString imagePath = writeFile(dir.path(), "numbered.bin", randomImage(1000, 33));
    const QStringList args{"--json",
                           "--db",
                           "sqlite:" + dir.filePath("out.sqlite"),
                           "--serial-at",
                           "16",
                           "--serial-format",
                           "dec:2",
                           "--serial-start",
                           "99",
                           "-p",
                           loader.portName(),
                           imagePath};
    QProcess cli;
    cli.start(LUMEDRA_CLI, args);
    QVERIFY(cli.waitForFinished(20000));
    QCOMPARE(cli.exitCode(), 0);
    QCOMPARE(loader.image().mid(16, 2), QByteArray("99"));
    cli.start(LUMEDRA_CLI, args);
    QVERIFY2(cli.waitForFinished(20000), "a run with no numbers left waits for ever");
    QCOMPARE(cli.exitCode(), 1);
    const QList<QJsonObject> said = events(cli.readAllStandardOutput());
    QVERIFY(!said.isEmpty());
    QCOMPARE(said.last()["event"].toString(), QString("result"));
    QCOMPARE(said.last()["result"].toString(), QString("no_serial"));
    QCOMPARE(said.last()["reason"].toString(), QString("no serial numbers left (last 99)"));
}

// A job that asks who and which lot: refused without the answers before any port opens, run with
// them onto every log line and into the store, whose report gives the lot alone and by lot.
void tst_Cli::operatorAndLot()
{
    SimLoader first, second;
    QVERIFY(first.start() && second.start());
    const QString store = "sqlite:" + dir.filePath("lots.sqlite");
    const QString logPath = dir.filePath("lots.jsonl");
    writeFile(dir.path(), "lots.bin", randomImage(2000, 34));
    const QString job = writeFile(
        dir.path(), "lots.job",
        "[job]\nversion = 1\nimage = lots.bin\nlog = lots.jsonl\noperator = ask\nlot = ask\n"
        "db = " +
            store.toUtf8() + "\n[slot.1]\nport = " + QFile::encodeName(first.portName()) +
            "\n[slot.2]\nport = " + QFile::encodeName(second.portName()) +
            "\n[serial]\nat = 16\nformat = dec:6\nprefix = L\nstart = 1\n");
    QProcess cli;
    cli.start(LUMEDRA_CLI, {"--station", "--job", job, "--operator", "ana"});
    QVERIFY(cli.waitForFinished(10000));
    QCOMPARE(cli.exitCode(), 2);
    QCOMPARE(cli.readAllStandardError(),
             QByteArray("lumedra-cli: the job lots.job asks for the lot at the start: give --lot\n"
                        "Try 'lumedra-cli --help'.\n"));
    QVERIFY(!QFileInfo::exists(logPath));
    QCOMPARE(first.frames().size(), 0);

    cli.start(LUMEDRA_CLI,
              {"--station", "--json", "--job", job, "--operator", "ana", "--lot", "WO-7"});
    QVERIFY(waitFor([&] { return first.image().size() == 2000 && second.image().size() == 2000; },
                    20000));
    QTest::qWait(500);
    ::kill(pid_t(cli.processId()), SIGINT);
    QVERIFY(cli.waitForFinished(10000));
    QCOMPARE(cli.exitCode(), 130);
    QFile log(logPath);
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QList<QJsonObject> lines = events(log.readAll());
    QCOMPARE(lines.size(), 4); // started, two boards, stopped
    for (const QJsonObject &line : lines)
        QCOMPARE(line["operator"].toString() + ' ' + line["lot"].toString(), QString("ana WO-7"));

    cli.start(LUMEDRA_CLI, {"report", "--db", store, "--json", "--lot", "WO-7"});
    QVERIFY(cli.waitForFinished(10000));
    QCOMPARE(cli.exitCode(), 0);
    const QList<QJsonObject> lot = events(cli.readAllStandardOutput());
    QCOMPARE(lot.size(), 1);
    QCOMPARE(lot[0]["operators"].toString(), QString("ana"));
    QCOMPARE(
        QList<int>({lot[0]["boards"].toInt(), lot[0]["done"].toInt(), lot[0]["failed"].toInt()}),
        QList<int>({2, 2, 0}));
    QCOMPARE(lot[0]["yield"].toDouble(), 1.0);
    QCOMPARE(lot[0]["serials"].toArray(), QJsonArray({"L00001", "L00002"}));
    QVERIFY(lot[0]["first_board"].toString() <= lot[0]["last_board"].toString());
    // As text, the numbers are a range; by lot, the one lot is a line.
    cli.start(LUMEDRA_CLI, {"report", "--db", store, "--by-lot"});
    QVERIFY(cli.waitForFinished(10000));
    const QList<QByteArray> text = cli.readAllStandardOutput().trimmed().split('\n');
    QCOMPARE(text.size(), 2);
    QVERIFY2(text[1].startsWith("WO-7") && text[1].endsWith("  L00001..L00002"),
             text[1].constData());
    cli.start(LUMEDRA_CLI, {"report", "--db", store, "--lot", "WO-8"});
    QVERIFY(cli.waitForFinished(10000));
    QCOMPARE(cli.exitCode(), 1);
    QVERIFY(cli.readAllStandardError().contains("the store has no board of lot WO-8"));
}

QTEST_GUILESS_MAIN(tst_Cli)
#include "tst_cli.moc"
