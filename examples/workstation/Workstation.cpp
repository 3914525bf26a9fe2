#include "Workstation.h"

#include "CrossView.h"
#include "ImageMapView.h"
#include "Kernel.h"
#include "Light.h"
#include "LightItem.h"
#include "LightSimulator.h"
#include "MapLayer.h"
#include "MapScene.h"
#include "OsmView.h"
#include "SampleMap.h"

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QStandardPaths>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QDockWidget>
#include <QtWidgets/QGraphicsEllipseItem>
#include <QtWidgets/QGraphicsPathItem>
#include <QtWidgets/QLabel>
#include <QtWidgets/QSlider>
#include <QtWidgets/QStatusBar>
#include <QtWidgets/QTabWidget>

namespace {

struct Site
{
    int id;
    const char *description;
    QPointF offset; // degrees from the city centre
    const char *scheme;
    int phases;
};

const Site Sites[] = {{12, "Market Square", QPointF(-0.006, 0.0025), "k12", 4},
                      {27, "Harbour Bridge", QPointF(0.008, -0.004), "k27", 3}};

QPointF at(QPointF offset)
{
    return SampleMap::centre() + offset;
}

QPen cosmetic(const QColor &colour, double width)
{
    QPen pen(colour, width);
    pen.setCosmetic(true);
    pen.setCapStyle(Qt::RoundCap);
    return pen;
}

} // namespace

Workstation::Workstation(const QString &sampleDir, const QString &tileServer,
                         const QStringList &maps, QWidget *parent)
    : QMainWindow(parent), m_sampleDir(sampleDir)
{
    setWindowTitle(tr("Veltra workstation - sample data"));

    // The kernel must exist before the first map view: its pane looks for it once.
    m_scene = new MapScene(this);
    m_scene->setSceneRect(-180, -85, 360, 170);
    new Veltra::Kernel(m_scene);

    m_map = new OsmView(m_scene, nullptr);
    m_map->setEnableRightPane(true);
    // Through the pane's slider, so the slider shows the opacity too.
    if (auto *opacity = m_map->findChild<QSlider *>(QStringLiteral("sldOpacity")))
        opacity->setValue(100);
    m_map->setDragMode(QGraphicsView::NoDrag);
    m_map->setRenderHint(QPainter::Antialiasing);

    auto *tabs = new QTabWidget;
    tabs->addTab(m_map, tr("Tile map"));
    tabs->addTab(buildImageMap(), tr("Image map"));
    setCentralWidget(tabs);

    m_cross = new CrossView;
    auto *dock = new QDockWidget(tr("Select object"), this);
    dock->setObjectName(QStringLiteral("crossDock"));
    dock->setWidget(m_cross);
    dock->setMinimumWidth(320);
    addDockWidget(Qt::RightDockWidgetArea, dock);

    m_position = new QLabel;
    m_zoom = new QLabel;
    statusBar()->addWidget(m_position, 1);
    statusBar()->addPermanentWidget(m_zoom);
    auto showPosition = [this](QPointF p) {
        m_position->setText(tr("%1°, %2°").arg(p.y(), 0, 'f', 5).arg(p.x(), 0, 'f', 5));
    };
    connect(m_map, &OsmView::mouseMove, this, showPosition);
    connect(m_imageMap, &ImageMapView::mouseMove, this, showPosition);
    connect(m_map, QOverload<double>::of(&OsmView::zoomChanged), this, [this](double z) {
        m_zoom->setText(tr("zoom %1 (level %2)").arg(z, 0, 'f', 2).arg(int(z + 1.0 / 12)));
    });
    m_map->setMouseTracking(true);
    m_imageMap->setMouseTracking(true);

    // Maps first: the first one is loaded only while the pane's list is empty.
    addMaps(tileServer, maps);
    buildLights();
    buildScene(m_scene);
    m_map->loadPreset(SampleMap::centre().x(), SampleMap::centre().y(), 14 + 1.0 / 6);
    QMetaObject::invokeMethod(m_map->operationWidget(), "showContent", Q_ARG(bool, true));
    showLight(m_lights.value(0));
    resize(1400, 860);
}

Workstation::~Workstation()
{
    // The views go before the scenes they show.
    delete centralWidget();
}

void Workstation::buildLights()
{
    const QString lights = QDir(m_sampleDir).filePath(QStringLiteral("lights"));
    for (const Site &site : Sites) {
        auto *light = new Sivel::Light(this);
        light->setId(site.id);
        light->setDescription(QString::fromLatin1(site.description));
        light->setShema(QDir(lights).filePath(QString::fromLatin1(site.scheme) + QStringLiteral(".svg")));
        QVector<LightSimulator::Step> plan;
        for (int p = 1; p <= site.phases; ++p) {
            light->addPhase(p, QDir(lights).filePath(
                                   QStringLiteral("%1-p%2.svg").arg(QLatin1String(site.scheme)).arg(p)));
            plan.append({p, 8 + 4 * p});
        }
        auto *simulator = new LightSimulator(light, plan, 3, light);
        simulator->start();
        m_lights.append(light);
    }
}

void Workstation::buildScene(MapScene *scene)
{
    MapLayer *roads = scene->addLayer(QStringLiteral("Roads"), 1);
    MapLayer *detectors = scene->addLayer(QStringLiteral("Detectors"), 2);
    MapLayer *lights = scene->addLayer(QStringLiteral("Lights"), 3);

    // The corridor the two lights control, and the detectors along it.
    QPainterPath corridor(at(QPointF(-0.014, 0.006)));
    corridor.lineTo(at(Sites[0].offset));
    corridor.lineTo(at(QPointF(0.001, -0.0005)));
    corridor.lineTo(at(Sites[1].offset));
    corridor.lineTo(at(QPointF(0.016, -0.008)));
    auto *path = new QGraphicsPathItem(corridor, roads);
    path->setPen(cosmetic(QColor(0x20, 0x60, 0xd0, 170), 6));
    path->setToolTip(tr("Monitored corridor"));

    for (int i = 0; i < corridor.elementCount(); ++i) {
        const QPointF p = corridor.elementAt(i);
        auto *detector = new QGraphicsRectItem(-4, -4, 8, 8, detectors);
        detector->setPos(p + QPointF(0.0012, 0.0006));
        detector->setFlag(QGraphicsItem::ItemIgnoresTransformations);
        detector->setPen(QPen(Qt::black));
        detector->setBrush(QColor(0xff, 0xa0, 0x20));
        detector->setToolTip(tr("Detector %1").arg(i + 1));
    }

    for (int i = 0; i < m_lights.size(); ++i) {
        auto *item = new LightItem(m_lights[i], at(Sites[i].offset), lights);
        connect(item, &LightItem::clicked, this, &Workstation::showLight);
        auto *copy = new LightItem(m_lights[i], at(Sites[i].offset));
        m_imageScene->addItem(copy);
        connect(copy, &LightItem::clicked, this, &Workstation::showLight);
    }
}

QWidget *Workstation::buildImageMap()
{
    m_imageScene = new QGraphicsScene(this);
    m_imageMap = new ImageMapView;
    m_imageMap->setScene(m_imageScene);
    m_imageMap->setImagePath(QDir(m_sampleDir).filePath(QStringLiteral("city-area.png")));
    QFile binding(QDir(m_sampleDir).filePath(QStringLiteral("city-area.binding")));
    if (binding.open(QIODevice::ReadOnly)) {
        m_imageMap->setProperty("binding", QString::fromLatin1(binding.readAll()));
        m_imageScene->setSceneRect(m_imageMap->property("geoRect").toRectF().normalized());
    }
    m_imageMap->setBackgroundOpacity(1.0);
    m_imageMap->setZoom(0.6);
    return m_imageMap;
}

void Workstation::addMaps(const QString &tileServer, const QStringList &maps)
{
    QObject *pane = m_map->operationWidget();
    int entries = 0;
    auto add = [pane, &entries](const QString &name, const QString &path, const QString &server) {
        QMetaObject::invokeMethod(pane, "addMapLayer", Q_ARG(QString, name), Q_ARG(QString, path),
                                  Q_ARG(QString, server));
        ++entries;
    };
    const QDir sample(m_sampleDir);
    add(tr("Sample city"), sample.filePath(QStringLiteral("city.sqlitedb")), QString());
    add(tr("Sample city at night"), sample.filePath(QStringLiteral("night")), QString());
    add(tr("Sample city (MBTiles)"), sample.filePath(QStringLiteral("sample-city.mbtiles")),
        QString());
    const int firstOwn = entries;
    for (const QString &map : maps)
        add(QFileInfo(map).completeBaseName(), QFileInfo(map).absoluteFilePath(), QString());
    // Tiles from a server of the operator's choice are kept in a cache of their own;
    // without a server the entry shows what earlier runs stored there.
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    QDir().mkpath(cache);
    add(tileServer.isEmpty() ? tr("Tile server cache") : tr("Tile server"),
        QDir(cache).filePath(QStringLiteral("server-tiles.sqlitedb")), tileServer);
    m_map->setEnableTileDownload(!tileServer.isEmpty());
    // The first map named on the command line is the one shown, chosen in the pane as an
    // operator would: from the fourth map on the pane lists them in a combo box.
    if (!maps.isEmpty()) {
        if (auto *combo = pane->findChild<QComboBox *>())
            combo->setCurrentIndex(firstOwn);
    }
}

void Workstation::showLight(QObject *light)
{
    m_cross->setLight(light);
    m_cross->showPreviewButtons(true);
}
