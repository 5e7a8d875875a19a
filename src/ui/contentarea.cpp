#include "contentarea.h"

#include <QResizeEvent>

ContentArea::ContentArea(QSize designSize, QWidget* parent)
    : QWidget(parent)
    , m_designSize(designSize)
{
}

void ContentArea::place(QWidget* child, QRect designGeometry, Qt::Edges lockedEdges)
{
    child->setParent(this);
    m_placements.append({child, designGeometry, lockedEdges});
    child->setGeometry(geometryFor(m_placements.last(), size()));
}

QRect ContentArea::geometryFor(const Placement& placement, QSize size) const
{
    const int dx = size.width() - m_designSize.width();
    const int dy = size.height() - m_designSize.height();
    QRect r = placement.design;
    // Locked to both edges: stretch. Locked to the far edge only: move. Otherwise stay.
    if (placement.locked & Qt::RightEdge) {
        if (placement.locked & Qt::LeftEdge)
            r.setWidth(r.width() + dx);
        else
            r.moveLeft(r.left() + dx);
    }
    if (placement.locked & Qt::BottomEdge) {
        if (placement.locked & Qt::TopEdge)
            r.setHeight(r.height() + dy);
        else
            r.moveTop(r.top() + dy);
    }
    // Below the list's margins, keep sizes sane rather than negative.
    r.setWidth(qMax(0, r.width()));
    r.setHeight(qMax(0, r.height()));
    return r;
}

void ContentArea::resizeEvent(QResizeEvent* event)
{
    for (const Placement& placement : std::as_const(m_placements))
        placement.widget->setGeometry(geometryFor(placement, event->size()));
    QWidget::resizeEvent(event);
}
