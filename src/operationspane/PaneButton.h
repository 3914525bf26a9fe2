#ifndef PANEBUTTON_H
#define PANEBUTTON_H

#include <QtGui/QPainterPath>
#include <QtGui/QPolygon>
#include <QtWidgets/QPushButton>

// The narrow tab at the viewport's top-right corner that opens and closes a pane.
// Button and pane are children of the scroll area itself; the button keeps both
// against the viewport's right edge and gives the pane its translucent background.
class PaneButton : public QPushButton
{
public:
    PaneButton(QWidget *parent, QWidget *pane);
    ~PaneButton() override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void nextCheckState() override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    bool reposition();

    QPainterPath outline;
    QPolygon arrows[2];
    QWidget *pane;
    int shift = 0;
    QColor fill;
};

#endif
