#pragma once

#include <QList>
#include <QRect>
#include <QWidget>

// The window's content area: children sit at fixed design positions, and an edge locked to the
// area's edge keeps its distance to it when the area is resized (a control locked left and right
// grows with the area; one locked only right moves with it).
class ContentArea : public QWidget {
    Q_OBJECT

public:
    ContentArea(QSize designSize, QWidget* parent = nullptr);

    void place(QWidget* child, QRect designGeometry, Qt::Edges lockedEdges);
    QSize sizeHint() const override { return m_designSize; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    struct Placement {
        QWidget* widget;
        QRect design;
        Qt::Edges locked;
    };
    QRect geometryFor(const Placement& placement, QSize size) const;

    QSize m_designSize;
    QList<Placement> m_placements;
};
