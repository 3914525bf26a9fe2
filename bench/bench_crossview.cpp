// Recompositing the intersection picture on resize, with a detailed SVG scheme and a
// phase picture, against replaying the same pictures at the same scale onto a pixmap.
#include "BenchSupport.h"
#include "CrossView.h"
#include "CrossViewPrivate.h"
#include "IntersectionPictures.h"
#include "Light.h"

#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>
#include <QtGui/QPainter>
#include <QtWidgets/QApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    Bench::useOffscreenPlatform();
    QApplication app(argc, argv);
    QTemporaryDir tmp;
    const QString scheme = tmp.filePath(QStringLiteral("detailed.svg"));
    {
        QFile file(scheme);
        file.open(QIODevice::WriteOnly);
        file.write(IntersectionPictures::detailedSchemeSvg(2000).toUtf8());
    }
    const QStringList phases = IntersectionPictures::writeSet(tmp.path(), QStringLiteral("k"), 2);

    Sivel::Light light;
    light.setShema(scheme);
    light.addPhase(1, phases.at(1));
    light.setCurrentPhase(1);
    CrossView view;
    view.resize(700, 700);
    view.show();
    QCoreApplication::processEvents();
    view.setLight(&light);
    auto *panel = view.findChild<CrossView::Private *>();
    const QPicture base = panel->pictures.value(-1);
    const QPicture overlay = panel->pictures.value(1);

    const QSize sizes[] = {QSize(640, 600), QSize(600, 640)};
    int i = 0;
    const int runs = 25;
    const double shown = Bench::timeMedian(runs, [&] { panel->resize(sizes[i++ % 2]); });
    i = 0;
    const double plain = Bench::timeMedian(runs, [&] {
        const QSize size = sizes[i++ % 2];
        QPixmap pixmap(size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        const double s = std::min(double(size.width()) / (base.width() + 1),
                                  double(size.height()) / (base.height() + 1));
        painter.scale(s, s);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.drawPicture(QPointF(0, 0), base);
        painter.drawPicture(QPointF(0, 0), overlay);
    });
    std::printf("\n| figure | CrossView | baseline | ratio | goal |\n|---|---|---|---|---|\n");
    Bench::printRow(QStringLiteral("recomposite on resize, 2000-path scheme + phase"), shown,
                    plain, 1.1);
    return 0;
}
