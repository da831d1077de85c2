#pragma once

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
class Reporter : public QObject
{
    Q_OBJECT

public:
    enum class Mode { Terminal, Plain, Json };

    Reporter(Mode mode, const Targets &targets, qint64 bytes, quint16 checksum);

    void report(const BoardEvent &event);
    void summary();

    static void listPorts(bool json);

private:
    struct Board {
        QString port; // as given
        QElapsedTimer clock;
        int percent = -1;
        std::optional<Outcome> outcome; // none until the result
        QString reason;
        double seconds = 0;
    };

    void started(Board &board);
    void progress(Board &board, int percent);
    void result(Board &board, const BoardEvent &event);
    double seconds(const Board &board) const;
    double bytesPerSecond(const Board &board) const;
    QString liveLine(const Board &board) const;
    void redraw();
    void plainLine(const Board &board, const QString &text);
    void emitJson(const QJsonObject &object);

    const Mode mode;
    const qint64 bytes;
    const quint16 checksum;
    QVector<Board> boards;
    int portWidth = 0;
    int drawnLines = 0;
    QTimer redrawTimer;
};
