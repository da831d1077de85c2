#include "cli/liveview.h"

#include "cli/boardtext.h"
#include "station/durationtext.h"

#include <QSize>

#include <sys/ioctl.h>
#include <unistd.h>

namespace
{
constexpr int RedrawMs = 100;
constexpr int BarWidth = 24;
constexpr int LeastBar = 6;
constexpr int DefaultColumns = 80;
constexpr int DefaultRows = 24;
constexpr int LeastLabel = 9; // a shortened port name keeps this much

QSize terminalSize()
{
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0)
        return {DefaultColumns, DefaultRows};
    return {size.ws_col, size.ws_row};
}

QStringList givenNames(const StationState &state)
{
    QStringList names;
    for (const SlotState &slot : state.slotStates())
        names << slot.target.given;
    return names;
}
} // namespace

LiveView::LiveView(const StationState &state, Output &output, bool station, bool resets,
                   qint64 bytes)
    : state(state), output(output), station(station), resets(resets), bytes(bytes),
      shared(SharedAffixes::of(givenNames(state)))
{
    for (const QString &name : givenNames(state))
        labelWidth = qMax(labelWidth, int(name.size()));
    connect(&redrawTimer, &QTimer::timeout, this, &LiveView::redraw);
    // A result shows at once, not at the next tick.
    connect(&state, &StationState::totalsChanged, this, &LiveView::redraw);
}

void LiveView::start()
{
    redrawTimer.start(RedrawMs);
}

void LiveView::finish()
{
    redrawTimer.stop();
    redraw();
}

QString LiveView::line(int index, int width) const
{
    const SlotState &b = state.slot(index);
    // The bar narrows with the terminal, down to a stub.
    const QString text =
        BoardText::state(b, resets, qBound(LeastBar, (width - 40) / 2, BarWidth), bytes);
    QString tail = QString("  %1  %2 s").arg(text).arg(b.phaseSeconds(), 0, 'f', 1);
    QString head;
    if (station) {
        head = QString("%1 ").arg(index + 1, 2);
        // The last result stays in view while the slot waits for its next board.
        const QString last =
            b.outcome && b.phase != SlotPhase::Remove && b.phase != SlotPhase::Finished
                ? QString("  last: %1").arg(outcomeName(*b.outcome))
                : QString();
        tail = QString("  %1  %2 s%3  %4 done  %5 failed")
                   .arg(b.serial.isEmpty() ? text : b.serial + "  " + text)
                   .arg(b.phaseSeconds(), 0, 'f', 1)
                   .arg(last)
                   .arg(b.done)
                   .arg(b.failed);
    }
    // The port's name gives way first, down to a recognisable stub; then the line is cut.
    const int room = width - head.size() - tail.size();
    const QString name = elide(b.target.given, qMax(LeastLabel, qMin(room, labelWidth)), shared);
    return (head + name.leftJustified(qMin(labelWidth, qMax(LeastLabel, room))) + tail).left(width);
}

QString LiveView::totalsLine(int shown) const
{
    const int count = state.slotStates().size();
    QString more;
    if (shown < count) {
        const StationTotals hidden = state.totals(shown);
        more = QString("... %1 more: %2 done, %3 failed, %4 under way")
                   .arg(count - shown)
                   .arg(hidden.done)
                   .arg(hidden.failed)
                   .arg(hidden.underWay);
    }
    if (!station)
        return more;
    // The station's totals first: a narrow terminal cuts the line's end.
    const StationTotals totals = state.totals();
    return QString("%1 boards: %2 done, %3 failed  |  %4 boards/h  |  up %5")
               .arg(totals.boards())
               .arg(totals.done)
               .arg(totals.failed)
               .arg(state.boardsPerHour(), 0, 'f', 1)
               .arg(durationText(state.upSeconds())) +
           (more.isEmpty() ? QString() : "  |  " + more);
}

QStringList LiveView::lines(int columns, int rows) const
{
    // The last column and row stay free: a line that fills the row wraps on some terminals, and
    // a full screen would scroll the first line away.
    const int width = qMax(1, columns - 1);
    const int height = qMax(1, rows - 1);
    const int count = state.slotStates().size();
    const int fixed = station ? 1 : 0; // the totals line
    // Too many boards: what fits, and a line with the rest counted (within the totals on a
    // station).
    const int shown = count + fixed > height ? height - 1 : count;
    QStringList result;
    for (int i = 0; i < shown; ++i)
        result << line(i, width);
    const QString totals = totalsLine(shown);
    if (!totals.isEmpty())
        result << totals.left(width);
    return result;
}

void LiveView::redraw()
{
    // A terminal that is behind (scrolled back, paused) gets the next picture, not every one.
    if (output.outLost() || !output.outIdle())
        return;
    // Asked every time: the display follows the terminal's size as it changes.
    const QSize size = terminalSize();
    const QStringList picture = lines(size.width(), size.height());
    QString text;
    if (drawnLines > 0)
        text += QString("\x1b[%1A").arg(drawnLines);
    for (const QString &line : picture)
        text += "\r" + line + "\x1b[K\n";
    text += "\x1b[J"; // what a taller display left below
    drawnLines = picture.size();
    output.write(Output::Stream::Out, text.toLocal8Bit());
}
