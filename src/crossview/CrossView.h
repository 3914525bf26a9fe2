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

    // Binds a host object whose class is "Sivel::Light"; anything else unbinds.
    Q_INVOKABLE void setLight(QObject *light);
    // Shows phase id over the scheme until the next call; a negative id returns to
    // the running phase.
    Q_INVOKABLE void previewPhase(int id);
    Q_INVOKABLE void showPreviewButtons(bool f);

    class VELTRAWIDGETS_NO_EXPORT Private;

protected:
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    Private *d;
};

#endif
