#include "CrossViewPrivate.h"

#include "BoundedImageReader.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDateTime>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QMetaMethod>
#include <QtCore/QTimerEvent>
#include <QtGui/QBitmap>
#include <QtGui/QMouseEvent>
#include <QtGui/QPainter>
#include <QtSvg/QSvgRenderer>
#include <QtWidgets/QGridLayout>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QVBoxLayout>

#include <cmath>
#include <map>

namespace {

constexpr int StatusIntervalMs = 500;
constexpr int ButtonsPerRow = 16;
// A scheme is a plan of one intersection; a file that claims more than this is not one,
// and decoding it could take gigabytes.
constexpr int MaxSchemeSide = 8192;
constexpr qint64 MaxSchemeBytes = qint64(64) << 20;
// Below this a scheme is no longer readable; above the largest hint a dock would crowd
// out the rest of the workstation.
constexpr int MinPictureSide = 80;
constexpr int MaxPictureSide = 800;

QImage readRaster(const QString &fileName)
{
    static const BoundedImageReader reader(QSize(MaxSchemeSide, MaxSchemeSide), MaxSchemeBytes);
    return reader.readFile(fileName);
}

// A host's number as Qt 5 reads it as an int: a fraction rounds to the integer above it
// when it lies halfway (-0.5 to 0), where Qt 6 rounds away from zero (-0.5 to -1), and
// what no 64-bit integer holds is 0.
int intOf(const QVariant &value, bool *ok = nullptr)
{
    const int type = value.userType();
    if (type != QMetaType::Double && type != QMetaType::Float)
        return value.toInt(ok);
    if (ok)
        *ok = true;
    const double d = std::floor(value.toDouble() + 0.5);
    if (!(std::abs(d) < 9.2e18))
        return 0;
    return int(quint32(quint64(qint64(d))));
}

int clampedInt(qint64 value)
{
    return int(qBound(qint64(std::numeric_limits<int>::min()), value,
                      qint64(std::numeric_limits<int>::max())));
}

} // namespace

CrossView::Private::Private(CrossView *parent) : QWidget(parent)
{
    stateLabel.setParent(parent);
    stateLabel.installEventFilter(this);
    fitStatusLine();
    auto *column = new QVBoxLayout(parent);
    column->addWidget(&stateLabel, 0);
    column->addWidget(this, 0);
}

// Exactly one line of the label's own font, whether or not it holds text yet, so the
// picture below does not jump when the first status arrives.
void CrossView::Private::fitStatusLine()
{
    const QMargins margins = stateLabel.contentsMargins();
    stateLabel.setFixedHeight(stateLabel.fontMetrics().height() + margins.top() + margins.bottom()
                              + 2 * stateLabel.margin());
}

bool CrossView::Private::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == &stateLabel && event->type() == QEvent::FontChange)
        fitStatusLine();
    return QWidget::eventFilter(watched, event);
}

QSize CrossView::Private::sizeHint() const
{
    const QPicture scheme = pictures.contains(ImageSchemeKey) ? pictures.value(ImageSchemeKey)
                                                              : pictures.value(BaseSchemeKey);
    if (!light || scheme.width() <= 0 || scheme.height() <= 0)
        return minimumSizeHint();
    // One picture unit a pixel, plus the unit that the compositing scale leaves free.
    const QSize natural(scheme.width() + 1, scheme.height() + 1);
    const QSize bounded = natural.boundedTo(QSize(MaxPictureSide, MaxPictureSide));
    return natural.scaled(bounded, Qt::KeepAspectRatio).expandedTo(minimumSizeHint());
}

QSize CrossView::Private::minimumSizeHint() const
{
    return QSize(MinPictureSide, MinPictureSide);
}

QWidget *CrossView::Private::dock() const
{
    for (QWidget *w = parentWidget(); w; w = w->parentWidget()) {
        if (w->inherits("QDockWidget"))
            return w;
    }
    return nullptr;
}

QList<QObject *> CrossView::Private::phaseObjects() const
{
    if (!light)
        return {};
    // Lights of other hosts may have no phases() at all, and invoking a method that is
    // not there makes Qt complain about what is a normal light here.
    // The list type is registered first: a method's return type is looked up by its name.
    const int listType = qMetaTypeId<QList<QObject *>>();
    const QMetaObject *meta = light->metaObject();
    const int index = meta->indexOfMethod("phases()");
    if (index < 0 || meta->method(index).returnType() != listType)
        return {};
    QList<QObject *> phases;
    if (!QMetaObject::invokeMethod(light, "phases", Q_RETURN_ARG(QList<QObject *>, phases)))
        return {};
    phases.removeAll(nullptr);
    return phases;
}

void CrossView::Private::setLight(QObject *obj)
{
    if (obj == light)
        return;
    if (light) {
        QObject::disconnect(light, nullptr, this, nullptr);
        pictures.clear();
    }
    if (!obj || !obj->inherits("Sivel::Light")) {
        unbind();
        return;
    }
    bind(obj);
}

void CrossView::Private::unbind()
{
    light = nullptr;
    updateGeometry();
    if (QWidget *titled = dock())
        titled->setWindowTitle(tr("Select object"));
    shownPhase = StalePhase;
    lightStateChanged();
    clearPhaseButtons();
}

void CrossView::Private::bind(QObject *obj)
{
    QWidget *titled = dock();
    light = obj;
    connect(obj, SIGNAL(stateChanged()), this, SLOT(lightStateChanged()));
    connect(obj, SIGNAL(destroyed(QObject *)), this, SLOT(lightDestroyed()));
    if (titled) {
        titled->setWindowTitle(QStringLiteral("%1: %2")
                                   .arg(intOf(obj->property("id")))
                                   .arg(obj->property("description").toString()));
    }
    loadPicture(LightSchemeId, obj->property("shema"));
    for (QObject *phase : phaseObjects()) {
        const QVariant shema = phase->property("shema");
        loadPicture(intOf(phase->property("id")), shema);
    }
    updateGeometry();
    shownPhase = StalePhase;
    lightStateChanged();
    if (timerId != 0)
        killTimer(timerId);
    timerId = startTimer(StatusIntervalMs, Qt::CoarseTimer);
    createPhaseButtons();
}

void CrossView::Private::loadPicture(int id, const QVariant &value)
{
    QPicture picture;
    int key = id;
    switch (value.userType()) {
    case QMetaType::QString: {
        const QString fileName = value.toString();
        const QString suffix = QFileInfo(fileName).suffix();
        if (suffix == QLatin1String("wmf") || suffix == QLatin1String("emf")) {
            const QString svg = fileName.left(fileName.size() - suffix.size())
                + QStringLiteral("svg");
            if (QFile::exists(svg))
                picture = svgPicture(svg);
            if (picture.isNull()) {
                QPainter p(&picture);
                const QRect box(0, 0, 250, 250);
                p.drawRect(box);
                p.drawText(box,
                           Qt::TextWrapAnywhere | Qt::AlignHCenter
                               | (id < 0 ? Qt::AlignTop : Qt::AlignBottom),
                           tr("You must convert the file %1 to SVG format").arg(fileName));
            }
        } else if (suffix == QLatin1String("svg")) {
            picture = svgPicture(fileName);
        } else {
            QPainter p(&picture);
            p.drawImage(0, 0, readRaster(fileName));
        }
        if (id == LightSchemeId)
            key = BaseSchemeKey;
        break;
    }
    case QMetaType::QPixmap:
    case QMetaType::QBitmap: {
        QPainter p(&picture);
        p.drawPixmap(QPointF(0, 0), value.value<QPixmap>());
        if (id == LightSchemeId)
            key = ImageSchemeKey;
        break;
    }
    case QMetaType::QImage: {
        QPainter p(&picture);
        p.drawImage(0, 0, value.value<QImage>());
        if (id == LightSchemeId)
            key = ImageSchemeKey;
        break;
    }
    default:
        return;
    }
    pictures[key] = picture;
}

QPicture CrossView::Private::svgPicture(const QString &fileName)
{
    QPicture picture;
    QSvgRenderer renderer;
    if (renderer.load(fileName)) {
        QPainter painter(&picture);
        renderer.render(&painter);
        painter.end();
    }
    return picture;
}

// The grid this view put first in its column; null when the buttons are hidden or the host
// has taken or rearranged the view's layout, so that its own layouts and widgets stay untouched.
QGridLayout *CrossView::Private::grid() const
{
    QLayout *column = parentWidget() ? parentWidget()->layout() : nullptr;
    if (!buttonGrid || !column || column->count() == 0)
        return nullptr;
    return column->itemAt(0)->layout() == buttonGrid ? buttonGrid.data() : nullptr;
}

void CrossView::Private::emptyGrid(QGridLayout *buttons)
{
    while (QLayoutItem *item = buttons->takeAt(0)) {
        delete item->widget();
        delete item;
    }
}

void CrossView::Private::clearPhaseButtons()
{
    QGridLayout *buttons = buttonsVisible ? grid() : nullptr;
    if (buttons)
        emptyGrid(buttons);
}

void CrossView::Private::createPhaseButtons()
{
    QGridLayout *buttons = buttonsVisible ? grid() : nullptr;
    if (!buttons)
        return;
    clearPhaseButtons();
    std::map<int, QPushButton *> byId;
    for (QObject *phase : phaseObjects()) {
        auto *button = new QPushButton(phase->property("id").toString(), this);
        button->setMinimumWidth(button->sizeHint().height());
        connect(button, SIGNAL(pressed()), this, SLOT(showPhaseImage()));
        connect(button, SIGNAL(released()), this, SLOT(autoPhaseImage()));
        QPushButton *&slot = byId[intOf(phase->property("id"))];
        // A second phase with the same id replaces the first one's button; the first
        // would otherwise linger unplaced over the picture.
        delete slot;
        slot = button;
    }
    int row = 0;
    int column = 0;
    for (const auto &entry : byId) {
        buttons->addWidget(entry.second, row, column);
        if (++column == ButtonsPerRow) {
            column = 0;
            ++row;
        }
    }
}

void CrossView::Private::lightStateChanged()
{
    if (previewId >= 0)
        return;
    const int phase = light ? intOf(light->property("currentPhase")) : int(NoLightPhase);
    if (phase == shownPhase)
        return;
    shownPhase = phase;
    updateImage();
    update();
}

void CrossView::Private::lightDestroyed()
{
    // The guarded pointer already reads null while the light is being destroyed.
    previewId = -1;
    pictures.clear();
    unbind();
}

void CrossView::Private::startPreview(int id)
{
    if (id == previewId)
        return;
    previewId = id;
    if (id >= 0) {
        shownPhase = id;
        updateImage();
        update();
    } else {
        lightStateChanged();
    }
}

void CrossView::Private::previewPhase(int id)
{
    startPreview(id);
}

void CrossView::Private::showPhaseImage()
{
    auto *button = qobject_cast<QPushButton *>(sender());
    if (!button)
        return;
    startPreview(button->text().remove(QLatin1Char('&')).toInt());
}

void CrossView::Private::autoPhaseImage()
{
    if (previewId == -1)
        return;
    previewId = -1;
    lightStateChanged();
}

void CrossView::Private::mousePressEvent(QMouseEvent *)
{
    if (light && shownPhase >= 0) {
        shownPhase = SchemeOnlyPhase;
        updateImage();
        update();
    }
}

void CrossView::Private::mouseReleaseEvent(QMouseEvent *)
{
    lightStateChanged();
}

void CrossView::Private::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (parentWidget())
        QCoreApplication::sendEvent(parentWidget(), event);
}

void CrossView::Private::updateImage()
{
    if (size().isEmpty())
        return;
    image = QPixmap(size());
    image.fill(Qt::transparent);
    if (!light)
        return;

    QPicture base;
    QPicture overlay;
    if (shownPhase < 0) {
        if (pictures.contains(ImageSchemeKey))
            base = pictures.value(ImageSchemeKey);
        else if (pictures.contains(BaseSchemeKey))
            base = pictures.value(BaseSchemeKey);
    } else {
        base = pictures.value(BaseSchemeKey);
        overlay = pictures.value(shownPhase);
        if (base.isNull())
            std::swap(base, overlay);
    }
    if (base.isNull())
        return;

    QPainter painter(&image);
    const int w = base.width();
    const int h = base.height();
    if (w == 0 || h == 0)
        return;
    const double s = std::min(double(width()) / (w + 1), double(height()) / (h + 1));
    painter.scale(s, s);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.drawPicture(QPointF(0, 0), base);
    if (!overlay.isNull())
        painter.drawPicture(QPointF(0, 0), overlay);
}

void CrossView::Private::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.drawPixmap(QPoint(0, 0), image);
}

void CrossView::Private::resizeEvent(QResizeEvent *)
{
    updateImage();
}

QString CrossView::Private::statusText(const QObject &light, const QDateTime &now)
{
    const QDateTime changed = light.property("phaseChangeTime").toDateTime();
    // 64 bits: a controller's clock may put the change centuries away.
    const qint64 elapsed = changed.isValid() ? changed.secsTo(now) : 0;

    if (!light.property("isConnected").toBool()) {
        QString text = tr("Disconnected");
        if (changed.isValid())
            text += tr(": %1").arg(clampedInt(elapsed));
        return text;
    }

    const int phase = intOf(light.property("currentPhase"));
    if (phase < 0) {
        const QVariant regime = light.property("keyRegime");
        QString text = regime.isValid() && intOf(regime) >= 0 && intOf(regime) != 255
            ? tr("Key regime %1").arg(regime.toString())
            : tr("Unknown state");
        if (changed.isValid())
            text += tr(": %1").arg(clampedInt(elapsed));
        return text;
    }

    QString text = tr("Phase %1:").arg(phase);
    const QVariant flag = light.property("transitionFlag");
    if (!changed.isValid() || !flag.isValid())
        return text;
    text += tr("%1").arg(clampedInt(elapsed));
    const int transition = intOf(flag);
    const QVariant lengthValue = light.property("phaseLength");
    bool ok = false;
    const qint64 length = lengthValue.isValid() ? intOf(lengthValue, &ok) : 0;
    if (ok)
        text += tr("(%1)").arg(
            clampedInt(transition == 0 ? std::max<qint64>(length - elapsed, 0) : length));
    if (transition > 0) {
        if (transition == 255)
            text += tr(" TF");
        else
            text += tr(" TF:%1").arg(clampedInt(std::max<qint64>(transition - elapsed, 0)));
    }
    return text;
}

void CrossView::Private::timerEvent(QTimerEvent *)
{
    if (!light) {
        stateLabel.clear();
        if (timerId != 0) {
            killTimer(timerId);
            timerId = 0;
        }
        return;
    }
    // While a phase is previewed the connected status line keeps its last text.
    if (light->property("isConnected").toBool() && previewId >= 0)
        return;
    stateLabel.setText(statusText(*light, QDateTime::currentDateTime()));
}
