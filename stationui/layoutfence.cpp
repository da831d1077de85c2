#include "stationui/layoutfence.h"

#include <QEvent>

LayoutFence::LayoutFence(QWidget *inner, QWidget *parent) : QWidget(parent), inner(inner)
{
    inner->setParent(this);
    setSizePolicy(inner->sizePolicy());
    refit();
}

void LayoutFence::refit()
{
    hint = inner->sizeHint();
    least = inner->minimumSizeHint();
    updateGeometry();
}

bool LayoutFence::event(QEvent *event)
{
    const bool request = event->type() == QEvent::LayoutRequest;
    if (request || event->type() == QEvent::Resize)
        inner->setGeometry(rect());
    // A request from inside goes no further up.
    return request || QWidget::event(event);
}
