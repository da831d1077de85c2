#include "stationui/scanfield.h"

#include "station/session.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextEdit>

namespace
{
const QString RefusedStyle = QStringLiteral("QLabel { color: #8a1010; font-weight: bold; }");
const QString AcceptedStyle = QStringLiteral("QLabel { color: #1d5c1d; }");

// A widget the technician types into of their own accord.
bool typesText(const QWidget *widget)
{
    if (qobject_cast<const QLineEdit *>(widget) || qobject_cast<const QTextEdit *>(widget) ||
        qobject_cast<const QPlainTextEdit *>(widget) ||
        qobject_cast<const QAbstractSpinBox *>(widget))
        return true;
    const auto *combo = qobject_cast<const QComboBox *>(widget);
    return combo && combo->isEditable();
}
} // namespace

ScanField::ScanField(QWidget *parent)
    : QWidget(parent), edit(new QLineEdit(this)), message(new QLabel(this))
{
    setObjectName("scanField");
    edit->setObjectName("scan");
    message->setObjectName("scanMessage");
    edit->setPlaceholderText("scan a board's label or a position's code");
    edit->setAccessibleName("scanner");
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new QLabel("Scan:", this));
    layout->addWidget(edit, 1);
    layout->addWidget(message, 2);
    connect(edit, &QLineEdit::returnPressed, this, &ScanField::onEntered);
    connect(qApp, &QApplication::focusChanged, this,
            [this](QWidget *, QWidget *now) { keepFocus(now); });
    hide();
}

void ScanField::attach(Session *to)
{
    session = to && to->scanRules().on() ? to : nullptr;
    message->clear();
    edit->clear();
    setVisible(session != nullptr);
    if (session)
        edit->setFocus();
}

void ScanField::onEntered()
{
    const QString text = edit->text();
    edit->clear();
    if (!session || text.trimmed().isEmpty())
        return;
    const ScanRouter::Route route = session->scan(text);
    const bool refusedScan = route.kind == ScanRouter::Route::Kind::Refused;
    message->setStyleSheet(refusedScan ? RefusedStyle : AcceptedStyle);
    message->setText(route.message);
    message->setAccessibleDescription(route.message);
    if (refusedScan) {
        QApplication::beep();
        emit refused(route.message);
    }
}

void ScanField::keepFocus(QWidget *now)
{
    if (!session || !isVisible() || now == edit || (now && typesText(now)))
        return;
    if (!now || now->window() == window())
        edit->setFocus();
}
