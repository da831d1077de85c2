#include "cli/reporter.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPortInfo>
#include <QSize>

#include <cerrno>
#include <cstring>

#include <sys/ioctl.h>
#include <unistd.h>

namespace
{

constexpr int RedrawMs = 100;
constexpr int StreamWatchMs = 250;
constexpr int BarWidth = 24;
constexpr int LeastBar = 6;
constexpr int PlainStep = 10; // plain output marks every 10 %
constexpr int FullPercent = 100;
constexpr int DefaultColumns = 80;
constexpr int DefaultRows = 24;
constexpr int LeastLabel = 9; // a shortened port name keeps this much
constexpr double SecondsPerHour = 3600;
const QString Ellipsis = QStringLiteral("...");
const QString WaitingText = QStringLiteral("waiting for the board (power it on or reset it)");

QString rate(double bytesPerSecond)
{
    return QString("%1 kB/s").arg(bytesPerSecond / 1000, 0, 'f', 1);
}

QString hex4(quint16 value)
{
    return QString("%1").arg(value, 4, 16, QChar('0'));
}

QString duration(double seconds)
{
    const qint64 s = qint64(seconds);
    if (s < 60)
        return QString("%1 s").arg(seconds, 0, 'f', 1);
    if (s < 3600)
        return QString("%1 min %2 s").arg(s / 60).arg(s % 60);
    return QString("%1 h %2 min").arg(s / 3600).arg(s % 3600 / 60);
}

// A name shortened in the middle to `width`. What all the names share goes first, so that
// /dev/serial/by-path names that differ in one hub position still tell their boards apart:
// `shared` and `sharedEnd` are the lengths of the common start and end of the run's names.
QString squeeze(const QString &text, int width, int shared, int sharedEnd)
{
    constexpr int Context = 3; // kept on each side of where the names differ
    if (text.size() <= width)
        return text;
    const int cut = Ellipsis.size();
    const int start = Context, startEnd = shared - Context; // the common start, less context
    const int end = text.size() - sharedEnd + Context, endEnd = text.size() - Context;
    const int room = qMax(0, startEnd - start), endRoom = qMax(0, endEnd - end);
    int excess = text.size() - width + cut;
    if (room >= excess)
        return text.left(startEnd - excess) + Ellipsis + text.mid(startEnd);
    if (endRoom >= excess)
        return text.left(end) + Ellipsis + text.mid(end + excess);
    excess += cut; // two cuts, around the part that differs
    if (room + endRoom >= excess && room > 0) {
        const int fromEnd = excess - room;
        return text.left(start) + Ellipsis + text.mid(startEnd, end - startEnd) + Ellipsis +
               text.mid(end + fromEnd);
    }
    const int keep = qMax(0, width - cut);
    return text.left(keep - keep / 2) + Ellipsis + text.right(keep / 2);
}

QSize terminalSize()
{
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0)
        return {DefaultColumns, DefaultRows};
    return {size.ws_col, size.ws_row};
}

} // namespace

Reporter::Reporter(const Setup &setup, const Targets &targets)
    : setup(setup), out(STDOUT_FILENO), err(STDERR_FILENO)
{
    // A failed stream is noticed even while nothing is being written.
    connect(&streamWatch, &QTimer::timeout, this, &Reporter::watchStreams);
    streamWatch.start(StreamWatchMs);
    for (const Target &target : targets) {
        Board board;
        board.target = target;
        board.state = setup.station ? State::Looking : State::Idle;
        board.clock.start();
        boards << board;
        labelWidth = qMax(labelWidth, target.given.size());
    }
    // What every name shares at its start and at its end, the two not overlapping.
    const QString first = boards.isEmpty() ? QString() : boards.first().target.given;
    sharedStart = sharedEnd = first.size();
    int shortest = first.size();
    for (const Board &b : qAsConst(boards)) {
        const QString &name = b.target.given;
        int start = 0, end = 0;
        while (start < qMin(sharedStart, name.size()) && name[start] == first[start])
            ++start;
        while (end < qMin(sharedEnd, name.size()) &&
               name[name.size() - 1 - end] == first[first.size() - 1 - end])
            ++end;
        sharedStart = start;
        sharedEnd = end;
        shortest = qMin(shortest, name.size());
    }
    sharedEnd = qMin(sharedEnd, shortest - sharedStart);
    runClock.start();
    connect(&redrawTimer, &QTimer::timeout, this, &Reporter::redraw);
    if (setup.mode == Mode::Terminal && !setup.quiet)
        redrawTimer.start(RedrawMs);
}

bool Reporter::outputLost() const
{
    return stdoutLost || stderrLost;
}

void Reporter::report(const BoardEvent &event)
{
    Board &b = boards[event.target];
    const State before = b.state;
    b.board = event.board;
    b.path = event.path;
    switch (event.kind) {
    case BoardEvent::Kind::Waiting:
        b.state = setup.station && event.path.isEmpty() ? State::Looking : State::Waiting;
        b.reason = event.reason;
        if (before == State::Remove || before == State::Idle || before == State::Finished)
            b.clock.start();
        break;
    case BoardEvent::Kind::Started:
        b.state = State::Running;
        b.clock.start();
        b.percent = -1;
        b.attempt = 1;
        b.reason.clear();
        break;
    case BoardEvent::Kind::Attempt:
        b.state = State::Running;
        b.attempt = event.attempt;
        b.percent = -1;
        break;
    case BoardEvent::Kind::Progress:
        b.state = State::Running;
        b.percent = event.percent;
        break;
    case BoardEvent::Kind::Result:
        b.state =
            setup.station && event.outcome != Outcome::Stopped && event.outcome != Outcome::Lost
                ? State::Remove
                : State::Finished;
        b.outcome.emplace(event.outcome);
        b.reason = event.reason;
        b.seconds = event.seconds;
        if (event.outcome == Outcome::Done)
            ++b.done;
        else if (event.outcome != Outcome::Stopped)
            ++b.failed;
        break;
    case BoardEvent::Kind::Left:
        b.state = State::Looking;
        b.clock.start();
        break;
    }
    if (setup.mode == Mode::Json)
        jsonEvent(b, event);
    else if (setup.mode == Mode::Plain || setup.quiet)
        plainEvent(b, event);
    else if (event.kind == BoardEvent::Kind::Result)
        redraw();
}

QString Reporter::label(const Board &b) const
{
    return b.target.given;
}

void Reporter::plainEvent(Board &b, const BoardEvent &event)
{
    const bool result = event.kind == BoardEvent::Kind::Result;
    if (setup.quiet && !result)
        return;
    QString text;
    switch (event.kind) {
    case BoardEvent::Kind::Waiting:
        // Once as a slot starts waiting, and whenever the reason it cannot go on changes.
        if (!event.reason.isEmpty())
            text = "cannot open the port: " + event.reason + "; trying again";
        else if (event.seconds > 0 && !setup.station)
            return;
        else if (event.path.isEmpty())
            text = "no port yet; looking for one";
        else
            text = WaitingText;
        break;
    case BoardEvent::Kind::Started:
        text = QString("started, %1 bytes, checksum %2").arg(setup.bytes).arg(setup.checksum);
        break;
    case BoardEvent::Kind::Attempt:
        text = QString("attempt %1 of %2").arg(event.attempt).arg(setup.attempts);
        break;
    case BoardEvent::Kind::Progress: {
        // Each 10 % passed, short of the result; a new attempt passes them again.
        const int step = event.percent / PlainStep;
        const bool passed = step > b.marked && event.percent < FullPercent;
        b.marked = step;
        if (!passed)
            return;
        text = QString("%1 %").arg(step * PlainStep);
        break;
    }
    case BoardEvent::Kind::Result:
        text = QString("%1%2 after %3 s")
                   .arg(outcomeName(event.outcome),
                        event.reason.isEmpty() ? QString() : ": " + event.reason)
                   .arg(event.seconds, 0, 'f', 2);
        if (event.attempt > 1)
            text += QString(", %1 attempts").arg(event.attempt);
        break;
    case BoardEvent::Kind::Left:
        text = QString("board %1 left").arg(event.board);
        break;
    }
    QString who = label(b);
    if (setup.station && event.board > 0 && event.kind != BoardEvent::Kind::Left)
        who += QString(": board %1 on %2").arg(event.board).arg(event.path);
    write(Stream::Out, (who + ": " + text + "\n").toLocal8Bit());
}

void Reporter::jsonEvent(const Board &b, const BoardEvent &event)
{
    if (setup.quiet && event.kind != BoardEvent::Kind::Result)
        return;
    QJsonObject object{{"port", b.target.given}};
    if (setup.station) {
        object.insert("slot", event.target + 1);
        if (event.board > 0)
            object.insert("board", event.board);
        if (!event.path.isEmpty())
            object.insert("path", event.path);
    }
    switch (event.kind) {
    case BoardEvent::Kind::Waiting:
        object.insert("event", "waiting");
        object.insert("seconds", qRound(event.seconds * 1000) / 1000.0);
        if (!event.reason.isEmpty())
            object.insert("reason", event.reason);
        break;
    case BoardEvent::Kind::Started:
        object.insert("event", "started");
        object.insert("bytes", setup.bytes);
        object.insert("checksum", setup.checksum);
        break;
    case BoardEvent::Kind::Attempt:
        object.insert("event", "attempt");
        object.insert("attempt", event.attempt);
        object.insert("of", setup.attempts);
        break;
    case BoardEvent::Kind::Progress:
        object.insert("event", "progress");
        object.insert("percent", event.percent);
        break;
    case BoardEvent::Kind::Result:
        object.insert("event", "result");
        object.insert("result", outcomeName(event.outcome));
        object.insert("reason", event.reason);
        object.insert("seconds", qRound(event.seconds * 1000) / 1000.0);
        object.insert("attempts", event.attempt);
        break;
    case BoardEvent::Kind::Left:
        object.insert("event", "left");
        break;
    }
    write(Stream::Out, QJsonDocument(object).toJson(QJsonDocument::Compact) + "\n");
}

void Reporter::summary()
{
    redrawTimer.stop();
    if (setup.mode == Mode::Terminal && !setup.quiet)
        redraw();
    // In JSON mode stdout carries events only; the summary goes to the human on stderr.
    const Stream stream = setup.mode == Mode::Json ? Stream::Err : Stream::Out;
    QString text = "\n";
    int done = 0, failed = 0, stopped = 0;
    for (const Board &b : qAsConst(boards)) {
        done += b.done;
        failed += b.failed;
        stopped += b.outcome == Outcome::Stopped;
        if (setup.station) {
            text += QString("slot %1  %2  %3 done  %4 failed%5\n")
                        .arg(&b - boards.constData() + 1, 2)
                        .arg(b.target.given, -labelWidth)
                        .arg(b.done, 5)
                        .arg(b.failed, 5)
                        .arg(b.outcome ? QString("  last: %1%2")
                                             .arg(outcomeName(*b.outcome),
                                                  b.reason.isEmpty() ? QString() : ": " + b.reason)
                                       : QString());
            continue;
        }
        const double seconds = b.outcome ? b.seconds : 0;
        text +=
            QString("%1  %2 %3 bytes %4 s %5  %6\n")
                .arg(b.target.given, -labelWidth)
                .arg(b.outcome ? outcomeName(*b.outcome) : QString("-"), -14)
                .arg(setup.bytes, 9)
                .arg(seconds, 7, 'f', 2)
                .arg(rate(seconds > 0 && b.outcome == Outcome::Done ? setup.bytes / seconds : 0),
                     12)
                .arg(b.reason);
    }
    if (setup.station) {
        const double hours = runClock.nsecsElapsed() / 1e9 / SecondsPerHour;
        text += QString("%1 boards: %2 done, %3 failed in %4 (%5 boards/h)")
                    .arg(done + failed)
                    .arg(done)
                    .arg(failed)
                    .arg(duration(runClock.nsecsElapsed() / 1e9))
                    .arg(hours > 0 ? (done + failed) / hours : 0, 0, 'f', 1);
    } else {
        text += QString("%1 done, %2 failed").arg(done).arg(failed);
        if (stopped > 0)
            text += QString(", %1 stopped").arg(stopped);
    }
    write(stream, (text + "\n").toLocal8Bit());
}

void Reporter::notice(const QString &text)
{
    write(Stream::Err, QString("lumedra-cli: %1\n").arg(text).toLocal8Bit());
}

double Reporter::bytesPerSecond(const Board &b) const
{
    const double elapsed = b.clock.nsecsElapsed() / 1e9;
    return elapsed > 0 ? setup.bytes * qMax(b.percent, 0) / double(FullPercent) / elapsed : 0;
}

QString Reporter::stateText(const Board &b, int barWidth) const
{
    const QString failure =
        b.outcome ? outcomeName(*b.outcome) + (b.reason.isEmpty() ? QString() : ": " + b.reason)
                  : QString();
    switch (b.state) {
    case State::Idle:
        return QStringLiteral("waking the loader");
    case State::Looking:
        return b.reason.isEmpty() ? QStringLiteral("no board") : "cannot open: " + b.reason;
    case State::Waiting:
        return b.reason.isEmpty() ? WaitingText : "cannot open: " + b.reason;
    case State::Running: {
        if (b.percent < 0)
            return b.attempt > 1 ? QString("attempt %1: waking the loader").arg(b.attempt)
                                 : QStringLiteral("waking the loader");
        const int filled = b.percent * barWidth / FullPercent;
        return QString("[%1%2] %3 %  %4%5")
            .arg(QString(filled, '#'), QString(barWidth - filled, '.'))
            .arg(b.percent, 3)
            .arg(rate(bytesPerSecond(b)),
                 b.attempt > 1 ? QString("  attempt %1").arg(b.attempt) : QString());
    }
    case State::Remove:
        return (b.outcome == Outcome::Done ? QStringLiteral("done") : failure) +
               ", remove the board";
    case State::Finished:
        return failure;
    }
    Q_UNREACHABLE();
}

QString Reporter::liveLine(const Board &b, int width) const
{
    const double seconds = b.state == State::Finished ? b.seconds : b.clock.nsecsElapsed() / 1e9;
    // The bar narrows with the terminal, down to a stub.
    const QString state = stateText(b, qBound(LeastBar, (width - 40) / 2, BarWidth));
    QString tail = QString("  %1  %2 s").arg(state).arg(seconds, 0, 'f', 1);
    QString head;
    if (setup.station) {
        head = QString("%1 ").arg(&b - boards.constData() + 1, 2);
        // The last result stays in view while the slot waits for its next board.
        const QString last = b.outcome && b.state != State::Remove && b.state != State::Finished
                                 ? QString("  last: %1").arg(outcomeName(*b.outcome))
                                 : QString();
        tail = QString("  %1  %2 s%3  %4 done  %5 failed")
                   .arg(state)
                   .arg(seconds, 0, 'f', 1)
                   .arg(last)
                   .arg(b.done)
                   .arg(b.failed);
    }
    // The port's name gives way first, down to a recognisable stub; then the line is cut.
    const int room = width - head.size() - tail.size();
    const QString name =
        squeeze(b.target.given, qMax(LeastLabel, qMin(room, labelWidth)), sharedStart, sharedEnd);
    return (head + name.leftJustified(qMin(labelWidth, qMax(LeastLabel, room))) + tail).left(width);
}

QString Reporter::totalsLine(int shownBoards) const
{
    int done = 0, failed = 0, running = 0;
    int hiddenDone = 0, hiddenFailed = 0, hiddenRunning = 0;
    for (int i = 0; i < boards.size(); ++i) {
        const Board &b = boards[i];
        const bool active =
            b.state == State::Running || b.state == State::Waiting || b.state == State::Idle;
        done += b.done;
        failed += b.failed;
        running += active;
        if (i >= shownBoards) {
            hiddenDone += b.done;
            hiddenFailed += b.failed;
            hiddenRunning += active;
        }
    }
    QString more;
    if (shownBoards < boards.size())
        more = QString("... %1 more: %2 done, %3 failed, %4 under way")
                   .arg(boards.size() - shownBoards)
                   .arg(hiddenDone)
                   .arg(hiddenFailed)
                   .arg(hiddenRunning);
    if (!setup.station)
        return more;
    // The station's totals first: a narrow terminal cuts the line's end.
    const double seconds = runClock.nsecsElapsed() / 1e9;
    return QString("%1 boards: %2 done, %3 failed  |  %4 boards/h  |  up %5")
               .arg(done + failed)
               .arg(done)
               .arg(failed)
               .arg(seconds > 0 ? (done + failed) * SecondsPerHour / seconds : 0, 0, 'f', 1)
               .arg(duration(seconds)) +
           (more.isEmpty() ? QString() : "  |  " + more);
}

void Reporter::redraw()
{
    // A terminal that is behind (scrolled back, paused) gets the next picture, not every one.
    if (stdoutLost || !out.idle())
        return;
    // Asked every time: the display follows the terminal's size as it changes.
    const QSize size = terminalSize();
    // The last column and row stay free: a line that fills the row wraps on some terminals, and
    // a full screen would scroll the first line away.
    const int width = qMax(1, size.width() - 1);
    const int rows = qMax(1, size.height() - 1);
    const int fixed = setup.station ? 1 : 0; // the totals line
    // Too many boards: what fits, and a line with the rest counted (within the totals on a
    // station).
    const int shown = boards.size() + fixed > rows ? rows - 1 : boards.size();
    QStringList lines;
    for (int i = 0; i < shown; ++i)
        lines << liveLine(boards[i], width);
    const QString totals = totalsLine(shown);
    if (!totals.isEmpty())
        lines << totals.left(width);

    QString text;
    if (drawnLines > 0)
        text += QString("\x1b[%1A").arg(drawnLines);
    for (const QString &line : qAsConst(lines))
        text += "\r" + line + "\x1b[K\n";
    text += "\x1b[J"; // what a taller display left below
    drawnLines = lines.size();
    write(Stream::Out, text.toLocal8Bit());
}

void Reporter::write(Stream stream, const QByteArray &bytes)
{
    watchStreams();
    (stream == Stream::Out ? out : err).write(bytes);
}

void Reporter::watchStreams()
{
    for (const Stream stream : {Stream::Out, Stream::Err}) {
        OutputStream &failing = stream == Stream::Out ? out : err;
        bool &told = stream == Stream::Out ? stdoutLost : stderrLost;
        if (told || failing.error() == 0)
            continue;
        const bool first = !outputLost();
        told = true;
        if (!first)
            continue;
        // Told once, on the other stream if it still works; the exit status tells it too.
        (stream == Stream::Out ? err : out)
            .write(QString("lumedra-cli: %1 lost (%2); the boards under way finish\n")
                       .arg(stream == Stream::Out ? "standard output" : "standard error",
                            QString::fromLocal8Bit(std::strerror(failing.error())))
                       .toLocal8Bit());
        emit lost();
    }
}

bool Reporter::drain(int timeoutMs)
{
    const bool written = out.drain(timeoutMs) && err.drain(timeoutMs);
    watchStreams();
    return written;
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
            std::fputs(QJsonDocument(object).toJson(QJsonDocument::Compact).append('\n'), stdout);
        } else {
            std::fputs(QStringList{info.systemLocation(), info.description(), info.manufacturer(),
                                   info.serialNumber(), vid.isEmpty() ? QString() : vid + ":" + pid}
                           .join('\t')
                           .append('\n')
                           .toLocal8Bit(),
                       stdout);
        }
    }
}
