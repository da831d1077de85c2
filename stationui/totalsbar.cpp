#include "stationui/totalsbar.h"

#include "station/durationtext.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>
#include <QtMath>

namespace
{
constexpr int ShownShaDigits = 12; // enough to tell two builds apart at a glance
const QString Dot = QStringLiteral("  \u00B7  ");
} // namespace

TotalsBar::TotalsBar(QWidget *parent)
    : QFrame(parent), counts(new QLabel(this)), pace(new QLabel(this)), image(new QLabel(this))
{
    setObjectName("totals");
    setFrameShape(QFrame::StyledPanel);
    auto *layout = new QVBoxLayout(this);
    auto *top = new QHBoxLayout;
    QFont big = counts->font();
    big.setPointSizeF(big.pointSizeF() * 1.6);
    big.setBold(true);
    counts->setFont(big);
    // The counts and the pace grow a digit at a time: were the window's least width theirs, each
    // new digit would lay out and repaint the whole window, and could push it past the screen.
    counts->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    pace->setFixedWidth(pace->fontMetrics().horizontalAdvance(
        QString("000000.0 boards/h%1up 000 h 00 min").arg(Dot)));
    pace->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    top->addWidget(counts, 1);
    top->addWidget(pace);
    layout->addLayout(top);
    layout->addWidget(image);
    image->setObjectName("image");
    image->setTextInteractionFlags(Qt::TextSelectableByMouse);
    clear();
}

void TotalsBar::showImage(const Image &shown)
{
    const QString name = QFileInfo(shown.path).fileName();
    const QString sha = QString::fromLatin1(shown.sha256.left(ShownShaDigits));
    image->setText(QString("image %1%2%3 bytes%2checksum %4%2SHA-256 %5%2%6")
                       .arg(name, Dot)
                       .arg(shown.size())
                       .arg(shown.checksum)
                       .arg(sha, pinWords(shown)));
    image->setToolTip(shown.path + "\nSHA-256 " + QString::fromLatin1(shown.sha256));
    imageSaid = QString("image %1, SHA-256 %2, %3").arg(name, sha, pinWords(shown));
    describe();
}

QString TotalsBar::pinWords(const Image &image)
{
    return image.pinned ? QStringLiteral("pinned") : QStringLiteral("not pinned");
}

void TotalsBar::describe()
{
    const QString said = imageSaid.isEmpty() ? countsSaid : countsSaid + "; " + imageSaid;
    if (accessibleDescription() != said)
        setAccessibleDescription(said);
}

void TotalsBar::show(const StationState &state)
{
    const StationTotals totals = state.totals();
    const QString text = QString("%1 boards%2%3 done%2%4 failed%2yield %5 %%2first pass %6 %")
                             .arg(totals.boards())
                             .arg(Dot)
                             .arg(totals.done)
                             .arg(totals.failed)
                             .arg(totals.yieldPercent(), 0, 'f', 1)
                             .arg(totals.firstPassPercent(), 0, 'f', 1);
    if (counts->text() != text)
        counts->setText(text);
    pace->setText(QString("%1 boards/h%2up %3")
                      .arg(state.boardsPerHour(), 0, 'f', 1)
                      .arg(Dot)
                      .arg(durationText(qFloor(state.upSeconds()))));
    countsSaid = description(totals);
    describe();
}

void TotalsBar::clear()
{
    counts->setText("not started");
    pace->clear();
    countsSaid = "not started";
    describe();
}

QString TotalsBar::description(const StationTotals &totals)
{
    return QString("%1 boards: %2 done, %3 failed, yield %4 %")
        .arg(totals.boards())
        .arg(totals.done)
        .arg(totals.failed)
        .arg(totals.yieldPercent(), 0, 'f', 1);
}
