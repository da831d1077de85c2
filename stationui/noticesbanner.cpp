#include "stationui/noticesbanner.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>

NoticesBanner::NoticesBanner(QWidget *parent) : QFrame(parent), text(new QLabel(this))
{
    setObjectName("notices");
    setFrameShape(QFrame::StyledPanel);
    setAutoFillBackground(true);
    QPalette colours = palette();
    colours.setColor(QPalette::Window, QColor(0xfd, 0xe2, 0xc4));
    colours.setColor(QPalette::WindowText, QColor(0x5a, 0x2a, 0x00));
    setPalette(colours);
    auto *layout = new QHBoxLayout(this);
    text->setWordWrap(true);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(text, 1);
    auto *dismiss = new QToolButton(this);
    dismiss->setObjectName("dismissNotices");
    dismiss->setText("Dismiss");
    layout->addWidget(dismiss, 0, Qt::AlignTop);
    connect(dismiss, &QToolButton::clicked, this, &QWidget::hide);
    hide();
}

void NoticesBanner::showStart(const QStringList &warnings,
                              const QVector<RecordStore::Voided> &voided)
{
    if (warnings.isEmpty() && voided.isEmpty()) {
        hide();
        return;
    }
    QStringList shown = warnings, said = warnings;
    if (!voided.isEmpty()) {
        QStringList lines, numbers;
        for (const RecordStore::Voided &number : voided) {
            lines << QString("%1, held by run %2").arg(number.serial).arg(number.run);
            numbers << QString("%1 held by run %2").arg(number.serial).arg(number.run);
        }
        shown << QStringLiteral("Serial numbers voided at start: the runs that held them are "
                                "gone, and each may be on a board:\n") +
                     lines.join('\n');
        said << "serial numbers voided at start: " + numbers.join("; ");
    }
    text->setText(shown.join("\n\n"));
    setAccessibleDescription(said.join("; "));
    show();
}
