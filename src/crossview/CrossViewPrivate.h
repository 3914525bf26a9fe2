#ifndef CROSSVIEWPRIVATE_H
#define CROSSVIEWPRIVATE_H

#include "CrossView.h"

#include <QtCore/QHash>
#include <QtCore/QPointer>
#include <QtGui/QPicture>
#include <QtWidgets/QLabel>

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
    void previewPhase(int id);
    void updateImage();
    QString statusText() const;

    QHash<int, QPicture> pictures;
    QPixmap image;
    QPointer<QObject> light;
    int shownPhase = 0;
    QLabel stateLabel;
    int previewId = -1;
    bool buttonsVisible = false;
    int timerId = 0;

public Q_SLOTS:
    void lightStateChanged();
    void lightDestroyed();
    void showPhaseImage();
    void autoPhaseImage();

protected:
    void timerEvent(QTimerEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    QGridLayout *grid() const;
    QList<QObject *> phaseObjects() const;
    QWidget *dock() const;
    void startPreview(int id);
    void bind(QObject *obj);
    void unbind();
};

#endif
