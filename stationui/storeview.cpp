#include "stationui/storeview.h"

#include <QHBoxLayout>
#include <QLabel>

#include <chrono>

namespace
{
const QColor Answering(0xe4, 0xe7, 0xeb);
const QColor Lost(0xf6, 0xd8, 0x6b);
const QString LostIcon = QStringLiteral("\u26A0  ");
} // namespace

StoreView::StoreView(QWidget *parent) : QFrame(parent), text(new QLabel(this))
{
    setObjectName("store");
    setFrameShape(QFrame::StyledPanel);
    setAutoFillBackground(true);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(8, 4, 8, 4);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    text->setWordWrap(true);
    layout->addWidget(text, 1);
    hide();
}

QString StoreView::words(const StoreUrl &url, const Recorder::Status &status, bool numbered)
{
    QString said = "store " + url.display() + ": ";
    if (status.lost) {
        const auto since = std::chrono::duration_cast<std::chrono::seconds>(
            std::chrono::steady_clock::now() - *status.lost);
        said += QString("lost %1 s ago").arg(since.count());
    } else {
        said += "reachable";
    }
    said += QString(", %1 in the spool").arg(status.spooled);
    if (numbered)
        said += status.exhausted        ? QStringLiteral(", no numbers left")
                : status.next.isEmpty() ? QString()
                                        : ", next " + status.next;
    return said;
}

void StoreView::showLook(const QString &words, bool lost)
{
    paint(lost, "store " + words);
}

void StoreView::show(const StoreUrl &url, const Recorder::Status &status, bool numbered)
{
    paint(status.lost.has_value(), words(url, status, numbered));
}

void StoreView::paint(bool lost, const QString &said)
{
    const QString shown = lost ? LostIcon + said : said;
    if (text->text() != shown)
        text->setText(shown);
    if (accessibleDescription() != said)
        setAccessibleDescription(said);
    const QColor colour = lost ? Lost : Answering;
    if (palette().color(QPalette::Window) != colour) {
        QPalette colours = palette();
        colours.setColor(QPalette::Window, colour);
        setPalette(colours);
    }
    setVisible(true);
}
