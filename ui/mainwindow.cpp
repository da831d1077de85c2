#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include "download/imagefile.h"
#include "download/protocol.h"

#include <QFileDialog>
#include <QFontMetrics>
#include <QLineEdit>
#include <QSerialPortInfo>
#include <QStringList>
#include <QStyle>
#include <QStyleOptionFrame>

namespace
{

const int DefaultBaudRate = 115200;
const int PercentMax = 100;
// The widest number a field shows: any image size or checksum fits in it.
const char WidestNumber[] = "4294967295";
// QLineEdit's fixed inner margin on each side of its text, and its cursor.
const int LineEditInnerMargin = 2;
const int CursorWidth = 1;

QStringList getPortNames()
{
    QStringList names;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports)
        names << port.portName();
    return names;
}

QStringList getBaudRates()
{
    QStringList rates;
    const auto standard = QSerialPortInfo::standardBaudRates();
    for (qint32 rate : standard)
        rates << QString::number(rate, 10);
    return rates;
}

// Keeps a number field at least wide enough for WidestNumber. Without a minimum the layout
// squeezes the fields once the progress bar shows, and a line edit then scrolls the head of the
// number out of sight.
void fitWidestNumber(QLineEdit *field)
{
    field->ensurePolished();
    const QFontMetrics metrics(field->font());
    int digit = 0;
    for (char c = '0'; c <= '9'; ++c)
        digit = qMax(digit, metrics.horizontalAdvance(QLatin1Char(c)));
    const QMargins text = field->textMargins();
    const int width = digit * int(qstrlen(WidestNumber)) + 2 * LineEditInnerMargin + CursorWidth +
                      text.left() + text.right();
    QStyleOptionFrame option;
    option.initFrom(field);
    option.lineWidth = field->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, field);
    const QSize size(width, metrics.height());
    field->setMinimumWidth(
        field->style()->sizeFromContents(QStyle::CT_LineEdit, &option, size, field).width());
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), downloader(nullptr), downloading(false)
{
    ui->setupUi(this);
    ui->progressBar->setRange(0, PercentMax);
    // The window itself grows to the layout's minimum when the bar appears (a top-level layout's
    // default constraint), so the fields keep their width.
    fitWidestNumber(ui->lineEdit_filesize);
    fitWidestNumber(ui->lineEdit_checksum);
    setUiIdle();
    fillLists();
}

MainWindow::~MainWindow()
{
    // Closing the window during a download must not leave the port open behind it.
    delete downloader;
    delete ui;
}

void MainWindow::on_pushButton_open_clicked()
{
    fileUrl = QFileDialog::getOpenFileUrl(this, tr("打开程序文件"), QUrl::fromLocalFile(QString()),
                                          QStringLiteral("*.bin"));
    if (fileUrl.toDisplayString().isEmpty()) {
        ui->textBrowser->setText(tr("没有文件"));
        return;
    }
    loadImage();
}

void MainWindow::on_pushButton_download_clicked()
{
    if (downloading) {
        downloading = false;
        // No engine code is on the stack here, so it can go at once and free the port now.
        delete downloader;
        downloader = nullptr;
        ui->textBrowser->setText(tr("停止下载"));
        setUiIdle();
        return;
    }

    // The file is read again so that the image sent is the one on disk right now.
    loadImage();
    if (imageData.isEmpty()) {
        ui->textBrowser->setText(tr("文件读取失败"));
        return;
    }
    const int baudRate = ui->comboBox_bd->currentText().toInt(nullptr, 10);
    const QString portName = ui->comboBox_serial->currentText();
    if (launchDownload(portName, baudRate)) {
        setUiBusy();
        ui->textBrowser->setText(tr("开始下载"));
    } else {
        ui->textBrowser->setText(tr("串口打开失败"));
    }
}

void MainWindow::errHandle(dudoZerDownload::E_REBACK err)
{
    // An engine that already reported its result lives on until the event loop deletes it, and
    // after a time-out it still reads the line; whatever it says then is no longer ours.
    if (!downloader || sender() != downloader)
        return;
    QString message;
    switch (err) {
    case dudoZerDownload::E_OPEN_FAIL:
        // Reported from inside startDownload(); launchDownload() discards the engine itself.
        ui->textBrowser->setText(tr("串口打开失败"));
        setUiIdle();
        return;
    case dudoZerDownload::E_DONE:
        message = tr("下载完成");
        break;
    case dudoZerDownload::E_DOWNLOAD_ERR:
        message = tr("下载错误");
        break;
    case dudoZerDownload::E_TIMEOUT:
        message = tr("下载超时");
        break;
    default:
        return;
    }
    ui->textBrowser->setText(message);
    setUiIdle();
    downloading = false;
    // We are called from inside the engine's own slot, so it may only go once that has returned.
    downloader->deleteLater();
    downloader = nullptr;
}

void MainWindow::getPercent(int percent)
{
    if (!downloader || sender() != downloader)
        return;
    ui->progressBar->setValue(percent);
}

QByteArray &MainWindow::loadImage()
{
    // Decided before any open: a FIFO would block the window, a device would never end. Whatever
    // is not read leaves an empty image and the fields as they were.
    if (ImageFile::read(fileUrl.toLocalFile(), &imageData) != ImageFile::Status::Ok)
        return imageData;

    imageSize = imageData.size();
    imageChecksum = quint16(byteSum(imageData.constData(), imageSize));
    headerValue = 0;
    ui->lineEdit_filesize->setText(QString::number(imageData.size(), 10));
    ui->lineEdit_checksum->setText(QString::number(imageChecksum, 10));
    return imageData;
}

void MainWindow::setUiIdle()
{
    ui->pushButton_open->setDisabled(false);
    ui->comboBox_serial->setDisabled(false);
    ui->comboBox_bd->setDisabled(false);
    ui->pushButton_download->setText(tr("下载"));
    ui->progressBar->setVisible(false);
}

void MainWindow::setUiBusy()
{
    ui->pushButton_open->setDisabled(true);
    ui->comboBox_serial->setDisabled(true);
    ui->comboBox_bd->setDisabled(true);
    ui->pushButton_download->setText(tr("停止"));
    ui->progressBar->setVisible(true);
    ui->progressBar->setValue(0);
}

void MainWindow::fillLists()
{
    ui->comboBox_serial->insertItems(ui->comboBox_serial->count(), getPortNames());
    ui->comboBox_bd->insertItems(ui->comboBox_bd->count(), getBaudRates());
    ui->comboBox_bd->setCurrentText(QString::number(DefaultBaudRate));
}

bool MainWindow::launchDownload(const QString &portName, int baudRate)
{
    downloader = new dudoZerDownload();
    // E_REBACK is not a registered meta type: these connections only work as direct calls,
    // which they are, since the engine lives on this thread.
    connect(downloader, SIGNAL(backInfo(dudoZerDownload::E_REBACK)), this,
            SLOT(errHandle(dudoZerDownload::E_REBACK)));
    connect(downloader, SIGNAL(sendPercent(int)), this, SLOT(getPercent(int)));
    if (downloader->startDownload(imageSize, headerValue, quint16(imageChecksum), imageData,
                                  portName, baudRate)) {
        downloading = true;
        return true;
    }
    delete downloader;
    downloader = nullptr;
    downloading = false;
    return false;
}
