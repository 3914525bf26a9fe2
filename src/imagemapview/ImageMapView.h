#ifndef IMAGEMAPVIEW_H
#define IMAGEMAPVIEW_H

#include "veltrawidgets_global.h"

#include <QtWidgets/QGraphicsView>

// A graphics view in longitude (x) and latitude (y) whose background is one
// geo-referenced image laid over a geographic rectangle. At zoom 1 one image pixel is
// one screen pixel. The Mercator correction places a Mercator image exactly at the
// latitude of the viewport's centre.
class VELTRAWIDGETS_EXPORT ImageMapView : public QGraphicsView
{
    Q_OBJECT
    Q_PROPERTY(QPixmap pixmap READ pixmap WRITE setPixmap)
    Q_PROPERTY(QString imagePath READ imagePath WRITE setImagePath)
    Q_PROPERTY(QRectF geoRect READ geoRect WRITE setGeoRect)
    Q_PROPERTY(QString binding READ binding WRITE bind)
    Q_PROPERTY(double zoom READ zoom WRITE setZoom)
    Q_PROPERTY(double backgroundOpacity READ backgroundOpacity WRITE setBackgroundOpacity)
    Q_PROPERTY(bool merkatorProjection READ merkatorProjection WRITE setMerkatorCorrection)

public:
    explicit ImageMapView(QWidget *parent = nullptr);
    ~ImageMapView() override;

Q_SIGNALS:
    void mouseMove(QPointF);
    void zoomChanged(double);
    void zoomChanged(int);

public Q_SLOTS:
    void setZoom(int percent);
    void setZoom(double zoom);
    void setImagePath(const QString &path);
    void setBackgroundOpacity(double opacity);

public:
    // Forgets the image; the rectangle and the transform stay.
    Q_INVOKABLE void clear();

protected:
    void drawBackground(QPainter *painter, const QRectF &rect) override;
    void mouseMoveEvent(QMouseEvent *e) override;
    void wheelEvent(QWheelEvent *e) override;

private:
    const QPixmap &pixmap() const;
    void setPixmap(QPixmap &image);
    QString imagePath() const;
    QRectF geoRect() const;
    void setGeoRect(QRectF &r);
    QString binding() const;
    void bind(QString &text);
    double zoom() const;
    double backgroundOpacity() const;
    bool merkatorProjection() const;
    void setMerkatorCorrection(bool on);

    struct VELTRAWIDGETS_NO_EXPORT Private;
    Private *d;
};

#endif
