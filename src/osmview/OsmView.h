#ifndef OSMVIEW_H
#define OSMVIEW_H

#include "veltrawidgets_global.h"

#include <QtWidgets/QGraphicsView>

class QGraphicsItem;
class QNetworkReply;

// A graphics view in longitude (x) and latitude (y) whose background is a slippy map
// of 256 px Web Mercator tiles, read from a local tile database or directory tree and,
// when enabled, downloaded from a tile server into that local store.
class VELTRAWIDGETS_EXPORT OsmView : public QGraphicsView
{
    Q_OBJECT
    Q_PROPERTY(int zoom READ zoom WRITE setZoom)
    Q_PROPERTY(int zoomMax READ zoomMax WRITE setZoomMax)
    Q_PROPERTY(int zoomMin READ zoomMin WRITE setZoomMin)
    Q_PROPERTY(double zoomF READ zoomF WRITE setZoom)
    Q_PROPERTY(QString imagePath READ imagePath WRITE setImagePath)
    Q_PROPERTY(double opacity READ opacity WRITE setOpacity)
    Q_PROPERTY(QObject *operationWidget READ operationWidget)
    Q_PROPERTY(QString tileServerUrl READ getTileServerUrl WRITE setTileServerUrl)
    Q_PROPERTY(bool enableTileDownload READ getEnableTileDownload WRITE setEnableTileDownload)
    Q_PROPERTY(bool enableRightPane READ enableRightPane WRITE setEnableRightPane)
    Q_PROPERTY(bool dumpServerExchange READ dumpServerExchange WRITE setDumpServerExchange)

public:
    explicit OsmView(QWidget *parent = nullptr);
    OsmView(QGraphicsScene *scene, QWidget *parent);
    ~OsmView() override;

    // The integer zoom is the fractional zoom truncated; zoom n shows level n at 256 px.
    int zoom() const;
    int zoomMax() const;
    void setZoomMax(int v);
    int zoomMin() const;
    void setZoomMin(int v);
    double zoomF() const;

    QString imagePath() const;
    double opacity() const;
    QObject *operationWidget() const;

    QString getTileServerUrl();
    void setTileServerUrl(QString url);
    bool getEnableTileDownload();
    void setEnableTileDownload(bool on);
    bool enableRightPane();
    void setEnableRightPane(bool on);
    bool dumpServerExchange();
    void setDumpServerExchange(bool on);

Q_SIGNALS:
    void mouseMove(QPointF);
    void mousePress(QPointF);
    void mouseRelease(QPointF);
    void zoomChanged(double);
    void zoomChanged(int);
    void mouseReleased(int button, QPointF pt);
    void keyPressed(int key, int modifiers);
    void keyReleased(int key, int modifiers);

public Q_SLOTS:
    void fitItem(QGraphicsItem *i);
    void fitRect(QRectF irect);
    void fitInViewZ(QRectF rect, int max_zoom);
    void setZoom(int);
    void setZoom(double);
    void setImagePath(QString);
    void setOpacity(double opacity);
    void tileServerReply(QNetworkReply *);
    void loadPreset(double, double, double);
    void setCenter(QPointF);

protected:
    void drawBackground(QPainter *painter, const QRectF &rect) override;
    void keyPressEvent(QKeyEvent *e) override;
    void keyReleaseEvent(QKeyEvent *e) override;
    void mouseMoveEvent(QMouseEvent *e) override;
    void mousePressEvent(QMouseEvent *e) override;
    void mouseReleaseEvent(QMouseEvent *e) override;
    void wheelEvent(QWheelEvent *e) override;

private:
    void delayLoadedPreset();

    struct VELTRAWIDGETS_NO_EXPORT Private;
    Private *d;
    friend struct Private;
};

#endif
