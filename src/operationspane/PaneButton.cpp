#include "PaneButton.h"

#include <QtGui/QPainter>
#include <QtGui/QResizeEvent>
#include <QtWidgets/QAbstractScrollArea>

PaneButton::PaneButton(QWidget *parent, QWidget *pane) : QPushButton(parent), fill(Qt::blue)
{
    setCheckable(true);
    parent->installEventFilter(this);
    // The scroll area lays out its viewport after its own Resize event has passed the
    // filter, and a scroll bar appearing resizes only the viewport: the viewport's own
    // resize is the moment its final width is known.
    if (auto *area = qobject_cast<QAbstractScrollArea *>(parent))
        area->viewport()->installEventFilter(this);

    fill.setAlphaF(0.6);
    this->pane = pane;

    pane->setAutoFillBackground(true);
    pane->setBackgroundRole(QPalette::Window);
    pane->installEventFilter(this);
    QPalette palette = pane->palette();
    palette.setColor(QPalette::Window, fill);
    pane->setPalette(palette);
    pane->hide();

    resize(15, pane->height());
    reposition();
}

PaneButton::~PaneButton()
{
    if (parentWidget())
        parentWidget()->removeEventFilter(this);
}

bool PaneButton::reposition()
{
    // A hidden pane gets no resize events; its new height is picked up here.
    if (height() != pane->height())
        resize(width(), pane->height());
    auto *area = qobject_cast<QAbstractScrollArea *>(parentWidget());
    if (!area)
        return false;
    const QWidget *viewport = area->viewport();
    const QPoint origin = viewport->geometry().topLeft();
    const QPoint target(origin.x() + viewport->width() - shift - width(), origin.y());
    if (pos() == target)
        return false;
    move(target);
    pane->move(origin.x() + viewport->width() - pane->width(), origin.y());
    return true;
}

bool PaneButton::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Resize) {
        if (watched == pane) {
            resize(width(), static_cast<QResizeEvent *>(event)->size().height());
            shift = isChecked() ? pane->width() : 0;
        }
        reposition();
    }
    return QPushButton::eventFilter(watched, event);
}

void PaneButton::nextCheckState()
{
    QPushButton::nextCheckState();
    shift = isChecked() ? pane->width() : 0;
    pane->setVisible(isChecked());
    reposition();
}

void PaneButton::resizeEvent(QResizeEvent *event)
{
    const int w = event->size().width();
    const int h = event->size().height();
    // Square on the right, rounded with radius 10 on the left: each arc joins the point
    // before it with a straight edge.
    outline = QPainterPath();
    outline.moveTo(w, h);
    outline.arcTo(QRectF(0, h - 20, 20, 20), -90, -90);
    outline.arcTo(QRectF(0, 0, 20, 20), -180, -90);
    outline.lineTo(w, 0);
    outline.closeSubpath();

    const int cy = h / 2;
    const int hw = w / 2;
    arrows[0] = QPolygon({QPoint(2, cy), QPoint(w - 2, cy - hw), QPoint(w - 2, cy + hw)});
    arrows[1] = QPolygon({QPoint(w - 2, cy), QPoint(2, cy - hw), QPoint(2, cy + hw)});
}

void PaneButton::paintEvent(QPaintEvent *)
{
    if (reposition())
        return;
    QPainter painter(this);
    painter.fillPath(outline, QBrush(fill, Qt::SolidPattern));
    painter.setPen(Qt::NoPen);
    painter.setBrush(QBrush(Qt::gray, Qt::SolidPattern));
    painter.drawPolygon(arrows[isChecked() ? 1 : 0], Qt::OddEvenFill);
}
