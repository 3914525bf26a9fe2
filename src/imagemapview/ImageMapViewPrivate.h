#ifndef IMAGEMAPVIEWPRIVATE_H
#define IMAGEMAPVIEWPRIVATE_H

#include "ImageMapView.h"

#include <QtGui/QPixmap>
#include <QtGui/QTransform>

struct ImageMapView::Private
{
    explicit Private(ImageMapView *view) : view(view) { }

    void updateTransform();
    bool mercatorApplies() const;

    QPixmap pixmap;
    QRectF geoRect;
    // False while geoRect is the image's own pixel rectangle, which has no latitudes.
    bool geographic = false;
    QTransform baseMatrix;
    QString imagePath;
    double backgroundOpacity = 0.5;
    bool merkatorProjection = true;
    double mercatorTop = 0.0;
    double mercatorScale = 0.0;
    ImageMapView *view;
};

#endif
