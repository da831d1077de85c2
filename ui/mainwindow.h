#pragma once

#include "download/dudozerdownload.h"

#include <QByteArray>
#include <QMainWindow>
#include <QUrl>

namespace Ui
{
class MainWindow;
}

// The tool's only window: picks port, baud rate and image, and starts, stops and concludes
// downloads through one engine at a time. Its slots keep their names and its connects to the
// engine stay name-based (SIGNAL/SLOT and the form's auto-connected on_..._clicked): the form and
// the engine's signatures are fixed, and callers rely on them.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

private slots:
    void on_pushButton_open_clicked();
    void on_pushButton_download_clicked();
    void errHandle(dudoZerDownload::E_REBACK err);
    void getPercent(int percent);

private:
    QByteArray &loadImage();
    void setUiIdle();
    void setUiBusy();
    void fillLists();
    bool launchDownload(const QString &portName, int baudRate);

    Ui::MainWindow *ui;
    QUrl fileUrl;
    QByteArray imageData;
    quint32 imageChecksum = 0;
    quint32 headerValue = 0;
    qint32 imageSize = 0;
    dudoZerDownload *downloader;
    bool downloading;
};
