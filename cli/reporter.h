#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVector>

class QJsonObject;

// Everything lumedra-cli tells its user about the boards: lines redrawn in place on a terminal,
// plain lines for a log, or one JSON object per event for a script; then a closing summary.
class Reporter : public QObject
{
    Q_OBJECT

public:
    enum class Mode { Terminal, Plain, Json };

    Reporter(Mode mode, const QStringList &ports, qint64 bytes, quint16 checksum);

    void started(int board);
    void progress(int board, int percent);
    void result(int board, int outcome, const QString &reason);
    void summary();

    static void listPorts(bool json);

private:
    struct Board {
        QString port;
        QElapsedTimer clock;
        int percent = -1;
        int outcome = -1;
        QString reason;
        double seconds = 0;
    };

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
