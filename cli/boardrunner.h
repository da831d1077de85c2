#pragma once

#include "download/dudozerdownload.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

// One board's download, run on a thread of its own: the engine blocks its thread while the line
// settles after the rate switch, which must hold up no other board. Lives in that thread; what
// it reports crosses to the main thread as plain values through queued connections.
class BoardRunner : public QObject
{
    Q_OBJECT

public:
    enum Outcome { Done, OpenFailed, DownloadError, Timeout, Stopped };

    BoardRunner(const QByteArray &image, quint16 checksum, const QString &path, int baud);
    ~BoardRunner() override;

    // The outcome as scripts read it: done, open_failed, download_error, timeout, stopped.
    static QString outcomeName(int outcome);

public slots:
    void start();
    void stop();

signals:
    void progress(int percent);
    // Sent once, after the engine is gone and the port closed.
    void finished(int outcome, const QString &reason);

private:
    void onResult(dudoZerDownload::E_REBACK code);
    void onPercent(int percent);
    void finish(int outcome, const QString &reason);
    QString openFailReason() const;

    const QByteArray image;
    const quint16 checksum;
    const QString path;
    const int baud;
    std::unique_ptr<dudoZerDownload> engine;
    int lastPercent = -1;
    bool over = false;
};
