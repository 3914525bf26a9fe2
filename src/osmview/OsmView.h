#ifndef OSMVIEW_H
#define OSMVIEW_H

#include "veltrawidgets_global.h"

#include <QtWidgets/QGraphicsView>

class QGraphicsItem;
class QNetworkReply;

/**
 * @class OsmView OsmView.h <OsmView.h>
 *
 * A graphics view in geographic coordinates whose background is a slippy map.
 *
 * The scene is laid out in degrees: x is the longitude (growing east), y the latitude
 * (growing north), and the view shows north up. The host owns the scene and everything
 * in it; it places its items in the same coordinates, and the view reports mouse
 * positions in them. The background is drawn from tiles of 256 × 256 pixels in the Web
 * Mercator tiling scheme (see TileAddressing.h), at the tile level that the zoom selects.
 *
 * Tiles come from a local tile source, named by #imagePath:
 * - an SQLite tile database (a path with a suffix such as `.sqlitedb`), created from an
 *   empty built-in template when the file does not exist yet;
 * - an MBTiles file (suffix `.mbtiles`);
 * - a directory tree of tile files, `<level>/<column>/<row>.<format>` (a path without a
 *   suffix).
 *
 * With #enableTileDownload on and a #tileServerUrl set, tiles missing from the local
 * source are downloaded and written into it, so that the map fills up as it is used and
 * works without a network afterwards. Each view has a tile source of its own, with its
 * own database connection: a process may show any number of tile databases at once.
 * Tiles may be images in any raster format Qt reads whose size is told before decoding
 * (PNG, JPEG, GIF, BMP, ICO, PBM/PGM/PPM, XBM, XPM; TIFF, WebP and TGA where their plug-ins
 * are installed), of up to 1024 × 1024 pixels and no more decoding work than a plain image
 * of that size; anything else, SVG included, reads as a missing tile.
 *
 * A right-hand operations pane, opened by a small tab at the viewport's top right, offers
 * a zoom slider, an opacity slider, smooth rendering, a choice of maps and a check box per
 * layer of the host's scene. It is hidden until #enableRightPane is set; the host fills
 * it through #operationWidget, see @ref operations-pane. The layer list relies on the
 * host's kernel, scene and layer objects described in @ref host-contract.
 *
 * Navigation: the wheel zooms, dragging with the middle button pans (whatever the
 * dragMode()), and Shift with a left-button drag draws a rubber band, also when it starts
 * on a selectable item. Every press, move, release and key is reported through the
 * signals below.
 *
 * @par Zoom
 * The zoom is a real number, #zoomF. The tile level is zoomF + 1/12 truncated; within a
 * level, the size of a tile on screen grows linearly with zoomF, from 224 pixels at
 * n − 1/12 through 256 pixels (the tiles' own size) at n + 1/6 to 384 pixels at n + 5/6.
 * The integer zoom n (#zoom) therefore stands for n + 1/6. Requests are clamped to the
 * levels #zoomMin to #zoomMax.
 *
 * @par Limitations
 * - Only tiles of the current level are drawn; a tile that is missing at that level
 *   leaves its square empty (or shows the download placeholder), tiles of other levels
 *   are not scaled in.
 * - The vertical scale is measured at the top of the viewport whenever the zoom
 *   changes. After a long pan north or south tiles are slightly out of square until the
 *   next zoom change.
 * - The view does not set a scene rectangle: how far the map can be scrolled is decided
 *   by the host's scene.
 * - All of it runs on the GUI thread, but for the decoding of tiles prepared ahead
 *   (#prefetch), which runs on worker threads of the view's own.
 *
 * @code
 * QGraphicsScene scene(-180, -85, 360, 170);             // longitude, latitude
 * OsmView map(&scene, nullptr);
 * map.setImagePath("/var/lib/maps/city.sqlitedb");         // created if missing
 * map.setTileServerUrl("https://tiles.example/{z}/{x}/{y}.png");
 * map.setEnableTileDownload(true);
 * map.loadPreset(30.31, 59.94, 14 + 1.0 / 6);              // longitude, latitude, zoom
 * @endcode
 */
class VELTRAWIDGETS_EXPORT OsmView : public QGraphicsView
{
    Q_OBJECT
    /**
     * The integer zoom: #zoomF truncated toward zero. Writing n shows tile level n with
     * tiles at their own size of 256 pixels (zoomF = n + 1/6); a value outside #zoomMin
     * to #zoomMax goes to the nearest limit, and zoomChanged(int) then reports the level
     * actually reached. Writing the current level does nothing. Default 10.
     *
     * Accessors: zoom(), setZoom(int).
     */
    Q_PROPERTY(int zoom READ zoom WRITE setZoom)
    /**
     * The highest tile level the view zooms to. Default 17.
     *
     * Changing it does not move the current zoom by itself. The operations pane's zoom
     * slider takes the new range, and when its value falls outside, the slider moves
     * and the view follows. Keep #zoomMin ≤ zoomMax.
     *
     * Accessors: zoomMax(), setZoomMax().
     */
    Q_PROPERTY(int zoomMax READ zoomMax WRITE setZoomMax)
    /**
     * The lowest tile level the view zooms to. Default 10. Like #zoomMax, changing it
     * moves the pane's slider range, not the view.
     *
     * Accessors: zoomMin(), setZoomMin().
     */
    Q_PROPERTY(int zoomMin READ zoomMin WRITE setZoomMin)
    /**
     * The fractional zoom. Level n is shown from n − 1/12 to n + 11/12, with tiles of
     * 209 to 400 pixels on screen; n + 1/6 shows them at their own 256 pixels. Default
     * 10 + 1/6.
     *
     * A request below level #zoomMin becomes exactly zoomMin (224-pixel tiles), one above
     * level #zoomMax becomes zoomMax + 5/6 (384-pixel tiles). A value equal to the
     * current one, NaN or an infinity is ignored. Every other request emits
     * zoomChanged(double), even when clamping leaves the value as it was, and
     * zoomChanged(int) first when the level changes. The transformation anchor (by
     * default the viewport's centre) stays in place.
     *
     * Accessors: zoomF(), setZoom(double).
     */
    Q_PROPERTY(double zoomF READ zoomF WRITE setZoom)
    /**
     * The local tile source: a tile database file, an MBTiles file, or the root of a
     * directory tree of tiles. Empty by default: no background.
     *
     * A path whose last component has no suffix is a directory tree; it need not exist,
     * directories are created as tiles are written. A path ending in `.mbtiles` is an
     * MBTiles file. Any other path is an SQLite tile database: when the file does not
     * exist, an empty one is created from the library's template, which needs an
     * existing, writable directory.
     *
     * Every write reopens the source, also for the same path: requests in flight are
     * dropped, the tiles drawn so far are forgotten, the marks of failed downloads are
     * cleared, and the view repaints. When the source cannot be opened or created (not
     * an SQLite file, a damaged one, the wrong tables, a directory that cannot be
     * written), one warning names the file and the reason, and the view has no tile
     * source: it paints no background and requests nothing, and the property still
     * holds the path.
     *
     * While another program holds a lock on a tile database, the view does not wait
     * for it: tiles it cannot read are left empty (and not downloaded) and read again a
     * moment later; downloaded tiles are kept in memory and written once the lock is
     * gone, also when the view has moved on to another source meanwhile.
     *
     * Accessors: imagePath(), setImagePath().
     */
    Q_PROPERTY(QString imagePath READ imagePath WRITE setImagePath)
    /**
     * Opacity of the background map, from 0 (no background drawn) to 1. Values outside
     * are clamped, NaN is ignored. The host's items are not affected. Default 0.5.
     *
     * Accessors: opacity(), setOpacity().
     */
    Q_PROPERTY(double opacity READ opacity WRITE setOpacity)
    /**
     * The operations pane, read-only. It is a child widget of the view and dies with it.
     * Its class is internal; the host reaches it through Qt's meta-object system, as
     * @ref operations-pane describes.
     *
     * Accessor: operationWidget().
     */
    Q_PROPERTY(QObject *operationWidget READ operationWidget)
    /**
     * The tile server's URL template, empty by default (no downloads).
     *
     * The level, column and row are written into the template where it says `%1`, `%2`
     * and `%3`, or `{z}`, `{x}` and `{y}`, for example
     * `https://tiles.example/{z}/{x}/{y}.png`. Only http and https URLs are requested.
     * Setting a different template clears the marks of failed downloads, so those tiles
     * are tried again; tiles already stored are kept.
     *
     * Accessors: getTileServerUrl(), setTileServerUrl().
     */
    Q_PROPERTY(QString tileServerUrl READ getTileServerUrl WRITE setTileServerUrl)
    /**
     * Whether missing tiles are downloaded. Off by default.
     *
     * While on, with a tile source open and a #tileServerUrl set, every tile of the
     * current level that the viewport shows and the source lacks is requested from the
     * server and drawn as a "downloading ..." placeholder meanwhile. At most 6 requests
     * per view are in flight, those nearest the viewport's centre first. A tile that
     * arrives is written into the tile source unchanged and drawn.
     *
     * Transient failures (timeouts, HTTP 5xx and 429 and the like) are retried after a
     * pause that starts near 10 seconds and doubles up to 10 minutes; a Retry-After
     * header from the server is honoured. Any other failure, a reply that is not a tile
     * image among them, marks the tile as failed at its level: it is drawn as an error
     * tile naming the error code and not requested again until the tile source or the
     * server URL changes, or a zoom request is clamped to another level. Switching off
     * drops the requests in flight and keeps the marks.
     *
     * Accessors: getEnableTileDownload(), setEnableTileDownload().
     */
    Q_PROPERTY(bool enableTileDownload READ getEnableTileDownload WRITE setEnableTileDownload)
    /**
     * Whether the operations pane can be opened: while true, its tab shows at the
     * viewport's top right. Off by default. Switching off hides pane and tab; switching
     * on again restores the pane if it was open. This is the pane's own `enabled`
     * property; the pane's controls stay usable either way.
     *
     * Accessors: enableRightPane(), setEnableRightPane().
     */
    Q_PROPERTY(bool enableRightPane READ enableRightPane WRITE setEnableRightPane)
    /**
     * Whether tile requests and replies are logged as debug messages of the logging
     * category "veltra.download", as lines beginning "send request to" and "tile server
     * reply". Off by default.
     *
     * Accessors: dumpServerExchange(), setDumpServerExchange().
     */
    Q_PROPERTY(bool dumpServerExchange READ dumpServerExchange WRITE setDumpServerExchange)
    /**
     * Whether the view prepares, while the operator looks at the map, the tiles the next
     * step most likely shows. On by default.
     *
     * Once the view has been still for about 100 ms, it reads and decodes from the tile
     * source, nearest first, the ring of tiles just beyond the viewport's edges, the tiles
     * of the next level down under the viewport (those under the mouse pointer's quarter
     * first) and those of the level above, so that a pan or a wheel step finds them ready
     * instead of decoding them while it paints. Decoding runs on worker threads. Only the
     * tile source is read: nothing is downloaded for it, and what a paint requests and
     * draws is the same either way. Prepared tiles share the memory of decoded tiles and
     * are given up before the tiles on screen. Any input, a change of level and a new tile
     * source stop it until the view is still again; once everything is prepared, the view
     * does nothing until it moves.
     *
     * Switch it off for a tile source on a very slow disk, where reading ahead would hold
     * up the reads of the tiles on screen.
     *
     * Accessors: prefetch(), setPrefetch().
     */
    Q_PROPERTY(bool prefetch READ prefetch WRITE setPrefetch)
    /**
     * The value of the User-Agent header of every tile request. Default
     * "VeltraCenter 2.1".
     *
     * Tile servers ask the applications that use them to identify themselves, most with a
     * way to reach their operator, for example `CityTraffic/4.2 (tiles@city.example)`.
     * Control characters, line breaks among them, are sent as spaces, so the value cannot
     * add a header of its own.
     *
     * What the view sends: one GET per missing tile of the level shown, to the URL the
     * #tileServerUrl template gives, with this header, "Accept-Encoding: identity", and
     * what Qt's network access adds itself (Host, Connection, Accept-Language, cookies
     * the server set). At most 6 requests per view are in flight; queued
     * tiles go nearest the viewport's centre first, and those that leave the view before
     * their turn are not requested at all. A transient failure is retried after a pause
     * that starts near 10 seconds and doubles up to 10 minutes, or as long as a
     * Retry-After header asks (see #enableTileDownload). Tiles prepared ahead
     * (#prefetch) are never requested.
     *
     * Accessors: userAgent(), setUserAgent().
     */
    Q_PROPERTY(QString userAgent READ userAgent WRITE setUserAgent)
    /**
     * Seconds after which a stored tile is fetched again if it changed. Default 0: a
     * stored tile is never fetched again.
     *
     * Set, and while #enableTileDownload is on with a #tileServerUrl, a tile on screen
     * that was stored longer ago than this, or than the lifetime its server gave it where
     * that is longer (Cache-Control max-age, Expires), is drawn at once and asked for
     * again in the background with a conditional request (If-None-Match with the tile's
     * ETag, If-Modified-Since with its Last-Modified or the time it was fetched). An
     * answer 304 renews the tile's age without writing it again; a new tile replaces it
     * and is drawn. Such requests go after every missing tile, within the same budget,
     * once per tile and lifetime, and never while the server asks for a pause or backs
     * off after failures; a failed one leaves the stored tile as it is. A tile whose age
     * the store does not know counts as old.
     *
     * The store keeps with each tile that comes what its server said of it: a database
     * in a table "tile_freshness" of its own beside its tiles, made with the first
     * record, a directory as the file's time. A tile its server sends with
     * "Cache-Control: no-store" is drawn but not stored. Negative values count as 0.
     *
     * Accessors: maxTileAge(), setMaxTileAge().
     */
    Q_PROPERTY(int maxTileAge READ maxTileAge WRITE setMaxTileAge)

public:
    /**
     * Creates a view without a scene; give it one with setScene(). The view starts at
     * level 10 with tiles at their own size, within the levels 10 to 17, with no tile
     * source, no download and the operations pane disabled.
     * @param parent the parent widget, or none for a window of its own
     */
    explicit OsmView(QWidget *parent = nullptr);
    /**
     * Creates a view of @p scene, which stays the host's: the view does not own it.
     * Otherwise the same as OsmView(QWidget *).
     * @param scene the host's scene in longitude and latitude, or none
     * @param parent the parent widget, or none for a window of its own
     */
    OsmView(QGraphicsScene *scene, QWidget *parent);
    /** Closes the tile source and drops the requests in flight. */
    ~OsmView() override;

    /** @return #zoom, the fractional zoom truncated (not the tile level) */
    int zoom() const;
    /** @return #zoomMax, the highest tile level */
    int zoomMax() const;
    /**
     * Sets #zoomMax.
     * @param v the highest tile level the view zooms to
     */
    void setZoomMax(int v);
    /** @return #zoomMin, the lowest tile level */
    int zoomMin() const;
    /**
     * Sets #zoomMin.
     * @param v the lowest tile level the view zooms to
     */
    void setZoomMin(int v);
    /** @return #zoomF, the fractional zoom */
    double zoomF() const;

    /** @return #imagePath, the path as last set, whether or not it could be opened */
    QString imagePath() const;
    /** @return #opacity, from 0 to 1 */
    double opacity() const;
    /** @return the operations pane, #operationWidget; never null */
    QObject *operationWidget() const;

    /** @return #tileServerUrl, the URL template; empty when none is set */
    QString getTileServerUrl();
    /**
     * Sets #tileServerUrl.
     * @param url the URL template, with `{z}`, `{x}` and `{y}` or `%1`, `%2` and `%3`
     */
    void setTileServerUrl(QString url);
    /** @return #enableTileDownload: whether missing tiles are downloaded */
    bool getEnableTileDownload();
    /**
     * Sets #enableTileDownload.
     * @param on true to download missing tiles, false to stop and drop the requests
     */
    void setEnableTileDownload(bool on);
    /** @return #enableRightPane: whether the operations pane can be opened */
    bool enableRightPane();
    /**
     * Sets #enableRightPane.
     * @param on true to show the pane's tab, false to hide pane and tab
     */
    void setEnableRightPane(bool on);
    /** @return #dumpServerExchange: whether tile requests and replies are logged */
    bool dumpServerExchange();
    /**
     * Sets #dumpServerExchange.
     * @param on true to log tile requests and replies
     */
    void setDumpServerExchange(bool on);
    /** @return #prefetch: whether tiles the next step most likely shows are prepared */
    bool prefetch() const;
    /**
     * Sets #prefetch.
     * @param on true to prepare tiles while the view is still, false to prepare none
     */
    void setPrefetch(bool on);
    /** @return #userAgent: the User-Agent header of every tile request */
    QString userAgent() const;
    /**
     * Sets #userAgent.
     * @param value the header's value, such as "Centre North 1.4 (ops@example.org)"
     */
    void setUserAgent(const QString &value);
    /** @return #maxTileAge: seconds after which a stored tile is revalidated, 0 never */
    int maxTileAge() const;
    /**
     * Sets #maxTileAge.
     * @param seconds the age from which a stored tile on screen is revalidated; 0 for never
     */
    void setMaxTileAge(int seconds);

Q_SIGNALS:
    /**
     * The mouse moved over the viewport.
     * @param pt the mouse's scene position (longitude, latitude)
     */
    void mouseMove(QPointF pt);
    /**
     * A mouse button was pressed.
     * @param pt the scene position of the press
     */
    void mousePress(QPointF pt);
    /**
     * A mouse button was released.
     * @param pt the scene position of the release
     */
    void mouseRelease(QPointF pt);
    /**
     * #zoomF changed, or a request was clamped to the value it had.
     * @param zoom the new zoomF
     */
    void zoomChanged(double zoom);
    /**
     * The tile level changed, or a request for another level was clamped.
     * @param level the tile level now shown
     */
    void zoomChanged(int level);
    /**
     * A mouse button was released. Emitted right after mouseRelease().
     * @param button the released button's Qt::MouseButton value
     * @param pt the scene position of the release
     */
    void mouseReleased(int button, QPointF pt);
    /**
     * A key was pressed while the view had the focus. The view handles the key as
     * QGraphicsView does afterwards.
     * @param key the key code, as QKeyEvent::key()
     * @param modifiers the Qt::KeyboardModifiers held, as int
     */
    void keyPressed(int key, int modifiers);
    /**
     * A key was released while the view had the focus.
     * @param key the key code, as QKeyEvent::key()
     * @param modifiers the Qt::KeyboardModifiers held, as int
     */
    void keyReleased(int key, int modifiers);

public Q_SLOTS:
    /**
     * Fits the scene bounding rectangle of item @p i into the viewport, as fitRect()
     * does. A null item does nothing.
     * @param i an item of the view's scene, or null
     */
    void fitItem(QGraphicsItem *i);
    /**
     * Centres the view on the scene rectangle @p irect and zooms so that it just fits
     * the viewport, within #zoomMin and #zoomMax. The change is applied a moment later
     * (about 300 ms), once a newly shown view has its final size; of several calls in
     * that time the last one wins.
     *
     * The rectangle is measured in whole viewport pixels, counting the first and the
     * last pixel it touches: a point is one pixel wide and high, so it is zoomed in by as
     * many levels as doubling it takes to fill the viewport's smaller side, and a line
     * one pixel wide. A rectangle with a coordinate that is not finite is ignored.
     * @param irect the scene rectangle to show, in longitude and latitude
     */
    void fitRect(QRectF irect);
    /**
     * Centres the view on @p rect at once and shows the highest tile level at which it
     * fits the viewport, at most @p max_zoom and within #zoomMin and #zoomMax. Points
     * and lines are treated as by fitRect().
     * @param rect the scene rectangle to show, in longitude and latitude
     * @param max_zoom the highest tile level to use
     */
    void fitInViewZ(QRectF rect, int max_zoom);
    /**
     * Sets #zoom: shows that tile level with the tiles at their own size.
     * @param level the tile level, clamped to #zoomMin and #zoomMax
     */
    void setZoom(int level);
    /**
     * Sets #zoomF.
     * @param zoom the fractional zoom
     */
    void setZoom(double zoom);
    /**
     * Sets #imagePath, opening the tile source at that path.
     * @param path a tile database, an MBTiles file or the root of a tile tree
     */
    void setImagePath(const QString &path);
    /**
     * Sets #opacity and repaints.
     * @param opacity the background's opacity, clamped to [0, 1]
     */
    void setOpacity(double opacity);
    /**
     * Receives the replies to the view's own tile requests. Internal: hosts do not call
     * it.
     * @param reply a finished reply of the view's network access manager
     */
    void tileServerReply(QNetworkReply *reply);
    /**
     * Shows a place at a fractional zoom. The view moves there at the next pass of the
     * event loop and settles on the exact values about 300 ms later, so a preset set
     * before the view is shown ends where it should.
     * @param x the longitude of the centre, in degrees
     * @param y the latitude of the centre, in degrees
     * @param zoom the fractional zoom, #zoomF
     */
    void loadPreset(double x, double y, double zoom);
    /**
     * Centres the view on a scene point; the zoom stays.
     * @param center the point to centre on (longitude, latitude)
     */
    void setCenter(QPointF center);

protected:
    /**
     * Paints the tiles of the current level that cover @p rect at #opacity. A subclass
     * that overrides it and keeps the map calls it first, between QPainter::save() and
     * QPainter::restore().
     * @param painter the viewport's painter, in scene coordinates
     * @param rect the exposed part of the scene
     */
    void drawBackground(QPainter *painter, const QRectF &rect) override;
    /**
     * Emits keyPressed(), then handles the key as QGraphicsView does.
     * @param e the key event
     */
    void keyPressEvent(QKeyEvent *e) override;
    /**
     * Emits keyReleased(), then handles the key as QGraphicsView does.
     * @param e the key event
     */
    void keyReleaseEvent(QKeyEvent *e) override;
    /**
     * Emits mouseMove(), then handles the move, carrying on a middle-button pan.
     * @param e the mouse event, in viewport coordinates
     */
    void mouseMoveEvent(QMouseEvent *e) override;
    /**
     * Emits mousePress(). A middle-button press starts a pan and keeps the event from
     * the scene's items; Shift with the left button starts a rubber band. Other presses
     * go to QGraphicsView.
     * @param e the mouse event, in viewport coordinates
     */
    void mousePressEvent(QMouseEvent *e) override;
    /**
     * Emits mouseRelease() and mouseReleased(), ends a pan or rubber band and restores
     * the drag mode and interactivity that were in force before it.
     * @param e the mouse event, in viewport coordinates
     */
    void mouseReleaseEvent(QMouseEvent *e) override;
    /**
     * Zooms by the wheel's turn: one notch (120 units) is 1/6 of a level, six notches
     * one level; high-resolution wheels and touchpads zoom in proportion. A turn on two
     * axes at once zooms by the larger one (the vertical on a tie), with Qt 5 and Qt 6
     * alike. The wheel never scrolls the view.
     * @param e the wheel event
     */
    void wheelEvent(QWheelEvent *e) override;
    /**
     * Scrolls as QGraphicsView does, and repaints the whole viewport when the scroll
     * moves the tile rows (they are anchored at the row under the top-left pixel).
     * @param dx the horizontal scroll in viewport pixels
     * @param dy the vertical scroll in viewport pixels
     */
    void scrollContentsBy(int dx, int dy) override;
    /**
     * Sets up the viewport as QGraphicsView does, but leaves its background to
     * drawBackground(), which fills only what no opaque tile covers with the viewport's
     * background brush.
     * @param widget the new viewport
     */
    void setupViewport(QWidget *widget) override;
    /**
     * Paints as QGraphicsView does; without a scene, the viewport shows its background
     * brush.
     * @param event the region of the viewport to paint
     */
    void paintEvent(QPaintEvent *event) override;

private:
    void delayLoadedPreset();

    struct VELTRAWIDGETS_NO_EXPORT Private;
    Private *d;
    friend struct Private;
};

#endif
