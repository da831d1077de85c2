#include "cli/reporter.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPortInfo>

#include <cstdio>

namespace
{
constexpr int RedrawMs = 100;
constexpr int BarWidth = 24;
constexpr int PlainStep = 10; // plain output marks every 10 %
constexpr int FullPercent = 100;

void put(std::FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

QString rate(double bytesPerSecond)
{
    return QString("%1 kB/s").arg(bytesPerSecond / 1000, 0, 'f', 1);
}

QString hex4(quint16 value)
{
    return QString("%1").arg(value, 4, 16, QChar('0'));
}
} // namespace

Reporter::Reporter(Mode mode, const Targets &targets, qint64 bytes, quint16 checksum)
    : mode(mode), bytes(bytes), checksum(checksum)
{
    for (const Target &target : targets) {
        Board board;
        board.port = target.given;
        boards << board;
        portWidth = qMax(portWidth, target.given.size());
    }
    connect(&redrawTimer, &QTimer::timeout, this, &Reporter::redraw);
}

void Reporter::report(const BoardEvent &event)
{
    Board &board = boards[event.target];
    switch (event.kind) {
    case BoardEvent::Kind::Started:
        started(board);
        break;
    case BoardEvent::Kind::Progress:
        progress(board, event.percent);
        break;
    case BoardEvent::Kind::Result:
        result(board, event);
        break;
    }
}

void Reporter::started(Board &b)
{
    b.clock.start();
    if (mode == Mode::Json)
        emitJson(
            {{"port", b.port}, {"event", "started"}, {"bytes", bytes}, {"checksum", checksum}});
    else if (mode == Mode::Plain)
        plainLine(b, QString("started, %1 bytes, checksum %2").arg(bytes).arg(checksum));
    else if (!redrawTimer.isActive())
        redrawTimer.start(RedrawMs);
}

void Reporter::progress(Board &b, int percent)
{
    const int before = b.percent;
    b.percent = percent;
    if (mode == Mode::Json)
        emitJson({{"port", b.port}, {"event", "progress"}, {"percent", percent}});
    else if (mode == Mode::Plain && percent / PlainStep > qMax(before, 0) / PlainStep &&
             percent < FullPercent)
        plainLine(b, QString("%1 %").arg(percent / PlainStep * PlainStep));
}

void Reporter::result(Board &b, const BoardEvent &event)
{
    b.outcome = event.outcome;
    b.reason = event.reason;
    b.seconds = event.seconds;
    if (event.outcome == Outcome::Done)
        b.percent = FullPercent;
    const QString name = outcomeName(event.outcome);
    const QString &reason = event.reason;
    if (mode == Mode::Json)
        emitJson({{"port", b.port},
                  {"event", "result"},
                  {"result", name},
                  {"reason", reason},
                  {"seconds", qRound(b.seconds * 1000) / 1000.0}});
    else if (mode == Mode::Plain)
        plainLine(b, QString("%1%2 after %3 s")
                         .arg(name, reason.isEmpty() ? QString() : ": " + reason)
                         .arg(b.seconds, 0, 'f', 2));
    else
        redraw();
}

void Reporter::summary()
{
    redrawTimer.stop();
    if (mode == Mode::Terminal)
        redraw();
    // In JSON mode stdout carries events only; the summary goes to the human on stderr.
    std::FILE *stream = mode == Mode::Json ? stderr : stdout;
    QString text = "\n";
    int done = 0, stopped = 0;
    for (const Board &b : qAsConst(boards)) {
        done += b.outcome == Outcome::Done;
        stopped += b.outcome == Outcome::Stopped;
        text += QString("%1  %2 %3 bytes %4 s %5  %6\n")
                    .arg(b.port, -portWidth)
                    .arg(b.outcome ? outcomeName(*b.outcome) : QString("-"), -14)
                    .arg(bytes, 9)
                    .arg(b.seconds, 7, 'f', 2)
                    .arg(rate(bytesPerSecond(b)), 12)
                    .arg(b.reason);
    }
    text += QString("%1 done, %2 failed").arg(done).arg(boards.size() - done - stopped);
    if (stopped > 0)
        text += QString(", %1 stopped").arg(stopped);
    put(stream, text + "\n");
}

void Reporter::listPorts(bool json)
{
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        const QString vid = info.hasVendorIdentifier() ? hex4(info.vendorIdentifier()) : "";
        const QString pid = info.hasProductIdentifier() ? hex4(info.productIdentifier()) : "";
        if (json) {
            const QJsonObject object{{"port", info.portName()},
                                     {"path", info.systemLocation()},
                                     {"description", info.description()},
                                     {"manufacturer", info.manufacturer()},
                                     {"serial", info.serialNumber()},
                                     {"vid", vid},
                                     {"pid", pid}};
            put(stdout, QJsonDocument(object).toJson(QJsonDocument::Compact) + "\n");
        } else {
            put(stdout,
                QStringList{info.systemLocation(), info.description(), info.manufacturer(),
                            info.serialNumber(), vid.isEmpty() ? QString() : vid + ":" + pid}
                        .join('\t') +
                    "\n");
        }
    }
}

double Reporter::seconds(const Board &board) const
{
    return board.outcome ? board.seconds : board.clock.nsecsElapsed() / 1e9;
}

double Reporter::bytesPerSecond(const Board &board) const
{
    const double elapsed = seconds(board);
    return elapsed > 0 ? bytes * qMax(board.percent, 0) / double(FullPercent) / elapsed : 0;
}

QString Reporter::liveLine(const Board &board) const
{
    QString state;
    if (board.outcome) {
        state = outcomeName(*board.outcome);
        if (!board.reason.isEmpty())
            state += ": " + board.reason;
    } else if (board.percent < 0) {
        state = "waking the loader";
    } else {
        const int filled = board.percent * BarWidth / FullPercent;
        state = QString("[%1%2] %3 %  %4")
                    .arg(QString(filled, '#'), QString(BarWidth - filled, '.'))
                    .arg(board.percent, 3)
                    .arg(rate(bytesPerSecond(board)));
    }
    return QString("%1  %2  %3 s")
        .arg(board.port, -portWidth)
        .arg(state)
        .arg(seconds(board), 0, 'f', 1);
}

void Reporter::redraw()
{
    QString text;
    if (drawnLines > 0)
        text += QString("\x1b[%1A").arg(drawnLines);
    for (const Board &b : qAsConst(boards))
        text += "\r\x1b[2K" + liveLine(b) + "\n";
    drawnLines = boards.size();
    put(stdout, text);
}

void Reporter::plainLine(const Board &board, const QString &text)
{
    put(stdout, board.port + ": " + text + "\n");
}

void Reporter::emitJson(const QJsonObject &object)
{
    put(stdout, QJsonDocument(object).toJson(QJsonDocument::Compact) + "\n");
}
