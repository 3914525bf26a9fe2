#include "CrossView.h"

#include "CrossViewPrivate.h"

#include <QtGui/QMouseEvent>
#include <QtWidgets/QGridLayout>
#include <QtWidgets/QVBoxLayout>

CrossView::CrossView(QWidget *parent) : QWidget(parent)
{
    d = new Private(this);
}

CrossView::~CrossView() = default;

QObject *CrossView::light() const
{
    return d->light;
}

QSize CrossView::sizeHint() const
{
    return QWidget::sizeHint().expandedTo(QSize(200, 200)).boundedTo(QSize(800, 800));
}

void CrossView::setLight(QObject *light)
{
    d->setLight(light);
}

void CrossView::previewPhase(int id)
{
    d->previewPhase(id);
}

void CrossView::showPreviewButtons(bool f)
{
    if (f == d->buttonsVisible)
        return;
    auto *column = qobject_cast<QVBoxLayout *>(layout());
    if (!column)
        return;
    d->buttonsVisible = f;
    if (f) {
        auto *grid = new QGridLayout;
        grid->setSpacing(1);
        column->insertLayout(0, grid, 0);
        d->buttonGrid = grid;
        d->createPhaseButtons();
        return;
    }
    QGridLayout *grid = d->grid();
    if (!grid)
        return;
    Private::emptyGrid(grid);
    column->removeItem(grid);
    delete grid;
}

void CrossView::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        showPreviewButtons(!d->buttonsVisible);
}
