#pragma once

#include "download/dudozerdownload.h"
#include "station/boardevent.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <memory>

// One board's download, run on a thread of its own: the engine blocks its thread while the line
// settles after the rate switch, which must hold up no other board. Lives in that thread; what
// it reports crosses to the main thread as BoardEvents through queued connections.
class BoardRunner : public QObject
{
    Q_OBJECT

public:
    BoardRunner(int target, const QByteArray &image, quint16 checksum, const QString &path,
                int baud);
    ~BoardRunner() override;

public slots:
    void start();
    void stop();

signals:
    // Started, Progress, then exactly one Result, sent after the engine is gone and the port
    // closed.
    void event(const BoardEvent &event);

private:
    void onResult(dudoZerDownload::E_REBACK code);
    void onPercent(int percent);
    void finish(Outcome outcome, const QString &reason);
    QString openFailReason() const;

    const int target;
    const QByteArray image;
    const quint16 checksum;
    const QString path;
    const int baud;
    std::unique_ptr<dudoZerDownload> engine;
    QElapsedTimer clock;
    int lastPercent = -1;
    bool over = false;
};
