#pragma once

#include "download/dudozerdownload.h"
#include "station/outcome.h"
#include "station/runsettings.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

// One conversation with a board's loader, on a fresh engine: exactly what the window would send.
// Turns the engine's result into an outcome and a reason in words, and notices a line that hung
// up at once rather than after the engine's retry budget.
class Attempt : public QObject
{
    Q_OBJECT

public:
    struct Result {
        Outcome outcome;
        QString reason;
        bool answered;        // the loader gave a ready reply to a handshake
        qint64 answeredAtMs;  // when, steady clock, milliseconds
        qint64 acceptedBytes; // of the image, by the blocks the loader accepted
    };

    Attempt(const Image &image, const QString &path, int baud, QObject *parent = nullptr);
    ~Attempt() override;

    // Opens the port and starts the conversation. `afterOpen` runs as soon as the port is open,
    // before any reply is handled (the reset sequence); when it fails the attempt ends as
    // ResetFailed with the reason it gives. `beforeImage` runs just before the header frame.
    void start(const std::function<bool(QString *reason)> &afterOpen = {},
               const std::function<void()> &beforeImage = {});
    // Closes the port at once; no result follows.
    void abort();

    bool answered() const;
    qint64 acceptedBytes() const;
    // The loader's silence so far in words: never a byte, or bytes that were no reply.
    QString silence() const;

signals:
    void answeredNow(qint64 atMs); // the loader's first ready reply, steady clock, milliseconds
    void progress(int percent);
    // Exactly once unless aborted, after the engine is gone and the port closed.
    void finished(const Attempt::Result &result);

private:
    void onResult(dudoZerDownload::E_REBACK code);
    void onPercent(int percent);
    void watch();
    void finish(Outcome outcome, const QString &reason);
    QString where(const dudoZerDownload::Diagnostics &seen) const;
    qint64 accepted(const dudoZerDownload::Diagnostics &seen) const;
    QString timeoutReason() const;
    QString rejectReason() const;
    QString lostReason() const;

    const Image image;
    const QString path;
    const int baud;
    std::unique_ptr<dudoZerDownload> engine;
    QTimer watcher;
    bool answeredSeen = false;
    int lastPercent = -1;
    bool over = false;  // the result is decided
    bool ended = false; // and told, or the attempt aborted
};
