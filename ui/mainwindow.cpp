#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include "download/protocol.h"

#include <QFile>
#include <QFileDialog>
#include <QSerialPortInfo>
#include <QStringList>

namespace
{

const int DefaultBaudRate = 115200;
const int PercentMax = 100;

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

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), downloader(nullptr), downloading(false)
{
    ui->setupUi(this);
    ui->progressBar->setRange(0, PercentMax);
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
    QFile file(fileUrl.toLocalFile());
    if (!file.open(QIODevice::ReadOnly)) {
        imageData.clear();
        return imageData;
    }
    // Let go of the previous image before reading, so a large file is never held twice.
    imageData.clear();
    imageData = file.readAll();
    file.close();

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
