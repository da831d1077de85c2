#pragma once

#include "station/operatorlot.h"

#include <QDialog>
#include <QPair>
#include <QVector>

#include <functional>

class QKeyEvent;
class QLabel;
class QLineEdit;

// Asks, as a run starts, what its job asks and nothing else: the operator, the lot, or both. A
// keyboard-wedge scanner types a code and presses Enter, so Enter in a field goes on to the next
// and, in the last, starts the run; nothing needs a click. Cancel starts nothing.
class StartDialog : public QDialog
{
    Q_OBJECT

public:
    explicit StartDialog(const OperatorLot &asked, QWidget *parent = nullptr);

    // The job's values with the answers in them, once accepted.
    const OperatorLot &answered() const { return values; }
    // Asks what `asked` leaves open, then calls `start` with the answers; at once, without a
    // dialog, when nothing is open.
    static void ask(const OperatorLot &asked, QWidget *parent,
                    const std::function<void(const OperatorLot &)> &start);

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void enterIn(int index);
    void tryAccept();
    // The field's answer taken; false, with the reason shown and the field focused, if refused.
    bool take(int index);

    OperatorLot values;
    QVector<QPair<OperatorLot::Field, QLineEdit *>> fields;
    QLabel *problem;
};
