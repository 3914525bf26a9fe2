#ifndef IMAGEMAPVIEW_H
#define IMAGEMAPVIEW_H

#include "veltrawidgets_global.h"

#include <QtWidgets/QGraphicsView>

/**
 * @class ImageMapView ImageMapView.h <ImageMapView.h>
 *
 * A graphics view in geographic coordinates whose background is one geo-referenced
 * image, such as a scanned or exported map.
 *
 * The scene uses the coordinates of OsmView: x is the longitude, y the latitude, in
 * degrees. The host owns the scene and its items, and gives the view an image (#pixmap
 * or #imagePath) and the geographic rectangle the image covers (#geoRect, or the same
 * as text in #binding). The view keeps its transform such that the image lies exactly
 * over that rectangle; at #zoom 1 one image pixel is one screen pixel. Image, rectangle
 * and binding may be set in any order, and the zoom chosen so far is kept each time.
 *
 * Many map images are in the Mercator projection while the scene is linear in latitude.
 * With #merkatorProjection on (the default) the view shifts the image vertically so that
 * it is exact at the latitude of the viewport's centre; away from the centre the error
 * grows with the difference between the two scales, which is small for a city and
 * large for a country.
 *
 * The wheel zooms in steps of 2^(1/8) about the transformation anchor; zooming out stops
 * once the scene rectangle fits the viewport, zooming in has no limit.
 *
 * Every property can be read and written through QObject::property() and
 * QObject::setProperty(), as Qt Designer does. All of it runs on the GUI thread.
 */
class VELTRAWIDGETS_EXPORT ImageMapView : public QGraphicsView
{
    Q_OBJECT
    /**
     * The background image; a null pixmap (the default) means no background. Writing it
     * clears #imagePath and lays the image over #geoRect.
     */
    Q_PROPERTY(QPixmap pixmap READ pixmap WRITE setPixmap)
    /**
     * The file the background image was loaded from; empty by default and after the
     * image was set as a #pixmap. Writing it loads the file. A file that cannot be read
     * changes nothing: image, path and transform stay as they were.
     */
    Q_PROPERTY(QString imagePath READ imagePath WRITE setImagePath)
    /**
     * The scene rectangle the image covers: left is the western longitude, top the
     * latitude of the image's first row, right the eastern longitude and bottom the
     * latitude of its last row. For a north-up image top is greater than bottom, so the
     * height is negative.
     *
     * A rectangle of zero width or height (the default is all zero) is replaced, once an
     * image is present, by the image's own pixel rectangle: scene units are then image
     * pixels with y growing downward. The replacement is kept and reported here.
     */
    Q_PROPERTY(QRectF geoRect READ geoRect WRITE setGeoRect)
    /**
     * #geoRect as text: "left top right bottom", four numbers separated by blanks with
     * a point as the decimal separator, for example "30.1 60.1 30.5 59.8" for the
     * rectangle from 30.1° E, 60.1° N to 30.5° E, 59.8° N. Read back, each number has at
     * most 6 significant digits. A number that cannot be read counts as 0.
     */
    Q_PROPERTY(QString binding READ binding WRITE bind)
    /**
     * The zoom: screen pixels per image pixel, 1 at the start. Values of 0 or less and
     * values that are not finite are ignored; there is no upper limit. Writing it emits
     * both zoomChanged() signals.
     */
    Q_PROPERTY(double zoom READ zoom WRITE setZoom)
    /**
     * Opacity of the background image, from 0 (invisible) to 1; values outside act as
     * the nearer end. The host's items are not affected. Default 0.5.
     */
    Q_PROPERTY(double backgroundOpacity READ backgroundOpacity WRITE setBackgroundOpacity)
    /**
     * Whether the image is corrected for the Mercator projection at the latitude of the
     * viewport's centre (see the class description). On by default; turn it off for an
     * image that is linear in latitude. Latitudes beyond ±85.0511° are taken as that
     * limit.
     */
    Q_PROPERTY(bool merkatorProjection READ merkatorProjection WRITE setMerkatorCorrection)

public:
    /**
     * Creates a view without an image, with the identity transform.
     * @param parent the parent widget, or none for a window of its own
     */
    explicit ImageMapView(QWidget *parent = nullptr);
    /** Destroys the view; the scene stays the host's. */
    ~ImageMapView() override;

Q_SIGNALS:
    /**
     * The mouse moved over the viewport.
     * @param pt the mouse's scene position
     */
    void mouseMove(QPointF pt);
    /**
     * The zoom changed, by the wheel or by setZoom().
     * @param zoom the new #zoom
     */
    void zoomChanged(double zoom);
    /**
     * The zoom changed. Emitted right after zoomChanged(double).
     * @param percent the new #zoom as a percentage, truncated toward zero
     */
    void zoomChanged(int percent);

public Q_SLOTS:
    /**
     * Sets #zoom to @p percent / 100.
     * @param percent the zoom in percent; 0 or less is ignored
     */
    void setZoom(int percent);
    /**
     * Sets #zoom about the transformation anchor.
     * @param zoom screen pixels per image pixel; 0 or less is ignored
     */
    void setZoom(double zoom);
    /**
     * Sets #imagePath: loads the image, a raster image in any format Qt reads whose size
     * is told before decoding (told by the content, not the name), of at most 16384 pixels
     * a side.
     * @param path an image file; one that cannot be read changes nothing
     */
    void setImagePath(const QString &path);
    /**
     * Sets #backgroundOpacity and repaints.
     * @param opacity the image's opacity, from 0 to 1
     */
    void setBackgroundOpacity(double opacity);

public:
    /** Forgets the image and its path; #geoRect and the zoom stay. */
    Q_INVOKABLE void clear();

protected:
    /**
     * Paints the part of the image under @p rect at #backgroundOpacity, corrected for the
     * Mercator projection when #merkatorProjection is on. Draws nothing without an image.
     * @param painter the viewport's painter, in scene coordinates
     * @param rect the exposed part of the scene
     */
    void drawBackground(QPainter *painter, const QRectF &rect) override;
    /**
     * Emits mouseMove(), then handles the move as QGraphicsView does.
     * @param e the mouse event, in viewport coordinates
     */
    void mouseMoveEvent(QMouseEvent *e) override;
    /**
     * Zooms by whole wheel notches of 2^(1/8); the wheel never scrolls the view. A turn
     * on two axes at once counts its larger one (the vertical on a tie).
     * @param e the wheel event
     */
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
