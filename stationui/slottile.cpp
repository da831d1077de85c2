#include "stationui/slottile.h"

#include "station/durationtext.h"
#include "stationui/slotlook.h"

#include <QEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>
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

void setPixelSize(QLabel *label, int px)
{
    QFont font = label->font();
    font.setPixelSize(qMax(LeastFontPx, px));
    label->setFont(font);
}

void setText(QLabel *label, const QString &text)
{
    // An unchanged text costs no layout and no repaint.
    if (label->text() != text)
        label->setText(text);
}
} // namespace

SlotTile::SlotTile(int number, const QString &titleText, bool resets, QWidget *parent)
    : QFrame(parent), number(number), resets(resets), title(new QLabel(titleText, this)),
      state(new QLabel(this)), serial(new QLabel(this)), verdict(new QLabel(this)),
      reason(new QLabel(this)), bar(new QProgressBar(this)), footer(new QLabel(this))
{
    setObjectName(QString("slot%1").arg(number));
    setFrameShape(QFrame::StyledPanel);
    setAutoFillBackground(true);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 6, 8, 6);
    layout->setSpacing(2);
    title->setToolTip(titleText);
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    titlePixels = QFontInfo(bold).pixelSize();
    verdict->setAlignment(Qt::AlignCenter);
    verdict->setFont(bold);
    reason->setWordWrap(true);
    reason->setAlignment(Qt::AlignCenter);
    bar->setRange(0, 100);
    bar->setFormat("%p %");
    serial->setFont(bold);
    serial->hide();
    for (QLabel *label : {title, state, serial, reason, footer})
        label->setTextInteractionFlags(Qt::NoTextInteraction);
    // A long state or footer is cut at the tile's edge rather than widening every column of the
    // grid past the screen; wrapping would lay out every tile again at each change.
    for (QLabel *label : {title, state, serial, footer})
        label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    // The verdict's font follows the tile's size, and its text comes and goes with each board:
    // were its size asked, every board's end would move the grid's tiles.
    verdict->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    layout->addWidget(title);
    layout->addWidget(line(state));
    layout->addWidget(serial);
    layout->addWidget(bar);
    layout->addWidget(verdict, 1);
    layout->addWidget(reason);
    layout->addWidget(line(footer));
}

QWidget *SlotTile::line(QLabel *label)
{
    auto *holder = new QWidget(this);
    label->setParent(holder);
    holder->installEventFilter(this);
    fitLine(label);
    return holder;
}

void SlotTile::fitLine(QLabel *label)
{
    label->parentWidget()->setFixedHeight(
        qMax(label->sizeHint().height(), label->fontMetrics().height()));
}

bool SlotTile::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Resize)
        for (QLabel *label : {state, footer})
            if (label->parentWidget() == watched)
                label->setGeometry(label->parentWidget()->rect());
    return QFrame::eventFilter(watched, event);
}

void SlotTile::show(const SlotState &slot)
{
    const SlotLook look = SlotLook::of(slot, resets);
    setText(state, look.icon + "  " + look.words);
    bar->setVisible(look.progress);
    if (look.progress && bar->value() != slot.percent)
        bar->setValue(slot.percent);
    setText(verdict, look.verdict == SlotLook::Verdict::Pass   ? QString("PASS")
                     : look.verdict == SlotLook::Verdict::Fail ? QString("FAIL")
                                                               : QString());
    setText(reason, look.reason);
    reason->setVisible(!look.reason.isEmpty());
    QStringList identity;
    if (!slot.label.isEmpty() && slot.phase != SlotPhase::Looking)
        identity << (slot.reflash ? "label " + slot.label + " (reflash)" : "label " + slot.label);
    if (!slot.serial.isEmpty() && slot.phase != SlotPhase::Looking)
        identity << "serial " + slot.serial;
    setText(serial, identity.join("  "));
    serial->setVisible(!identity.isEmpty());
    QStringList counts;
    if (slot.board > 0 && slot.phase != SlotPhase::Looking)
        counts << QString("board %1").arg(slot.board);
    // Whole seconds: a figure that changes ten times a second cannot be read anyway.
    counts << durationText(qFloor(slot.phaseSeconds())) << QString("%1 done").arg(slot.done)
           << QString("%1 failed").arg(slot.failed);
    setText(footer, counts.join("  \u00B7  "));
    // A palette rather than a style sheet: a style sheet set anew restyles every child, which
    // 64 tiles changing state many times a second would feel.
    if (palette().color(QPalette::Window) != look.colour) {
        QPalette colours = palette();
        colours.setColor(QPalette::Window, look.colour);
        setPalette(colours);
    }
    const QString description = SlotLook::description(number, slot, resets);
    if (accessibleDescription() != description)
        setAccessibleDescription(description);
}

QSize SlotTile::minimumSizeHint() const
{
    const QFontMetrics metrics(QWidget::font());
    const QMargins margins = layout()->contentsMargins();
    return {metrics.averageCharWidth() * LeastColumns + margins.left() + margins.right(),
            metrics.height() * LeastLines + layout()->spacing() * (LeastLines - 1) +
                margins.top() + margins.bottom()};
}

void SlotTile::resizeEvent(QResizeEvent *event)
{
    QFrame::resizeEvent(event);
    setPixelSize(verdict, int(qMin(height() * VerdictShare, width() / 3.5)));
    setPixelSize(title, qMax(titlePixels, int(qMin(height() * TitleShare, width() / 14.0))));
    const int statePixels = qMax(titlePixels, int(qMin(height() * StateShare, width() / 20.0)));
    setPixelSize(state, statePixels);
    setPixelSize(serial, statePixels);
    fitLine(state);
}
