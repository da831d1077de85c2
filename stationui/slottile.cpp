#include "stationui/slottile.h"

#include "station/durationtext.h"
#include "stationui/slotlook.h"

#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>
#include <QTextOption>
#include <QtMath>

namespace
{
// The verdict takes this share of the tile's height, so that it reads from two metres.
constexpr double VerdictShare = 0.3;
constexpr double TitleShare = 0.1;
constexpr double StateShare = 0.07;
constexpr int LeastFontPx = 9;
// Room for every line at the window's own font, and a port's name that reads.
constexpr int LeastLines = 7;
constexpr int LeastColumns = 18;
constexpr QMargins Margins(8, 6, 8, 6);
constexpr int Spacing = 2;

QFont sized(QFont font, int px, bool bold)
{
    font.setPixelSize(qMax(LeastFontPx, px));
    font.setBold(bold);
    return font;
}
} // namespace

SlotTile::SlotTile(int number, const QString &titleText, bool resets, QWidget *parent)
    : QFrame(parent), number(number), resets(resets), colour(palette().color(QPalette::Window))
{
    setObjectName(QString("slot%1").arg(number));
    setFrameShape(QFrame::StyledPanel);
    // Every pixel is painted: nothing need be cleared first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setToolTip(titleText);
    QFont bold = QWidget::font();
    bold.setBold(true);
    titlePixels = QFontInfo(bold).pixelSize();
    for (Text &line : lines)
        line.shown.setTextFormat(Qt::PlainText);
    lines[Reason].wraps = true;
    QTextOption centred(Qt::AlignHCenter);
    centred.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    lines[Reason].shown.setTextOption(centred);
    lines[Title].full = titleText;
    place();
}

bool SlotTile::setLine(Line line, const QString &text)
{
    Text &it = lines[line];
    if (it.full == text)
        return false;
    const bool cameOrWent = it.full.isEmpty() != text.isEmpty();
    it.full = text;
    if (!cameOrWent) {
        fit(line);
        update(it.rect);
    }
    return cameOrWent;
}

void SlotTile::show(const SlotState &slot)
{
    const SlotLook look = SlotLook::of(slot, resets);
    bool moved = setLine(State, look.icon + "  " + look.words);
    const int percent = look.progress ? slot.percent : -1;
    if (percent != barPercent) {
        moved = moved || (percent < 0) != (barPercent < 0);
        barPercent = percent;
        update(bar);
    }
    moved = setLine(Verdict, look.verdict == SlotLook::Verdict::Pass   ? QString("PASS")
                             : look.verdict == SlotLook::Verdict::Fail ? QString("FAIL")
                                                                       : QString()) ||
            moved;
    moved = setLine(Reason, look.reason) || moved;
    QStringList identity;
    if (!slot.label.isEmpty() && slot.phase != SlotPhase::Looking)
        identity << (slot.reflash ? "label " + slot.label + " (reflash)" : "label " + slot.label);
    if (!slot.serial.isEmpty() && slot.phase != SlotPhase::Looking)
        identity << "serial " + slot.serial;
    moved = setLine(Identity, identity.join("  ")) || moved;
    QStringList counts;
    if (slot.board > 0 && slot.phase != SlotPhase::Looking)
        counts << QString("board %1").arg(slot.board);
    // Whole seconds: a figure that changes ten times a second cannot be read anyway.
    counts << durationText(qFloor(slot.phaseSeconds())) << QString("%1 done").arg(slot.done)
           << QString("%1 failed").arg(slot.failed);
    setLine(Footer, counts.join("  \u00B7  "));
    if (colour != look.colour) {
        colour = look.colour;
        moved = true;
    }
    if (moved) {
        place();
        update();
    }
    const QString description = SlotLook::description(number, slot, resets);
    if (accessibleDescription() != description)
        setAccessibleDescription(description);
}

// Lines from the top (title, state, identity, bar) and from the bottom (counts, reason); the
// verdict takes what is left between them.
void SlotTile::place()
{
    const QRect inner = contentsRect().marginsRemoved(Margins);
    const QFont base = QWidget::font();
    const int statePixels = qMax(titlePixels, int(qMin(height() * StateShare, width() / 20.0)));
    lines[Title].font =
        sized(base, qMax(titlePixels, int(qMin(height() * TitleShare, width() / 14.0))), true);
    lines[State].font = sized(base, statePixels, false);
    lines[Identity].font = sized(base, statePixels, true);
    lines[Verdict].font = sized(base, int(qMin(height() * VerdictShare, width() / 3.5)), true);
    lines[Reason].font = base;
    lines[Footer].font = base;

    int top = inner.top();
    for (Line line : {Title, State, Identity}) {
        Text &it = lines[line];
        const int h = it.full.isEmpty() ? 0 : QFontMetrics(it.font).height();
        it.rect = QRect(inner.left(), top, inner.width(), h);
        top += h > 0 ? h + Spacing : 0;
    }
    const QFontMetrics metrics(base);
    bar = barPercent < 0 ? QRect() : QRect(inner.left(), top, inner.width(), metrics.height() + 4);
    top += bar.isNull() ? 0 : bar.height() + Spacing;
    int bottom = inner.bottom() + 1;
    Text &footer = lines[Footer];
    footer.rect = QRect(inner.left(), bottom - metrics.height(), inner.width(), metrics.height());
    bottom = footer.rect.top() - Spacing;
    Text &reason = lines[Reason];
    if (reason.full.isEmpty()) {
        reason.rect = QRect();
    } else {
        const int wrapped =
            metrics.boundingRect(0, 0, inner.width(), 1 << 16, Qt::TextWordWrap, reason.full)
                .height();
        const int h = qMin(wrapped, qMax(0, (bottom - top) / 2));
        reason.rect = QRect(inner.left(), bottom - h, inner.width(), h);
        bottom = reason.rect.top() - Spacing;
    }
    lines[Verdict].rect = QRect(inner.left(), top, inner.width(), qMax(0, bottom - top));
    for (int line = 0; line < LineCount; ++line)
        fit(Line(line));
}

// A line too long for the tile is cut with an ellipsis rather than widening the grid's columns;
// the reason wraps instead. Laid out once for a text, font and width: the tiles' thread is the
// window's.
void SlotTile::fit(Line line)
{
    Text &it = lines[line];
    if (it.fitted == it.full && it.fittedWidth == it.rect.width() && it.fittedFont == it.font)
        return;
    it.fitted = it.full;
    it.fittedWidth = it.rect.width();
    it.fittedFont = it.font;
    if (it.wraps)
        it.shown.setTextWidth(it.rect.width());
    it.shown.setText(it.full);
    it.shown.prepare(QTransform(), it.font);
    if (!it.wraps && it.shown.size().width() > it.rect.width()) {
        it.shown.setText(
            QFontMetrics(it.font).elidedText(it.full, Qt::ElideRight, it.rect.width()));
        it.shown.prepare(QTransform(), it.font);
    }
}

void SlotTile::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    painter.fillRect(event->rect(), colour);
    drawFrame(&painter);
    painter.setPen(palette().color(QPalette::WindowText));
    for (const Text &line : lines) {
        if (line.full.isEmpty() || !event->rect().intersects(line.rect))
            continue;
        painter.setFont(line.font);
        QPointF at = line.rect.topLeft();
        if (&line == &lines[Verdict])
            at += QPointF((line.rect.width() - line.shown.size().width()) / 2,
                          (line.rect.height() - line.shown.size().height()) / 2);
        if (line.wraps) {
            painter.save();
            painter.setClipRect(line.rect);
            painter.drawStaticText(at, line.shown);
            painter.restore();
        } else {
            painter.drawStaticText(at, line.shown);
        }
    }
    if (barPercent >= 0 && event->rect().intersects(bar))
        drawBar(painter);
}

void SlotTile::drawBar(QPainter &painter) const
{
    painter.setPen(palette().color(QPalette::Mid));
    painter.setBrush(palette().color(QPalette::Base));
    painter.drawRect(bar.adjusted(0, 0, -1, -1));
    QRect chunk = bar.adjusted(1, 1, -1, -1);
    chunk.setWidth(chunk.width() * qBound(0, barPercent, 100) / 100);
    painter.fillRect(chunk, palette().color(QPalette::Highlight));
    painter.setPen(palette().color(QPalette::Text));
    painter.setFont(QWidget::font());
    painter.drawText(bar, Qt::AlignCenter, QString("%1 %").arg(barPercent));
}

QSize SlotTile::minimumSizeHint() const
{
    const QFontMetrics metrics(QWidget::font());
    const int frame = 2 * frameWidth();
    return {metrics.averageCharWidth() * LeastColumns + Margins.left() + Margins.right() + frame,
            metrics.height() * LeastLines + Spacing * (LeastLines - 1) + Margins.top() +
                Margins.bottom() + frame};
}

void SlotTile::resizeEvent(QResizeEvent *event)
{
    QFrame::resizeEvent(event);
    place();
}
