#ifndef CROSSVIEWPRIVATE_H
#define CROSSVIEWPRIVATE_H

#include "CrossView.h"

#include <QtCore/QHash>
#include <QtCore/QPointer>
#include <QtGui/QPicture>
#include <QtWidgets/QLabel>

class QDateTime;
class QGridLayout;

class CrossView::Private : public QWidget
{
    Q_OBJECT

public:
    enum : int {
        LightSchemeId = -3,
        BaseSchemeKey = -1,
        ImageSchemeKey = -2,
        SchemeOnlyPhase = -1,
        NoLightPhase = -2,
        StalePhase = -3
    };

    explicit Private(CrossView *parent);

    void setLight(QObject *obj);
    void loadPicture(int id, const QVariant &value);
    static QPicture svgPicture(const QString &fileName);
    void createPhaseButtons();
    void clearPhaseButtons();
    QGridLayout *grid() const;
    static void emptyGrid(QGridLayout *buttons);
    void previewPhase(int id);
    void updateImage();
    // The status line for a light's state at the moment now.
    static QString statusText(const QObject &light, const QDateTime &now);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    QHash<int, QPicture> pictures;
    QPixmap image;
    QPointer<QObject> light;
    int shownPhase = 0;
    QLabel stateLabel;
    int previewId = -1;
    bool buttonsVisible = false;
    int timerId = 0;
    QPointer<QGridLayout> buttonGrid;

public Q_SLOTS:
    void lightStateChanged();
    void lightDestroyed();
    void showPhaseImage();
    void autoPhaseImage();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void timerEvent(QTimerEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    QList<QObject *> phaseObjects() const;
    QWidget *dock() const;
    void startPreview(int id);
    void fitStatusLine();
    void bind(QObject *obj);
    void unbind();
};

#endif
