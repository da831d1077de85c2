#include "download/dudozerdownload.h"
#include "download/protocol.h"
#include "filedialoganswer.h"
#include "simloader.h"
#include "ui/mainwindow.h"

#include <QSerialPort>
#include <QtTest>
#include <QtWidgets>

#include <algorithm>
#include <functional>
#include <memory>

using Frame = SimLoader::Frame;
using Step = SimLoader::Step;

Q_DECLARE_METATYPE(SimLoader::Faults)

namespace
{

const QString Idle = QStringLiteral("pushButton_open on, comboBox_serial on, comboBox_bd on, "
                                    "pushButton_download on, 下载, bar hidden");
const QString Busy = QStringLiteral("pushButton_open off, comboBox_serial off, comboBox_bd off, "
                                    "pushButton_download on, 停止, bar shown");
const QString Started = QStringLiteral("开始下载");
const QString Done = QStringLiteral("下载完成");

template <typename T> T *widget(QWidget &window, const char *name)
{
    T *w = window.findChild<T *>(name);
    if (!w)
        qFatal("no widget named %s", name);
    return w;
}

QString message(QWidget &window)
{
    return widget<QTextBrowser>(window, "textBrowser")->toPlainText();
}

QString field(QWidget &window, const char *lineEdit)
{
    return widget<QLineEdit>(window, lineEdit)->text();
}

QProgressBar *progressBar(QWidget &window)
{
    return widget<QProgressBar>(window, "progressBar");
}

// The controls the window switches between idle and busy, in one comparable line.
QString controls(QWidget &window)
{
    QStringList parts;
    for (const char *name :
         {"pushButton_open", "comboBox_serial", "comboBox_bd", "pushButton_download"})
        parts << QString("%1 %2").arg(name,
                                      widget<QWidget>(window, name)->isEnabled() ? "on" : "off");
    parts << widget<QPushButton>(window, "pushButton_download")->text();
    parts << (progressBar(window)->isHidden() ? "bar hidden" : "bar shown");
    return parts.join(", ");
}

void clickDownload(QWidget &window)
{
    widget<QPushButton>(window, "pushButton_download")->click();
}

// Picks `path` in the file dialog (an empty path cancels it) and selects port and baud rate.
// Returns false if the lists did not take the selection.
bool prepare(QWidget &window, const QString &path, const QString &port,
             const QString &baud = QStringLiteral("115200"))
{
    if (path.isEmpty())
        FileDialogAnswer::cancelNext();
    else
        FileDialogAnswer::answerNext(path);
    widget<QPushButton>(window, "pushButton_open")->click();
    auto *ports = widget<QComboBox>(window, "comboBox_serial");
    ports->addItem(port);
    ports->setCurrentText(port);
    auto *rates = widget<QComboBox>(window, "comboBox_bd");
    rates->setCurrentText(baud);
    return ports->currentText() == port && rates->currentText() == baud;
}

QByteArray randomImage(int size, quint32 seed)
{
    QByteArray image(size, Qt::Uninitialized);
    QRandomGenerator rng(seed);
    for (char &c : image)
        c = char(rng.bounded(256));
    return image;
}

// Runs the event loop until `done` holds. QTRY_* sleeps 10 ms between turns, which would add
// that much to every block of a download.
bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    check.start(2);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return done();
}

// One turn of the event loop, which is where the window's deferred discarding of an engine lands.
void turnEventLoop()
{
    QTest::qWait(0);
}

// True when nothing holds the port: QSerialPort locks the ports it opens.
bool portFree(const QString &name)
{
    QSerialPort port(name);
    return port.open(QIODevice::ReadWrite);
}

} // namespace

class tst_Download : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void wholeDownload_data();
    void wholeDownload();
    void stopAndRestart();
    void results_data();
    void results();
    void openFailure_data();
    void openFailure();
    void fileFailure_data();
    void fileFailure();
    void changedFile();
    void windowDestroyedMidDownload();
    void ignoredResultCodes_data();
    void ignoredResultCodes();

private:
    QString writeFile(const QString &name, const QByteArray &content);

    QTemporaryDir dir;
};

QString tst_Download::writeFile(const QString &name, const QByteArray &content)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

void tst_Download::initTestCase()
{
    QVERIFY(dir.isValid());
}

void tst_Download::init()
{
    dudoZerDownload::setTiming(dudoZerDownload::Timing());
}

void tst_Download::wholeDownload_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QString>("baud");
    QTest::addColumn<QList<int>>("progress"); // the bar's value changes; it starts at 0

    QTest::newRow("300 x FF at 9600") << QByteArray(300, '\xFF') << "9600" << QList<int>{43, 86};
    QTest::newRow("129 bytes at 57600") << randomImage(129, 1) << "57600" << QList<int>{100};
    QTest::newRow("1000 x FF at 115200")
        << QByteArray(1000, '\xFF') << "115200" << QList<int>{13, 26, 39, 52, 64, 77, 90};
    QTest::newRow("100 bytes at 1200") << randomImage(100, 2) << "1200" << QList<int>{};
}

void tst_Download::wholeDownload()
{
    QFETCH(QByteArray, image);
    QFETCH(QString, baud);
    QFETCH(QList<int>, progress);

    SimLoader loader;
    QVERIFY(loader.start());
    MainWindow window;
    QVERIFY(prepare(window, writeFile("image.bin", image), loader.portName(), baud));
    QList<int> values;
    connect(progressBar(window), &QProgressBar::valueChanged, this,
            [&](int value) { values << value; });

    clickDownload(window);
    QCOMPARE(message(window), Started);
    QCOMPARE(controls(window), Busy);
    QCOMPARE(progressBar(window)->value(), 0);

    QVERIFY(waitFor([&] { return message(window) != Started; }, 10000));
    QCOMPARE(message(window), Done);
    QCOMPARE(controls(window), Idle);
    QCOMPARE(values, progress);
    // Hidden, but still showing where the download ended.
    QCOMPARE(progressBar(window)->value(), progress.isEmpty() ? 0 : progress.last());
    QVERIFY(loader.image() == image);
    const QVector<Frame> frames = loader.frames();
    QCOMPARE(frames.first().kind, Frame::Handshake);
    QCOMPARE(frames.first().baud, baud.toInt());
}

void tst_Download::stopAndRestart()
{
    SimLoader::Faults faults;
    faults.throttleBaud = 115200; // about 0.8 s for the image
    SimLoader loader(faults);
    QVERIFY(loader.start());
    const QByteArray image = randomImage(8 << 10, 3);
    MainWindow window;
    QVERIFY(prepare(window, writeFile("stop.bin", image), loader.portName()));
    QProgressBar *bar = progressBar(window);

    clickDownload(window);
    QVERIFY(waitFor([&] { return bar->value() >= 20; }, 10000));
    const int hangups = loader.hangups();
    clickDownload(window);
    // The engine is gone and the port closed by the time the click returns.
    QVERIFY(portFree(loader.portName()));
    QCOMPARE(message(window), QStringLiteral("停止下载"));
    QCOMPARE(controls(window), Idle);
    const int stoppedAt = bar->value();
    QVERIFY2(stoppedAt >= 20 && stoppedAt < 100, qPrintable(QString::number(stoppedAt)));
    QVERIFY(waitFor([&] { return loader.hangups() > hangups; }, 5000));
    QVERIFY(loader.image().size() < image.size());
    turnEventLoop();
    QCOMPARE(bar->value(), stoppedAt);

    // A new engine on the same port, starting the image from its first block.
    clickDownload(window);
    QCOMPARE(message(window), Started);
    QCOMPARE(controls(window), Busy);
    QCOMPARE(bar->value(), 0);
    QVERIFY(waitFor([&] { return message(window) == Done; }, 10000));
    QVERIFY(loader.image() == image);
}

void tst_Download::results_data()
{
    QTest::addColumn<SimLoader::Faults>("faults");
    QTest::addColumn<bool>("silent"); // the first download only
    QTest::addColumn<QString>("result");
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");

    QTest::newRow("done") << SimLoader::Faults() << false << "下载完成" << 0 << 3000;
    SimLoader::Faults block;
    block.wrongAt = Step::Block;
    block.wrongIndex = 2;
    QTest::newRow("wrong reply to block 2") << block << false << "下载错误" << 0 << 3000;
    SimLoader::Faults finish;
    finish.wrongAt = Step::Finish;
    QTest::newRow("wrong reply to the finish frame") << finish << false << "下载错误" << 0 << 3000;
    // Seven handshakes 200 ms apart, the time-out on the seventh tick.
    QTest::newRow("silent device") << SimLoader::Faults() << true << "下载超时" << 1300 << 3000;
}

void tst_Download::results()
{
    QFETCH(SimLoader::Faults, faults);
    QFETCH(bool, silent);
    QFETCH(QString, result);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);

    // A short reply window makes a surviving engine's timer re-send a handshake within the
    // quiet period below; the handshake period keeps its default.
    const int windowMs = 250;
    const int quietMs = 800;
    dudoZerDownload::setTiming({200, windowMs, 200});
    SimLoader loader(faults);
    QVERIFY(loader.start());
    loader.setSilent(silent);
    const QByteArray image = randomImage(1000, 4);
    MainWindow window;
    QVERIFY(prepare(window, writeFile("result.bin", image), loader.portName()));

    QElapsedTimer clock;
    clock.start();
    clickDownload(window);
    QCOMPARE(message(window), Started);
    QVERIFY(waitFor([&] { return message(window) != Started; }, 10000));
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(message(window), result);
    QVERIFY2(elapsed >= minMs && elapsed < maxMs, qPrintable(QString::number(elapsed)));
    QCOMPARE(controls(window), Idle);

    turnEventLoop();
    QVERIFY(portFree(loader.portName()));
    QVERIFY(waitFor([&] { return loader.hangups() > 0; }, 5000));
    const int frames = loader.frames().size();
    QTest::qWait(quietMs);
    QCOMPARE(loader.frames().size(), frames);

    loader.setSilent(false);
    clickDownload(window);
    QCOMPARE(message(window), Started);
    QVERIFY(waitFor([&] { return message(window) == Done; }, 10000));
    QVERIFY(loader.image() == image);
}

void tst_Download::openFailure_data()
{
    QTest::addColumn<QString>("port"); // empty: no port listed at all
    QTest::addColumn<bool>("held");    // the loader's port, held open by another owner

    QTest::newRow("no port listed") << QString() << false;
    QTest::newRow("port that does not exist") << "/dev/lumedra-no-such-port" << false;
    QTest::newRow("port in use") << QString() << true;
}

void tst_Download::openFailure()
{
    QFETCH(QString, port);
    QFETCH(bool, held);

    SimLoader loader;
    QVERIFY(loader.start());
    QSerialPort holder(loader.portName());
    if (held) {
        QVERIFY(holder.open(QIODevice::ReadWrite));
        port = loader.portName();
    }
    MainWindow window;
    QVERIFY(prepare(window, writeFile("open.bin", "abc"), port));
    if (port.isEmpty())
        widget<QComboBox>(window, "comboBox_serial")->clear();

    clickDownload(window);
    QCOMPARE(message(window), QStringLiteral("串口打开失败"));
    QCOMPARE(controls(window), Idle);
    QTest::qWait(200);
    QVERIFY(loader.received().isEmpty());
}

void tst_Download::fileFailure_data()
{
    QTest::addColumn<QString>("steps"); // what happens to the file before the download button
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("fields"); // size and checksum shown afterwards

    QTest::newRow("no file chosen") << "none" << QByteArray() << QStringList{"", ""};
    QTest::newRow("dialog cancelled after a file")
        << "open, cancel" << QByteArray("abc") << QStringList{"3", "294"};
    QTest::newRow("empty file") << "open" << QByteArray() << QStringList{"0", "0"};
    QTest::newRow("file deleted after it was opened")
        << "open, delete" << QByteArray("abc") << QStringList{"3", "294"};
}

void tst_Download::fileFailure()
{
    QFETCH(QString, steps);
    QFETCH(QByteArray, content);
    QFETCH(QStringList, fields);

    SimLoader loader;
    QVERIFY(loader.start());
    MainWindow window;
    const QString path = steps.startsWith("open") ? writeFile("failure.bin", content) : QString();
    QVERIFY(prepare(window, path, loader.portName()));
    if (steps.endsWith("cancel"))
        QVERIFY(prepare(window, QString(), loader.portName()));
    if (steps.endsWith("delete"))
        QVERIFY(QFile::remove(path));

    clickDownload(window);
    QCOMPARE(message(window), QStringLiteral("文件读取失败"));
    QCOMPARE(controls(window), Idle);
    QCOMPARE(QStringList({field(window, "lineEdit_filesize"), field(window, "lineEdit_checksum")}),
             fields);
    // Nothing was opened: the port is free and the loader hears nothing.
    QVERIFY(portFree(loader.portName()));
    QTest::qWait(200);
    QVERIFY(loader.received().isEmpty());
}

void tst_Download::changedFile()
{
    SimLoader loader;
    QVERIFY(loader.start());
    MainWindow window;
    const QString path = writeFile("changed.bin", "abc");
    QVERIFY(prepare(window, path, loader.portName()));
    QCOMPARE(field(window, "lineEdit_filesize"), QStringLiteral("3"));

    const QByteArray changed(300, '\xFF');
    writeFile("changed.bin", changed);
    clickDownload(window);
    QCOMPARE(field(window, "lineEdit_filesize"), QStringLiteral("300"));
    QCOMPARE(field(window, "lineEdit_checksum"), QStringLiteral("10964"));
    QVERIFY(waitFor([&] { return message(window) == Done; }, 10000));
    QVERIFY(loader.image() == changed);
    const QVector<Frame> frames = loader.frames();
    const auto header = std::find_if(frames.cbegin(), frames.cend(),
                                     [](const Frame &f) { return f.kind == Frame::Header; });
    QVERIFY(header != frames.cend());
    QCOMPARE(header->bytes, Protocol::headerFrame(0, 300, 10964));
}

void tst_Download::windowDestroyedMidDownload()
{
    SimLoader::Faults faults;
    faults.throttleBaud = 115200;
    SimLoader loader(faults);
    QVERIFY(loader.start());
    auto window = std::make_unique<MainWindow>();
    QVERIFY(
        prepare(*window, writeFile("destroyed.bin", randomImage(8 << 10, 5)), loader.portName()));
    clickDownload(*window);
    QVERIFY(waitFor([&] { return progressBar(*window)->value() >= 10; }, 10000));
    window.reset();
    QVERIFY(portFree(loader.portName()));
}

void tst_Download::ignoredResultCodes_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("messageThen");
    QTest::addColumn<QString>("controlsThen");
    QTest::addColumn<QString>("result");

    QTest::newRow("1, never produced") << 1 << "开始下载" << Busy << "下载完成";
    QTest::newRow("5, unknown") << 5 << "开始下载" << Busy << "下载完成";
    // The same path with a code the window knows: proof that the call reaches its handling.
    QTest::newRow("3, a real code") << 3 << "下载错误" << Idle << "下载错误";
}

void tst_Download::ignoredResultCodes()
{
    QFETCH(int, code);
    QFETCH(QString, messageThen);
    QFETCH(QString, controlsThen);
    QFETCH(QString, result);

    SimLoader loader;
    QVERIFY(loader.start());
    const QByteArray image(1000, '\xFF');
    MainWindow window;
    QVERIFY(prepare(window, writeFile("codes.bin", image), loader.portName()));

    // Called from the progress bar's change, the slot runs while the engine's own percent signal
    // is being delivered, so the window sees its engine as the sender.
    const auto invoke = [&window](int value) {
        return QMetaObject::invokeMethod(
            &window, "errHandle", Qt::DirectConnection,
            Q_ARG(dudoZerDownload::E_REBACK, dudoZerDownload::E_REBACK(value)));
    };
    bool invoked = false;
    QString seenMessage, seenControls;
    QObject context;
    connect(progressBar(window), &QProgressBar::valueChanged, &context, [&] {
        if (invoked)
            return;
        invoked = invoke(code);
        seenMessage = message(window);
        seenControls = controls(window);
    });

    clickDownload(window);
    QVERIFY(waitFor([&] { return invoked && message(window) != Started; }, 10000));
    QCOMPARE(seenMessage, messageThen);
    QCOMPARE(seenControls, controlsThen);
    turnEventLoop();
    QCOMPARE(message(window), result);
    QCOMPARE(controls(window), Idle);
    QVERIFY(portFree(loader.portName()));
    if (result != Done)
        return;
    QVERIFY(loader.image() == image);

    // Idle, with no engine at all, the code is ignored as well.
    QVERIFY(invoke(code));
    QCOMPARE(message(window), result);
    QCOMPARE(controls(window), Idle);
}

QTEST_MAIN(tst_Download)
#include "tst_download.moc"
