#pragma once

#include "station/attempt.h"
#include "station/outcome.h"
#include "station/resetcommand.h"
#include "station/runsettings.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

// One board: resets it into its loader if asked, wakes the loader and downloads the image, attempt
// after attempt as the run allows, and ends with one result. An attempt that times out before the
// loader ever answered is a wake-up, and with a wait the next one starts at once; an attempt that
// got an answer and then failed is a result, retried from the reset only, since without one the
// loader may still be mid-image and would take a handshake for block data.
class BoardJob : public QObject
{
    Q_OBJECT

public:
    struct Result {
        Outcome outcome;
        QString reason;
        double seconds;         // from the start
        double flashingSeconds; // from the loader's first answer; 0 if it never answered
        int attempts;
        bool answered;        // the loader answered at least once: a board was there
        qint64 acceptedBytes; // the most of the image any attempt got accepted
    };

    BoardJob(const RunSettings &settings, const QString &path, QObject *parent = nullptr);
    ~BoardJob() override;

    // `beforeImage` runs before each attempt's header frame: no byte of the image has gone out.
    void start(const std::function<void()> &beforeImage = {});
    void stop(); // ends at once as Stopped, the port closed
    // The loader has answered: a board is there, and may be mid-image.
    bool underWay() const;

signals:
    void waiting(double seconds); // a new wake-up begins; the loader has not answered yet
    void answered();              // the loader's first answer
    void attempt(int number);     // a new attempt from the reset, after a failed one
    void progress(int percent);
    void finished(const BoardJob::Result &result); // once, the port closed

private:
    void nextAttempt();
    void runAttempt();
    bool resetLines(QString *reason);
    void onAttemptFinished(const Attempt::Result &result);
    void onDeadline();
    void finish(Outcome outcome, const QString &reason);
    bool keepWaking() const;

    const RunSettings settings;
    const QString path;
    QElapsedTimer clock;
    QElapsedTimer settling;  // since the reset command ended
    qint64 answeredAtMs = 0; // the first answer, steady clock, milliseconds
    QTimer deadline;
    ResetCommand command;
    std::function<void()> beforeImage;
    Attempt *current = nullptr;
    int lineFd = -1; // held open across attempts for the reset sequence
    int attempts = 1;
    bool everAnswered = false;
    int lastPercent = -1;
    qint64 acceptedBytes = 0;
    bool over = false;
};
