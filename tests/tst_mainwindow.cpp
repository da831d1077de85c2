#include "testing/kit/enginerun.h"
#include "testing/kit/images.h"
#include "testing/kit/waitfor.h"
#include "testing/simloader/simloader.h"
#include "testing/widgets/filedialoganswer.h"
#include "ui/mainwindow.h"

#include <QtTest>

#include <QSerialPortInfo>
#include <QtWidgets>

#include <atomic>
#include <optional>
#include <thread>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

template <typename T> T *widget(QWidget &window, const char *name)
{
    T *w = window.findChild<T *>(name);
    if (!w)
        qFatal("no widget named %s", name);
    return w;
}

inline QString message(QWidget &window)
{
    return widget<QTextBrowser>(window, "textBrowser")->toPlainText();
}

inline QProgressBar *progressBar(QWidget &window)
{
    return widget<QProgressBar>(window, "progressBar");
}

// Whether open button, port list, rate list and download button are enabled, the download
// button's text and whether the bar shows, in one comparable line, as in Idle.
const QString Idle = QStringLiteral("on on on on 下载 hidden");
inline QString controls(QWidget &window)
{
    QString line;
    for (const char *name :
         {"pushButton_open", "comboBox_serial", "comboBox_bd", "pushButton_download"})
        line += widget<QWidget>(window, name)->isEnabled() ? "on " : "off ";
    line += widget<QPushButton>(window, "pushButton_download")->text();
    return line + (progressBar(window)->isHidden() ? " hidden" : " shown");
}

// File size and checksum as the window shows them.
inline QStringList fields(QWidget &window)
{
    return {widget<QLineEdit>(window, "lineEdit_filesize")->text(),
            widget<QLineEdit>(window, "lineEdit_checksum")->text()};
}

// Picks `path` in the window's file dialog; an empty path cancels the dialog.
inline void chooseFile(QWidget &window, const QString &path)
{
    if (path.isEmpty())
        FileDialogAnswer::cancelNext();
    else
        FileDialogAnswer::answerNext(path);
    widget<QPushButton>(window, "pushButton_open")->click();
}

const QString Busy = QStringLiteral("off off off on 停止 shown");
const QString Started = QStringLiteral("开始下载");
const QString Done = QStringLiteral("下载完成");

void clickDownload(QWidget &window)
{
    widget<QPushButton>(window, "pushButton_download")->click();
}

// Selects port and baud rate. An empty port leaves no port listed at all.
void selectLine(QWidget &window, const QString &port, const QString &baud = "115200")
{
    auto *ports = widget<QComboBox>(window, "comboBox_serial");
    ports->clear();
    if (!port.isEmpty())
        ports->addItem(port);
    widget<QComboBox>(window, "comboBox_bd")->setCurrentText(baud);
}

// Opens the writing end of a FIFO whenever someone waits on its reading end, and closes it at
// once: a window that wrongly opens the FIFO then reads an empty file instead of hanging the test.
class FifoWriter
{
public:
    explicit FifoWriter(const QString &path)
        : thread([this, name = QFile::encodeName(path)] {
              while (!done) {
                  const int fd = ::open(name.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                  if (fd >= 0) {
                      ++opened;
                      ::close(fd);
                  }
                  std::this_thread::sleep_for(std::chrono::milliseconds(5));
              }
          })
    {
    }
    ~FifoWriter()
    {
        done = true;
        thread.join();
    }

    std::atomic<int> opened{0}; // times a reader was there

private:
    std::atomic<bool> done{false};
    std::thread thread;
};

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void construction();
    void nothingSent_data();
    void nothingSent();
    void downloads_data();
    void downloads();
    void stopRestartAndClose();
    void downloadAfterOpenFailure();
    void numbersShownWhole();

private:
    QTemporaryDir dir;
    // Files the dialog accepts but the window must not read, by the name the table uses.
    QHash<QString, QString> notImages;
};

void tst_MainWindow::initTestCase()
{
    QVERIFY(dir.isValid());
    // A socket is a file the dialog accepts but that no one can open, even with root rights.
    const QString socketPath = dir.filePath(QStringLiteral("socket.bin"));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, QFile::encodeName(socketPath).constData(), sizeof address.sun_path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ::close(fd);
    const QString fifoPath = dir.filePath(QStringLiteral("fifo.bin"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifoPath).constData(), 0600), 0);
    // Sparse: it takes no room on disk.
    QFile huge(dir.filePath(QStringLiteral("huge.bin")));
    QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(qint64(3) << 30));
    notImages = {{"socket", socketPath},
                 {"fifo", fifoPath},
                 {"device", QStringLiteral("/dev/zero")},
                 {"3 GiB", huge.fileName()}};
}

void tst_MainWindow::construction()
{
    MainWindow window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Lumedra(progByQMV_V1.1)"));
    for (const char *expected :
         {"groupBox title 设置", "label text 串口", "label_2 text 波特率",
          "pushButton_open text 打开文件", "groupBox_2 title 信息", "label_3 text 文件大小",
          "label_4 text 校验", "progressBar maximum 100", "lineEdit_filesize readOnly true",
          "lineEdit_checksum readOnly true", "comboBox_bd currentText 115200"}) {
        const QStringList part = QString(expected).split(' ');
        const QVariant value =
            widget<QWidget>(window, qPrintable(part[0]))->property(qPrintable(part[1]));
        QCOMPARE(part[0] + ' ' + part[1] + ' ' + value.toString(), expected);
    }
    QCOMPARE(controls(window), Idle);
    // Both lists item by item: the system's port names, then the standard rates.
    QStringList expected, listed;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        expected << info.portName();
    for (const qint32 rate : QSerialPortInfo::standardBaudRates())
        expected << QString::number(rate);
    for (const char *name : {"comboBox_serial", "comboBox_bd"}) {
        auto *list = widget<QComboBox>(window, name);
        for (int i = 0; i < list->count(); ++i)
            listed << list->itemText(i);
    }
    QCOMPARE(listed, expected);
}

void tst_MainWindow::nothingSent_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no file chosen
    QTest::addColumn<QString>("then");       // what happens after the file was chosen
    QTest::addColumn<QString>("shown");      // size, checksum and message afterwards
    QTest::addColumn<QString>("port");       // the simulated loader's, unless given
    QTest::addColumn<QString>("result");     // of the download button; empty: not pressed
    const auto row = [](const char *tag, const QByteArray &content, const char *then,
                        const char *shown, const QString &result, const QString &port = "loader") {
        QTest::newRow(tag) << content << then << shown << port << result;
    };
    const QString noFile = QStringLiteral("文件读取失败");
    const QString noPort = QStringLiteral("串口打开失败");

    row("no file chosen", QByteArray(), "", "||", noFile);
    row("empty file", "", "", "0|0|", noFile);
    row("258 x FF wraps", QByteArray(258, '\xFF'), "", "258|254|", "");
    row("dialog cancelled after a file", "abc", "cancel", "3|294|没有文件", noFile);
    row("unreadable file after a file", "abc", "socket", "3|294|", noFile);
    row("FIFO after a file", "abc", "fifo", "3|294|", noFile);
    row("character device after a file", "abc", "device", "3|294|", noFile);
    row("3 GiB file after a file", "abc", "3 GiB", "3|294|", noFile);
    row("file deleted after it was opened", "abc", "delete", "3|294|", noFile);
    row("no port listed", "abc", "", "3|294|", noPort, "");
    row("port that does not exist", "abc", "", "3|294|", noPort, "/dev/lumedra-no-such-port");
}

void tst_MainWindow::nothingSent()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, then);
    QFETCH(QString, shown);
    QFETCH(QString, port);
    QFETCH(QString, result);

    SimLoader loader;
    QVERIFY(loader.start());
    std::optional<FifoWriter> writer;
    if (then == "fifo")
        writer.emplace(notImages.value(then));
    MainWindow window;
    // The dialog offers *.bin files, but any name typed in is taken.
    const QString path = writeFile(dir.path(), "image.hex", content);
    if (!content.isNull())
        chooseFile(window, path);
    if (then == "cancel")
        chooseFile(window, QString());
    else if (then == "delete")
        QVERIFY(QFile::remove(path));
    else if (notImages.contains(then))
        chooseFile(window, notImages.value(then));
    QCOMPARE((fields(window) << message(window)).join('|'), shown);
    if (result.isEmpty())
        return;

    selectLine(window, port == "loader" ? loader.portName() : port);
    clickDownload(window);
    QCOMPARE(message(window), result);
    QCOMPARE(controls(window), Idle);
    QCOMPARE(fields(window).join('|'), shown.section('|', 0, 1));
    // Nothing was opened: the port is free and the loader hears nothing.
    QVERIFY(portFree(loader.portName()));
    QTest::qWait(100);
    QVERIFY(loader.received().isEmpty());
    if (writer)
        QCOMPARE(writer->opened.load(), 0);
}

void tst_MainWindow::downloads_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QString>("baud");
    QTest::addColumn<SimLoader::Faults>("faults");
    QTest::addColumn<int>("injected");        // handed to the window at the bar's first change
    QTest::addColumn<QString>("atInjection"); // message and controls right after that
    QTest::addColumn<QList<int>>("progress"); // the bar's value changes; it starts at 0
    QTest::addColumn<QString>("result");
    const auto row = [](const char *tag, const QByteArray &image, const char *baud,
                        QList<int> progress, const QString &result, SimLoader::Faults faults = {},
                        int injected = 0, const QString &atInjection = QString()) {
        QTest::newRow(tag) << image << baud << faults << injected << atInjection << progress
                           << result;
    };
    const QByteArray ff300(300, '\xFF');

    row("300 x FF at 9600", ff300, "9600", {43, 86}, Done);
    row("129 bytes at 57600", randomImage(129, 1), "57600", {100}, Done);
    row("100 bytes at 1200", randomImage(100, 2), "1200", {}, Done);
    row("silent device", ff300, "115200", {}, "下载超时", {.silent = true});
    row("result 1 is ignored", ff300, "115200", {43, 86}, Done, {}, 1, Started + ", " + Busy);
    // The same path with a result the window knows: proof that the call reaches its handling.
    row("result 3 is not", ff300, "115200", {43}, "下载错误", {}, 3, "下载错误, " + Idle);
}

void tst_MainWindow::downloads()
{
    QFETCH(QByteArray, image);
    QFETCH(QString, baud);
    QFETCH(SimLoader::Faults, faults);
    QFETCH(int, injected);
    QFETCH(QString, atInjection);
    QFETCH(QList<int>, progress);
    QFETCH(QString, result);

    // A surviving engine would re-send a handshake within the quiet period below.
    dudoZerDownload::setTiming({200, 250, 200});
    SimLoader loader(faults);
    QVERIFY(loader.start());
    MainWindow window;
    // The file changes after it was chosen: the download sends what is on disk at the click.
    chooseFile(window, writeFile(dir.path(), "image.bin", "abc"));
    writeFile(dir.path(), "image.bin", image);
    selectLine(window, loader.portName(), baud);
    QList<int> values;
    QString seen;
    connect(progressBar(window), &QProgressBar::valueChanged, this, [&](int value) {
        values << value;
        // The engine's percent signal is being delivered, so the window sees it as the sender.
        if (injected != 0 && values.size() == 1) {
            QMetaObject::invokeMethod(
                &window, "errHandle", Qt::DirectConnection,
                Q_ARG(dudoZerDownload::E_REBACK, dudoZerDownload::E_REBACK(injected)));
            seen = message(window) + ", " + controls(window);
        }
    });

    clickDownload(window);
    QCOMPARE(message(window), Started);
    QCOMPARE(controls(window), Busy);
    QCOMPARE(fields(window).first(), QString::number(image.size()));
    QVERIFY(waitFor([&] { return message(window) != Started; }, 10000));
    QTest::qWait(0);
    QCOMPARE(message(window), result);
    QCOMPARE(controls(window), Idle);
    QCOMPARE(values, progress);
    QCOMPARE(seen, atInjection);
    // Hidden, but still showing where the download ended.
    QCOMPARE(progressBar(window)->value(), progress.isEmpty() ? 0 : progress.last());

    // The engine is gone: the port is free and the line stays quiet.
    QVERIFY(portFree(loader.portName()));
    QVERIFY(waitFor([&] { return loader.hangups() > 0; }, 5000));
    const QVector<SimLoader::Frame> frames = loader.frames();
    QTest::qWait(600);
    QCOMPARE(loader.frames().size(), frames.size());
    QCOMPARE(frames.first().baud, baud.toInt());
    if (result == Done) {
        QCOMPARE(frames.at(2).bytes, headerFor(image));
        QVERIFY(loader.image() == image);
    }
}

void tst_MainWindow::stopRestartAndClose()
{
    dudoZerDownload::setTiming(dudoZerDownload::Timing());
    SimLoader loader(SimLoader::Faults{.throttleBaud = 115200}); // about 0.8 s for the image
    QVERIFY(loader.start());
    const QByteArray image = randomImage(8 << 10, 3);
    auto window = std::make_unique<MainWindow>();
    chooseFile(*window, writeFile(dir.path(), "stop.bin", image));
    selectLine(*window, loader.portName());
    QProgressBar *bar = progressBar(*window);

    clickDownload(*window);
    QVERIFY(waitFor([&] { return bar->value() >= 20; }, 10000));
    clickDownload(*window);
    // The engine is gone and the port closed by the time the click returns.
    QVERIFY(portFree(loader.portName()));
    QCOMPARE(message(*window), QStringLiteral("停止下载"));
    QCOMPARE(controls(*window), Idle);
    QVERIFY(waitFor([&] { return loader.hangups() > 0; }, 5000));
    QVERIFY(loader.image().size() < image.size());

    // A new engine on the same port, starting the image from its first block.
    clickDownload(*window);
    QCOMPARE(message(*window), Started);
    QCOMPARE(bar->value(), 0);
    QVERIFY(waitFor([&] { return message(*window) == Done; }, 10000));
    QVERIFY(loader.image() == image);
    // The finished engine goes on the next turn of the event loop, and the port with it.
    QTest::qWait(0);
    QVERIFY(portFree(loader.portName()));

    // Closing the window mid-download leaves the port free.
    clickDownload(*window);
    QCOMPARE(message(*window), Started);
    QVERIFY(waitFor([&] { return bar->value() >= 10; }, 10000));
    window.reset();
    QVERIFY(portFree(loader.portName()));
}

void tst_MainWindow::downloadAfterOpenFailure()
{
    dudoZerDownload::setTiming(dudoZerDownload::Timing());
    SimLoader loader;
    QVERIFY(loader.start());
    MainWindow window;
    const QByteArray image = randomImage(1000, 4);
    chooseFile(window, writeFile(dir.path(), "retry.bin", image));
    selectLine(window, QStringLiteral("/dev/lumedra-no-such-port"));
    clickDownload(window);
    QCOMPARE(message(window) + ", " + controls(window), "串口打开失败, " + Idle);

    // The second press starts a download rather than stopping one.
    selectLine(window, loader.portName());
    clickDownload(window);
    QCOMPARE(message(window) + ", " + controls(window), Started + ", " + Busy);
    QVERIFY(waitFor([&] { return message(window) != Started; }, 10000));
    QCOMPARE(message(window), Done);
    QVERIFY(loader.image() == image);
}

void tst_MainWindow::numbersShownWhole()
{
    SimLoader loader(SimLoader::Faults{.silent = true});
    QVERIFY(loader.start());
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    chooseFile(window, writeFile(dir.path(), "whole.bin", "abc"));
    selectLine(window, loader.portName());
    clickDownload(window);
    QCOMPARE(controls(window), Busy);
    const QString widest = QStringLiteral("4294967295");
    for (const char *name : {"lineEdit_filesize", "lineEdit_checksum"})
        widget<QLineEdit>(window, name)->setText(widest);
    QTest::qWait(100);

    const QSize minimum = window.minimumSizeHint();
    QVERIFY2(window.width() >= minimum.width() && window.height() >= minimum.height(),
             qPrintable(QStringLiteral("%1x%2 for at least %3x%4")
                            .arg(window.width())
                            .arg(window.height())
                            .arg(minimum.width())
                            .arg(minimum.height())));
    for (const char *name : {"lineEdit_filesize", "lineEdit_checksum"}) {
        auto *field = widget<QLineEdit>(window, name);
        QStyleOptionFrame option;
        option.initFrom(field);
        option.rect = field->contentsRect();
        option.lineWidth =
            field->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, field);
        const QRect text =
            field->style()->subElementRect(QStyle::SE_LineEditContents, &option, field);
        // QLineEdit keeps 2 pixels each side of the text, and a pixel for the cursor.
        const int needed = field->fontMetrics().horizontalAdvance(widest) + 2 * 2 + 1;
        QVERIFY2(
            needed <= text.width(),
            qPrintable(
                QStringLiteral("%1: %2 pixels for %3").arg(name).arg(text.width()).arg(needed)));
    }
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
