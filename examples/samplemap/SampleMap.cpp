#include "SampleMap.h"

#include <QtCore/QBuffer>
#include <QtCore/QtMath>
#include <QtGui/QPainter>
#include <QtGui/QPainterPath>

#include <cmath>

namespace {

// Everything is laid out in Web Mercator pixels of level 17.
constexpr int BaseLevel = 17;
constexpr double WorldPixels = 256.0 * (1 << BaseLevel);
constexpr double Avenue = 1600.0;
constexpr double Street = 400.0;
constexpr double Lane = 100.0;

double lonToPixel(double lon)
{
    return (lon + 180.0) / 360.0 * WorldPixels;
}

double latToPixel(double lat)
{
    const double phi = qDegreesToRadians(lat);
    return (0.5 - std::log(std::tan(phi) + 1.0 / std::cos(phi)) / (2 * M_PI)) * WorldPixels;
}

const QPointF City(25.0, 60.0);
const QColor Background(0xf3, 0xf0, 0xea);

QPointF cityPixel()
{
    return QPointF(lonToPixel(City.x()), latToPixel(City.y()));
}

quint32 mix(qint64 a, qint64 b, quint32 salt)
{
    quint64 h = quint64(a) * 0x9E3779B97F4A7C15ull ^ (quint64(b) + 0x632BE59BD9B4E019ull + salt);
    h ^= h >> 31;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 27;
    return quint32(h);
}

// Grid lines wander a little so the plan does not look ruled.
double jitter(qint64 index, quint32 salt, double amount)
{
    return (mix(index, 7, salt) % 1000 / 1000.0 - 0.5) * amount;
}

const char *const StreetNames[] = {"Harbour", "Mill", "Tower", "Linden", "Market", "Chapel",
                                   "Quarry", "Orchard", "Bridge", "Garden", "Station", "Meadow"};

// Level-17 pixel coordinates reach 2^25, beyond what QPainter's stroker keeps exact,
// so geometry is shifted to the drawn area's origin in double before it is painted.
struct CityPainter
{
    QPainter &p;
    QRectF view; // level-17 pixels covered
    double scale; // output pixels per level-17 pixel
    int level;

    QPointF local(double x, double y) const { return QPointF(x - view.left(), y - view.top()); }
    double width(double base, double minimum) const
    {
        return std::max(base * scale, minimum) / scale;
    }

    void drawRiver()
    {
        const QPointF c = cityPixel();
        const double step = std::max(40.0, 4.0 / scale);
        QPainterPath path;
        bool first = true;
        for (double x = view.left() - 400; x <= view.right() + 400 + step; x += step) {
            const double y = c.y() + 900 + 500 * std::sin((x - c.x()) / 2600.0)
                + 160 * std::sin((x - c.x()) / 700.0);
            if (first)
                path.moveTo(local(x, y));
            else
                path.lineTo(local(x, y));
            first = false;
        }
        p.setPen(QPen(QColor(0xa9, 0xc9, 0xe8), width(140, 2.5), Qt::SolidLine, Qt::RoundCap,
                      Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawPath(path);
    }

    void drawBlocks(double spacing, bool buildings)
    {
        const qint64 i0 = qint64(std::floor(view.left() / spacing)) - 1;
        const qint64 i1 = qint64(std::floor(view.right() / spacing)) + 1;
        const qint64 j0 = qint64(std::floor(view.top() / spacing)) - 1;
        const qint64 j1 = qint64(std::floor(view.bottom() / spacing)) + 1;
        if ((i1 - i0) * (j1 - j0) > 40000)
            return;
        const double inset = spacing * 0.035;
        p.setPen(Qt::NoPen);
        for (qint64 i = i0; i <= i1; ++i) {
            for (qint64 j = j0; j <= j1; ++j) {
                const quint32 h = mix(i, j, quint32(spacing));
                const QRectF block(local(i * spacing + inset, j * spacing + inset),
                                   QSizeF(spacing - 2 * inset, spacing - 2 * inset));
                if (h % 9 == 0)
                    p.setBrush(QColor(0xc8, 0xe6, 0xb4)); // park
                else if (h % 13 == 1)
                    p.setBrush(QColor(0xe8, 0xd8, 0xe8)); // school grounds
                else
                    p.setBrush(QColor(0xe4, 0xdf, 0xd8));
                p.drawRect(block);
                if (!buildings)
                    continue;
                if (h % 9 == 0) {
                    p.setBrush(QColor(0xa8, 0xd0, 0x90));
                    for (int k = 0; k < 24; ++k) {
                        const quint32 t = mix(h, k, 17);
                        p.drawEllipse(QPointF(block.left() + 12 + t % 340,
                                              block.top() + 12 + t / 340 % 340),
                                      6 + t % 5, 6 + t % 5);
                    }
                    continue;
                }
                for (int k = 0; k < 14; ++k) {
                    const quint32 b = mix(h, k, 3);
                    p.setBrush(QColor(0xd0 + int(b % 12), 0xc8 + int(b / 12 % 10), 0xbe + int(b % 9)));
                    p.drawRect(QRectF(block.left() + 8 + (b % 270), block.top() + 8 + (b / 270 % 270),
                                      30 + b % 60, 24 + b / 7 % 50));
                }
            }
        }
    }

    void drawRoads(double spacing, quint32 salt, double baseWidth, double minWidth,
                   const QColor &casing, const QColor &fill)
    {
        const qint64 i0 = qint64(std::floor(view.left() / spacing)) - 1;
        const qint64 i1 = qint64(std::floor(view.right() / spacing)) + 1;
        const qint64 j0 = qint64(std::floor(view.top() / spacing)) - 1;
        const qint64 j1 = qint64(std::floor(view.bottom() / spacing)) + 1;
        if (i1 - i0 > 4000 || j1 - j0 > 4000)
            return;
        const double w = width(baseWidth, minWidth);
        for (int pass = 0; pass < 2; ++pass) {
            p.setPen(QPen(pass == 0 ? casing : fill, pass == 0 ? w * 1.35 : w, Qt::SolidLine,
                          Qt::FlatCap));
            for (qint64 i = i0; i <= i1; ++i) {
                const double x = i * spacing + jitter(i, salt, spacing * 0.08);
                p.drawLine(local(x, view.top() - spacing), local(x, view.bottom() + spacing));
            }
            for (qint64 j = j0; j <= j1; ++j) {
                const double y = j * spacing + jitter(j, salt + 1, spacing * 0.08);
                p.drawLine(local(view.left() - spacing, y), local(view.right() + spacing, y));
            }
        }
    }

    void drawLabels()
    {
        QFont font(QStringLiteral("DejaVu Sans"));
        const QTransform toDevice = p.transform();
        p.save();
        p.resetTransform();
        p.setPen(QColor(0x55, 0x50, 0x4a));
        if (level >= 15) {
            font.setPixelSize(11);
            p.setFont(font);
            const qint64 i0 = qint64(std::floor(view.left() / Avenue)) - 1;
            const qint64 i1 = qint64(std::floor(view.right() / Avenue)) + 1;
            const qint64 j0 = qint64(std::floor(view.top() / Avenue)) - 1;
            const qint64 j1 = qint64(std::floor(view.bottom() / Avenue)) + 1;
            for (qint64 i = i0; i <= i1; ++i) {
                for (qint64 j = j0; j <= j1; ++j) {
                    const QString name = QStringLiteral("%1 Avenue")
                                             .arg(QLatin1String(StreetNames[mix(i, j, 5) % 12]));
                    const double y = j * Avenue + jitter(j, 6, Avenue * 0.08);
                    p.drawText(toDevice.map(local(i * Avenue + 300, y)) + QPointF(0, -8), name);
                }
            }
        }
        font.setPixelSize(level <= 12 ? 14 : 18);
        font.setBold(true);
        p.setFont(font);
        p.setPen(QColor(0x33, 0x33, 0x33));
        const QPointF c = cityPixel();
        p.drawText(toDevice.map(local(c.x(), c.y())) + QPointF(-60, -30),
                   QStringLiteral("Sample City"));
        p.restore();
    }
};

void paintCity(QPainter &painter, const QRectF &view, double scale, int level)
{
    painter.setRenderHint(QPainter::Antialiasing);
    CityPainter p{painter, view, scale, level};
    if (level >= 13)
        p.drawBlocks(Street, level >= 14);
    else
        p.drawBlocks(Avenue * 4, false);
    p.drawRiver();
    if (level >= 15)
        p.drawRoads(Lane, 41, 9, 0.8, QColor(0xd8, 0xd2, 0xca), Qt::white);
    if (level >= 13)
        p.drawRoads(Street, 23, 18, 1.2, QColor(0xc8, 0xbe, 0xb0), QColor(0xff, 0xfd, 0xf5));
    if (level >= 12)
        p.drawRoads(Avenue, 5, 36, 2.0, QColor(0xc0, 0x90, 0x60), QColor(0xfc, 0xd6, 0xa4));
    p.drawRoads(Avenue * 4, 9, 60, 2.5, QColor(0xb0, 0x60, 0x50), QColor(0xf0, 0xa0, 0x80));
    p.drawLabels();
}

void markSample(QPainter &painter, const QRect &area)
{
    painter.resetTransform();
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(10);
    painter.setFont(font);
    painter.setPen(QColor(0, 0, 0, 70));
    painter.drawText(area.adjusted(4, 0, -4, -3), Qt::AlignRight | Qt::AlignBottom,
                     QStringLiteral("sample data"));
}

} // namespace

QPointF SampleMap::centre()
{
    return City;
}

// Night keeps every hue and turns light into dark.
static void toNight(QImage &image)
{
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = QColor::fromRgb(line[x]).toHsl();
            line[x] = QColor::fromHsl(c.hslHue(), c.hslSaturation() * 3 / 5,
                                      35 + (255 - c.lightness()) * 3 / 5)
                          .rgb();
        }
    }
}

QImage SampleMap::renderTile(int x, int y, int z, Style style)
{
    QImage image(256, 256, QImage::Format_RGB32);
    image.fill(Background);
    QPainter painter(&image);
    const double scale = std::ldexp(1.0, z - BaseLevel);
    const QRectF view(x * 256.0 / scale, y * 256.0 / scale, 256.0 / scale, 256.0 / scale);
    painter.scale(scale, scale);
    paintCity(painter, view, scale, z);
    markSample(painter, image.rect());
    painter.end();
    if (style == Style::Night)
        toNight(image);
    return image;
}

QByteArray SampleMap::encodeTile(int x, int y, int z, const char *format, Style style)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    renderTile(x, y, z, style).save(&buffer, format);
    return bytes;
}

QImage SampleMap::renderArea(const QRectF &geoRect, QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Background);
    QPainter painter(&image);
    const QRectF view(QPointF(lonToPixel(geoRect.left()), latToPixel(geoRect.top())),
                      QPointF(lonToPixel(geoRect.right()), latToPixel(geoRect.bottom())));
    const double scale = size.width() / view.width();
    painter.scale(scale, size.height() / view.height());
    const int level = qBound(10, BaseLevel + int(std::floor(std::log2(scale))), 17);
    paintCity(painter, view, scale, level);
    markSample(painter, image.rect());
    return image;
}
