#pragma once

#include "download/dudozerdownload.h"
#include "download/protocol.h"
#include "filedialoganswer.h"
#include "simloader.h"
#include "waitfor.h"

#include <QSerialPort>
#include <QtTest>
#include <QtWidgets>

#include <functional>
#include <memory>

Q_DECLARE_METATYPE(SimLoader::Faults)

constexpr int UserBaud = 9600;

inline QByteArray randomImage(int size, quint32 seed)
{
    QByteArray image(size, Qt::Uninitialized);
    QRandomGenerator rng(seed);
    for (char &c : image)
        c = char(rng.bounded(256));
    return image;
}

inline quint16 checksumOf(const QByteArray &image)
{
    return quint16(byteSum(image.constData(), image.size()));
}

inline QByteArray headerFor(const QByteArray &image)
{
    return Protocol::headerFrame(0, image.size(), checksumOf(image));
}

// One engine as its owner sees it: results and percents in arrival order.
struct EngineRun {
    QList<int> results;
    QList<int> percents;
    // Declared last, so it goes before the lists its signals fill.
    std::unique_ptr<dudoZerDownload> engine = std::make_unique<dudoZerDownload>();

    EngineRun()
    {
        QObject::connect(engine.get(), &dudoZerDownload::backInfo,
                         [this](dudoZerDownload::E_REBACK code) { results << code; });
        QObject::connect(engine.get(), &dudoZerDownload::sendPercent,
                         [this](int percent) { percents << percent; });
    }

    bool start(const QString &port, const QByteArray &image, int baud = UserBaud)
    {
        return engine->startDownload(image.size(), 0, checksumOf(image), image, port, baud);
    }

    // Runs the event loop until `count` results have arrived; polling would slow a large image.
    bool waitForResults(int count, int timeoutMs)
    {
        QEventLoop loop;
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        QObject::connect(engine.get(), &dudoZerDownload::backInfo, &loop, [&] {
            if (results.size() >= count)
                loop.quit();
        });
        if (results.size() < count)
            loop.exec();
        return results.size() == count;
    }
};

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

inline QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &content)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

// True when nothing holds the port: QSerialPort locks the ports it opens.
inline bool portFree(const QString &name)
{
    QSerialPort port(name);
    return port.open(QIODevice::ReadWrite);
}
