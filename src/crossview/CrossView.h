#ifndef CROSSVIEW_H
#define CROSSVIEW_H

#include "veltrawidgets_global.h"

#include <QtWidgets/QWidget>

/**
 * @class CrossView CrossView.h <CrossView.h>
 *
 * A panel that shows one traffic light of the host: its intersection scheme with the
 * picture of the running phase over it, a status line, and on demand a grid of phase
 * buttons.
 *
 * The light is a host object of class "Sivel::Light" with the properties, the phases()
 * method and the stateChanged() signal listed in @ref host-contract; the widget reads it
 * through Qt's meta-object system and never owns it. From top to bottom the widget
 * shows:
 * - the phase buttons, while shown (showPreviewButtons(), or a left double-click): one
 *   per phase in ascending order of id, 16 to a row. Holding a button shows that
 *   phase's picture instead of the running one;
 * - the status line, one line of the widget's font, rewritten every 500 ms: for example
 *   "Phase 2:12(18)" (phase 2 began 12 s ago and has 18 s left), "Phase 2:12(30) TF:8"
 *   (a transition with 8 s to go), "Key regime 3: 12", "Unknown state: 12" or
 *   "Disconnected: 12";
 * - the picture: the light's scheme with the running phase's picture over it, scaled to
 *   the widget with its aspect ratio kept and anchored at the top left. It follows the
 *   light's stateChanged(). While a mouse button is held on it, the scheme is shown
 *   alone.
 *
 * Schemes and phase pictures are SVG files, raster image files (any format Qt reads whose
 * size is told before decoding, told by the content rather than the name, up to 8192
 * pixels a side), or QPixmap and QImage values; phase pictures are drawn in the scheme's coordinates. Windows metafiles (WMF,
 * EMF) are not drawn: an SVG file of the same name beside them is used instead, and
 * without one a placeholder asks for the conversion.
 *
 * When the widget stands in a QDockWidget, the nearest one gets the window title
 * "<id>: <description>" of the bound light, or "Select object" when the light is
 * unbound.
 *
 * All of it runs on the GUI thread; the light is expected to live there too.
 */
class VELTRAWIDGETS_EXPORT CrossView : public QWidget
{
    Q_OBJECT
    /**
     * The bound light, or null (the default). Read-only: bind with setLight(). It
     * becomes null when the light object is destroyed.
     */
    Q_PROPERTY(QObject *light READ light)

public:
    /**
     * Creates a panel with no light bound.
     * @param parent the parent widget, or none for a window of its own
     */
    explicit CrossView(QWidget *parent = nullptr);
    /** Destroys the panel; the light stays the host's. */
    ~CrossView() override;

    /** @return #light, the bound light, or null */
    QObject *light() const;

    /**
     * The scheme at one picture unit a pixel with the status line and, when shown, the
     * phase buttons, within 200 to 800 pixels a side. The minimum size (from the layout)
     * keeps the status line, the buttons and a picture of 80 pixels.
     * @return the size the panel asks its layout for
     */
    QSize sizeHint() const override;

    /**
     * Binds @p light, a host object whose class is (or derives from) "Sivel::Light",
     * and loads its scheme and phase pictures. Null or an object of another class
     * unbinds: the picture and the phase buttons go, and the status line clears.
     *
     * Binding the light that is already bound does nothing. To reload a light whose
     * scheme or phases changed, bind null and then the light again.
     * @param light the host's light object, or null to unbind
     */
    Q_INVOKABLE void setLight(QObject *light);
    /**
     * Shows the picture of phase @p id over the scheme, whatever phase runs, until the
     * next call. Repeating the current id does nothing.
     * @param id a phase id of the bound light, or a negative id for the running phase
     */
    Q_INVOKABLE void previewPhase(int id);
    /**
     * Shows or removes the grid of phase buttons above the status line. The grid is
     * filled from the bound light, now or when one is bound.
     * @param f true to show the buttons, false to remove them
     */
    Q_INVOKABLE void showPreviewButtons(bool f);

    /** @cond internal */
    class VELTRAWIDGETS_NO_EXPORT Private;
    /** @endcond */

protected:
    /**
     * A left double-click shows or removes the phase buttons; other buttons do nothing.
     * @param event the mouse event
     */
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    Private *d;
};

#endif
