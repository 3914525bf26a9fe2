#ifndef CROSSVIEW_H
#define CROSSVIEW_H

#include "veltrawidgets_global.h"

#include <QtWidgets/QWidget>

// One traffic light of the host: its intersection scheme with the running phase's
// picture over it, a status line rewritten every 500 ms, and on demand a grid of
// buttons that preview a phase while held. A left double-click toggles the grid.
class VELTRAWIDGETS_EXPORT CrossView : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QObject *light READ light)

public:
    explicit CrossView(QWidget *parent = nullptr);
    ~CrossView() override;

    QObject *light() const;

    // The scheme at one picture unit a pixel with the status line and the buttons,
    // within 200 to 800 pixels a side. The minimum (from the layout) keeps the status
    // line, the buttons and a picture of 80 pixels.
    QSize sizeHint() const override;

    // Binds a host object whose class is "Sivel::Light"; anything else unbinds.
    Q_INVOKABLE void setLight(QObject *light);
    // Shows phase id over the scheme until the next call; a negative id returns to
    // the running phase.
    Q_INVOKABLE void previewPhase(int id);
    Q_INVOKABLE void showPreviewButtons(bool f);

    class Private;

protected:
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    Private *d;
};

#endif
