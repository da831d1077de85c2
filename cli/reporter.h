#pragma once

#include "cli/outputstream.h"
#include "station/boardevent.h"
#include "station/target.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

#include <optional>

class QJsonObject;

// Everything lumedra-cli tells its user about the boards: lines redrawn in place on a terminal,
// plain lines for a log, or one JSON object per event for a script; then a closing summary.
// Output is written from threads of its own and never waited on: a stream that cannot be written
// (a closed pipe, a full disk, a reader gone quiet) is given up, and the downloads go on.
class Reporter : public QObject
{
    Q_OBJECT

public:
    enum class Mode { Terminal, Plain, Json };
    struct Setup {
        Mode mode = Mode::Plain;
        bool quiet = false;   // results and the summary only
        bool station = false; // each target is a slot that boards come and go on
        int attempts = 1;     // tries per board
        qint64 bytes = 0;     // the image's size and checksum
        quint16 checksum = 0;
    };

    Reporter(const Setup &setup, const Targets &targets);

    void report(const BoardEvent &event);
    void notice(const QString &text); // one line for the human, on stderr
    void summary();
    bool outputLost() const;
    // Waits at most `timeoutMs` for the output to be taken; false if it was not.
    bool drain(int timeoutMs);

    static void listPorts(bool json);

signals:
    void lost(); // once, when a stream could not be written

private:
    enum class State { Idle, Looking, Waiting, Running, Finished, Remove };
    struct Board {
        Target target;
        State state = State::Idle;
        QElapsedTimer clock; // since the board started, or the slot began waiting
        int board = 0;
        QString path;
        int percent = -1;
        int attempt = 1;
        std::optional<Outcome> outcome; // the last board's
        QString reason;                 // of the last result, or why the slot cannot go on
        double seconds = 0;
        int done = 0;
        int failed = 0;
        int marked = 0; // tens of percent the plain output has marked
    };

    void plainEvent(Board &b, const BoardEvent &event);
    void jsonEvent(const Board &b, const BoardEvent &event);
    QString stateText(const Board &b, int barWidth) const;
    QString liveLine(const Board &b, int width) const;
    QString totalsLine(int shownBoards) const;
    void redraw();
    double bytesPerSecond(const Board &b) const;
    QString label(const Board &b) const;
    enum class Stream { Out, Err };
    void write(Stream stream, const QByteArray &bytes);
    void watchStreams();

    const Setup setup;
    QVector<Board> boards;
    QElapsedTimer runClock;
    int labelWidth = 0;
    int sharedStart = 0; // length of the start every port's name shares
    int sharedEnd = 0;   // and of the end
    int drawnLines = 0;
    QTimer redrawTimer;
    OutputStream out;
    OutputStream err;
    QTimer streamWatch;
    bool stdoutLost = false; // told
    bool stderrLost = false;
};
