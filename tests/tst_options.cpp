#include "cli/options.h"
#include "station/runvalues.h"

#include <QtTest>

class tst_Options : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void parse_data();
    void parse();
    void settings_data();
    void settings();

private:
    QTemporaryDir dir;
};

using Kind = Options::Parsed::Kind;
Q_DECLARE_METATYPE(Options::Parsed::Kind)

void tst_Options::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY(QFile(dir.filePath("port")).open(QIODevice::WriteOnly));
    QVERIFY(QFile::link(dir.filePath("port"), dir.filePath("alias")));
}

void tst_Options::parse_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QString>("text"); // what the text holds
    const QStringList usual{"-p", "/dev/pts/7", "fw.bin"};
    const auto row = [](const char *tag, const QStringList &args, Kind kind, const char *text) {
        QTest::newRow(tag) << args << kind << QString(text);
    };
    row("a plain run", usual, Kind::Run, "");
    row("help", {"--help"}, Kind::Help, "--reset-cmd <CMD>");
    row("version", {"-V"}, Kind::Version, "lumedra-cli " LUMEDRA_VERSION "\n");
    row("list", {"--list", "--json"}, Kind::Run, "");
    row("list with a port", {"--list", "-p", "ttyUSB0"}, Kind::UsageError, "--list takes no");
    row("an unknown option", QStringList{"--fast"} + usual, Kind::UsageError, "fast");
    row("no image", {"-p", "ttyUSB0"}, Kind::UsageError, "no image given");
    row("two images", QStringList{"other.bin"} + usual, Kind::UsageError, "more than one image");
    row("no port", {"fw.bin"}, Kind::UsageError, "no port given (-p PORT)");
    row("rate not a number", QStringList{"-b", "0x10"} + usual, Kind::UsageError,
        "rate '0x10' is not a positive whole number");
    row("rate zero", QStringList{"-b", "0"} + usual, Kind::UsageError, "positive");
    row("wait on a station", QStringList{"--station", "--wait", "5"} + usual, Kind::UsageError,
        "--wait goes without --station");
    row("wait not seconds", QStringList{"--wait", "5s"} + usual, Kind::UsageError,
        "--wait '5s' is not a number of seconds");
    row("wait over a week", QStringList{"--wait", "604801"} + usual, Kind::UsageError, "--wait");
    row("gone-after without a station", QStringList{"--gone-after", "2"} + usual,
        Kind::UsageError, "--gone-after goes with --station");
    row("gone-after zero", QStringList{"--station", "--gone-after", "0"} + usual,
        Kind::UsageError, "not a positive number of seconds");
    row("both resets", QStringList{"--reset", "dtr-pulse", "--reset-cmd", "true"} + usual,
        Kind::UsageError, "exclude each other");
    row("a bad reset step", QStringList{"--reset", "D7"} + usual, Kind::UsageError,
        "reset step 'D7'");
    row("an empty reset command", QStringList{"--reset-cmd", "  "} + usual, Kind::UsageError,
        "--reset-cmd needs a command");
    row("attempts without a reset", QStringList{"--attempts", "3"} + usual, Kind::UsageError,
        "needs --reset or --reset-cmd");
    row("one attempt without a reset", QStringList{"--attempts", "1"} + usual, Kind::Run, "");
    row("attempts over 100", QStringList{"--reset", "dtr-pulse", "--attempts", "101"} + usual,
        Kind::UsageError, "from 1 to 100");
    row("an unknown image format", QStringList{"--image-format", "hex"} + usual, Kind::UsageError,
        "--image-format 'hex' is none of bin, ihex, srec, elf");
    row("a fill over a byte", QStringList{"--fill", "0x100"} + usual, Kind::UsageError,
        "--fill '0x100' is not a byte");
    row("an image size of 0", QStringList{"--image-size", "0"} + usual, Kind::UsageError,
        "--image-size '0' is not a size from 1 to 2146435072 bytes");
    row("a base that is no address", QStringList{"--image-base", "-1"} + usual, Kind::UsageError,
        "--image-base '-1' is not an address");
    row("a pin one digit short", QStringList{"--image-sha256", QString(63, 'a')} + usual,
        Kind::UsageError, "is not a SHA-256 (64 hexadecimal digits)");
    row("the image options",
        QStringList{"--image-format", "srec", "--image-base", "0x08000000", "--fill", "255",
                    "--image-size", "65536"} +
            usual,
        Kind::Run, "");
    QStringList many{"fw.bin"};
    for (int i = 0; i <= RunValues::MaxTargets; ++i)
        many << "-p" << QString("ttyUSB%1").arg(i);
    row("65 ports", many, Kind::UsageError, "at most 64 ports");
    row("a port and its link", {"-p", "PORT", "-p", "ALIAS", "fw.bin"}, Kind::UsageError,
        "port ALIAS is named twice");
    row("one port under two spellings", {"-p", "PORT", "-p", "DIR/./port", "fw.bin"},
        Kind::UsageError, "is named twice");
    row("a station's slots share a pattern", {"--station", "-p", "DIR/*", "-p", "DIR/*", "fw.bin"},
        Kind::Run, "");
    row("patterns outside a station are paths", {"-p", "DIR/*", "-p", "DIR/*", "fw.bin"},
        Kind::UsageError, "named twice");
}

void tst_Options::parse()
{
    QFETCH(QStringList, args);
    QFETCH(Kind, kind);
    QFETCH(QString, text);

    args.replaceInStrings("PORT", dir.filePath("port"));
    args.replaceInStrings("ALIAS", dir.filePath("alias"));
    args.replaceInStrings("DIR", dir.path());
    text.replace("ALIAS", dir.filePath("alias"));
    Options options;
    const Options::Parsed parsed = options.parse(QStringList{"lumedra-cli"} + args);
    QVERIFY2(parsed.kind == kind, qPrintable(parsed.text));
    QVERIFY2(parsed.text.contains(text), qPrintable(parsed.text));
    if (kind != Kind::UsageError)
        QVERIFY(text.isEmpty() == parsed.text.isEmpty());
}

void tst_Options::settings_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("waitMs");
    QTest::addColumn<int>("goneAfterMs");
    QTest::addColumn<int>("attempts");
    QTest::addColumn<bool>("resets");
    const QStringList usual{"-p", "ttyUSB0", "fw.bin"};
    const RunSettings defaults;
    QTest::newRow("defaults") << usual << 115200 << -1 << defaults.goneAfterMs << 1
                              << false;
    QTest::newRow("rate and wait") << QStringList{"-b", "9600", "--wait", "1.5"} + usual << 9600
                                   << 1500 << defaults.goneAfterMs << 1 << false;
    QTest::newRow("a tiny wait is still one")
        << QStringList{"--wait", "0.0001"} + usual << 115200 << 1 << defaults.goneAfterMs << 1
        << false;
    QTest::newRow("wait until stopped")
        << QStringList{"--wait", "0"} + usual << 115200 << 0 << defaults.goneAfterMs << 1 << false;
    QTest::newRow("a station") << QStringList{"--station", "--gone-after", "0.25", "--reset",
                                              "boot-reset", "--attempts", "3"} +
                                      usual
                               << 115200 << -1 << 250 << 3 << true;
    QTest::newRow("a reset command")
        << QStringList{"--reset-cmd", "relay {port}", "--attempts", "100"} + usual << 115200
        << -1 << defaults.goneAfterMs << 100 << true;
}

void tst_Options::settings()
{
    QFETCH(QStringList, args);
    QFETCH(int, baud);
    QFETCH(int, waitMs);
    QFETCH(int, goneAfterMs);
    QFETCH(int, attempts);
    QFETCH(bool, resets);

    Options options;
    QCOMPARE(options.parse(QStringList{"lumedra-cli"} + args).kind, Kind::Run);
    QCOMPARE(options.settings.baud, baud);
    QCOMPARE(options.settings.waitMs.value_or(-1), waitMs); // -1: one wake-up
    QCOMPARE(options.settings.goneAfterMs, goneAfterMs);
    QCOMPARE(options.settings.attempts, attempts);
    QCOMPARE(options.settings.resets(), resets);
    QCOMPARE(options.image, QString("fw.bin"));
    QCOMPARE(options.targets.size(), 1);
    QCOMPARE(options.targets.first().path, QString("/dev/ttyUSB0"));
}

QTEST_GUILESS_MAIN(tst_Options)
#include "tst_options.moc"
