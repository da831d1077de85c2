#include "stationui/startdialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace
{
QString labelOf(OperatorLot::Field field)
{
    return field == OperatorLot::Field::Operator ? QStringLiteral("Operator")
                                                 : QStringLiteral("Lot");
}

QString hintOf(OperatorLot::Field field)
{
    return field == OperatorLot::Field::Operator ? QStringLiteral("scan or type your badge")
                                                 : QStringLiteral("scan or type the work order");
}
} // namespace

StartDialog::StartDialog(const OperatorLot &asked, QWidget *parent)
    : QDialog(parent), values(asked), problem(new QLabel)
{
    setObjectName("startDialog");
    setWindowTitle("Start");
    auto *form = new QFormLayout;
    for (const OperatorLot::Field field : asked.unanswered()) {
        auto *edit = new QLineEdit;
        edit->setObjectName(OperatorLot::key(field));
        edit->setPlaceholderText(hintOf(field));
        edit->setMaxLength(OperatorLot::MaxLength);
        const int index = int(fields.size());
        connect(edit, &QLineEdit::returnPressed, this, [this, index] { enterIn(index); });
        form->addRow(labelOf(field), edit);
        fields << qMakePair(field, edit);
    }
    problem->setObjectName("startProblem");
    problem->setStyleSheet("color: #b00020");
    problem->hide();

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    buttons->button(QDialogButtonBox::Ok)->setText("Start");
    connect(buttons, &QDialogButtonBox::accepted, this, &StartDialog::tryAccept);
    connect(buttons, &QDialogButtonBox::rejected, this, &StartDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel("Before the first board: scan or type, then Enter."));
    layout->addLayout(form);
    layout->addWidget(problem);
    layout->addWidget(buttons);
    if (!fields.isEmpty())
        fields.first().second->setFocus();
}

void StartDialog::ask(const OperatorLot &asked, QWidget *parent,
                      const std::function<void(const OperatorLot &)> &start)
{
    if (asked.unanswered().isEmpty()) {
        start(asked);
        return;
    }
    auto *dialog = new StartDialog(asked, parent);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QDialog::accepted, parent, [dialog, start] { start(dialog->answered()); });
    dialog->open();
}

void StartDialog::keyPressEvent(QKeyEvent *event)
{
    // Enter belongs to the fields. The dialog would press its default button, which the button
    // box makes of Start as it is shown: the run would start at the first scan.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        return;
    QDialog::keyPressEvent(event);
}

void StartDialog::enterIn(int index)
{
    if (!take(index))
        return;
    if (index + 1 < fields.size()) {
        fields[index + 1].second->setFocus();
        fields[index + 1].second->selectAll();
        return;
    }
    tryAccept();
}

void StartDialog::tryAccept()
{
    for (int i = 0; i < fields.size(); ++i)
        if (!take(i))
            return;
    accept();
}

bool StartDialog::take(int index)
{
    const auto &[field, edit] = fields[index];
    QString error;
    if (!values.answer(field, edit->text(), labelOf(field), &error)) {
        problem->setText(error);
        problem->show();
        edit->setFocus();
        edit->selectAll();
        return false;
    }
    problem->hide();
    return true;
}
