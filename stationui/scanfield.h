#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class Session;

// Where a keyboard-wedge scanner types: a line that keeps the keyboard while a run takes labels,
// so that the technician never clicks it first, and a line that says what became of the last
// scan. A refused scan beeps. The routing is the session's.
class ScanField : public QWidget
{
    Q_OBJECT

public:
    explicit ScanField(QWidget *parent = nullptr);

    // The run whose boards take labels; none: the field goes.
    void attach(Session *session);

signals:
    void refused(const QString &message);

private:
    void onEntered();
    // Whatever took the keyboard gives it back, unless the technician types somewhere else.
    void keepFocus(QWidget *now);

    QLineEdit *edit;
    QLabel *message;
    Session *session = nullptr;
};
