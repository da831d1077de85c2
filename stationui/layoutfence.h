#pragma once

#include <QWidget>

// Holds one widget whose contents change often, and keeps its layout requests to itself: Qt
// passes every text change up to the window, and a tab widget or scroll area on the way
// repaints itself whole. What the inner widget asks for is taken once, at `refit`.
class LayoutFence : public QWidget
{
    Q_OBJECT

public:
    explicit LayoutFence(QWidget *inner, QWidget *parent = nullptr);

    // The inner widget's sizes changed for good (a new job's slots): the layouts above hear it.
    void refit();

    QSize sizeHint() const override { return hint; }
    QSize minimumSizeHint() const override { return least; }

protected:
    bool event(QEvent *event) override;

private:
    QWidget *const inner;
    QSize hint;
    QSize least;
};
