#include "filedialoganswer.h"
#include "ui/mainwindow.h"

#include <QSerialPortInfo>
#include <QtTest>
#include <QtWidgets>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

template <typename T> T *widget(MainWindow &window, const char *name)
{
    T *w = window.findChild<T *>(name);
    if (!w)
        qFatal("no widget named %s", name);
    return w;
}

QString text(MainWindow &window, const char *lineEdit)
{
    return widget<QLineEdit>(window, lineEdit)->text();
}

QString message(MainWindow &window)
{
    return widget<QTextBrowser>(window, "textBrowser")->toPlainText();
}

// Picks `path` in the window's file dialog; an empty path cancels the dialog.
void chooseFile(MainWindow &window, const QString &path)
{
    if (path.isEmpty())
        FileDialogAnswer::cancelNext();
    else
        FileDialogAnswer::answerNext(path);
    QTest::mouseClick(widget<QPushButton>(window, "pushButton_open"), Qt::LeftButton);
}

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void construction();
    void lists();
    void load_data();
    void load();
    void keepsOldNumbers_data();
    void keepsOldNumbers();
    void largeImage();

private:
    QString writeFile(const QString &name, const QByteArray &content);

    QTemporaryDir dir;
    QString socketPath;
};

QString tst_MainWindow::writeFile(const QString &name, const QByteArray &content)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

void tst_MainWindow::initTestCase()
{
    QVERIFY(dir.isValid());

    // A socket is a file the dialog accepts but that no one can open, even with root rights.
    socketPath = dir.filePath(QStringLiteral("socket.bin"));
    const QByteArray encoded = QFile::encodeName(socketPath);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    QVERIFY(size_t(encoded.size()) < sizeof address.sun_path);
    qstrcpy(address.sun_path, encoded.constData());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QVERIFY(fd >= 0);
    const int bound = ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    ::close(fd);
    QCOMPARE(bound, 0);
}

void tst_MainWindow::construction()
{
    MainWindow window;
    auto *progressBar = widget<QProgressBar>(window, "progressBar");
    QVERIFY(progressBar->isHidden());
    QCOMPARE(progressBar->minimum(), 0);
    QCOMPARE(progressBar->maximum(), 100);
    QCOMPARE(progressBar->value(), 0);
    for (const char *name :
         {"pushButton_open", "pushButton_download", "comboBox_serial", "comboBox_bd"}) {
        QVERIFY2(widget<QWidget>(window, name)->isEnabled(), name);
        QVERIFY2(!widget<QWidget>(window, name)->isHidden(), name);
    }
    QCOMPARE(widget<QPushButton>(window, "pushButton_download")->text(), QStringLiteral("下载"));
    QCOMPARE(message(window), QString());
    QCOMPARE(text(window, "lineEdit_filesize"), QString());
    QCOMPARE(text(window, "lineEdit_checksum"), QString());
}

void tst_MainWindow::lists()
{
    MainWindow window;
    auto *ports = widget<QComboBox>(window, "comboBox_serial");
    auto *rates = widget<QComboBox>(window, "comboBox_bd");
    const QList<qint32> standard = QSerialPortInfo::standardBaudRates();

    QCOMPARE(ports->count(), QSerialPortInfo::availablePorts().size());
    QCOMPARE(ports->currentIndex(), ports->count() > 0 ? 0 : -1);
    QCOMPARE(rates->count(), standard.size());
    for (int i = 0; i < standard.size(); ++i)
        QCOMPARE(rates->itemText(i), QString::number(standard.at(i)));
    if (standard.contains(115200))
        QCOMPARE(rates->currentText(), QStringLiteral("115200"));
    else
        QCOMPARE(rates->currentIndex(), standard.isEmpty() ? -1 : 0);
}

void tst_MainWindow::load_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("checksum");

    QTest::newRow("abc") << "image.bin" << QByteArray("abc") << 3 << 294;
    QTest::newRow("300 x FF") << "image.bin" << QByteArray(300, '\xFF') << 300 << 10964;
    QTest::newRow("1000 x FF") << "image.bin" << QByteArray(1000, '\xFF') << 1000 << 58392;
    QTest::newRow("256 x FF") << "image.bin" << QByteArray(256, '\xFF') << 256 << 65280;
    QTest::newRow("257 x FF") << "image.bin" << QByteArray(257, '\xFF') << 257 << 65535;
    QTest::newRow("258 x FF wraps") << "image.bin" << QByteArray(258, '\xFF') << 258 << 254;
    QTest::newRow("empty") << "empty.bin" << QByteArray() << 0 << 0;
    QTest::newRow("hex extension") << "image.hex" << QByteArray::fromHex("0102FF") << 3 << 258;
    QTest::newRow("no extension") << "image" << QByteArray::fromHex("8080") << 2 << 256;
}

void tst_MainWindow::load()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, content);
    QFETCH(int, size);
    QFETCH(int, checksum);

    const QString path = writeFile(fileName, content);
    MainWindow window;
    chooseFile(window, path);
    QCOMPARE(text(window, "lineEdit_filesize"), QString::number(size));
    QCOMPARE(text(window, "lineEdit_checksum"), QString::number(checksum));
    QCOMPARE(message(window), QString());
}

void tst_MainWindow::keepsOldNumbers_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expectedMessage");
    QTest::newRow("cancelled dialog") << QString() << "没有文件";
    QTest::newRow("unopenable file") << socketPath << QString();
}

void tst_MainWindow::keepsOldNumbers()
{
    QFETCH(QString, path);
    QFETCH(QString, expectedMessage);

    MainWindow window;
    chooseFile(window, writeFile(QStringLiteral("old.bin"), "abc"));
    QCOMPARE(text(window, "lineEdit_checksum"), QStringLiteral("294"));

    chooseFile(window, path);
    QCOMPARE(message(window), expectedMessage);
    QCOMPARE(text(window, "lineEdit_filesize"), QStringLiteral("3"));
    QCOMPARE(text(window, "lineEdit_checksum"), QStringLiteral("294"));

    // Either way nothing is left to send: a start reports it and opens no port.
    QTest::mouseClick(widget<QPushButton>(window, "pushButton_download"), Qt::LeftButton);
    QCOMPARE(message(window), QStringLiteral("文件读取失败"));
    QCOMPARE(text(window, "lineEdit_filesize"), QStringLiteral("3"));
}

void tst_MainWindow::largeImage()
{
    // Byte i is i % 251: the period does not divide the size, so the sum has low bits to lose.
    const qint64 size = qint64(256) << 20;
    const int period = 251;
    QByteArray chunk(period * 4096, Qt::Uninitialized);
    for (int i = 0; i < chunk.size(); ++i)
        chunk[i] = char(i % period);

    const QString path = dir.filePath(QStringLiteral("large.bin"));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        for (qint64 left = size; left > 0; left -= chunk.size())
            QVERIFY(file.write(chunk.constData(), qMin<qint64>(left, chunk.size())) > 0);
        QCOMPARE(file.size(), size);
    }
    const qint64 cycles = size / period;
    const qint64 rest = size % period;
    const qint64 sum = cycles * (period * (period - 1) / 2) + rest * (rest - 1) / 2;

    MainWindow window;
    chooseFile(window, path);
    QFile::remove(path);
    QCOMPARE(text(window, "lineEdit_filesize"), QString::number(size));
    QCOMPARE(text(window, "lineEdit_checksum"), QString::number(sum % 65536));
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
