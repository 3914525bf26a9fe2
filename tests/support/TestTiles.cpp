#include "TestTiles.h"

#include <QtCore/QBuffer>
#include <QtCore/QDataStream>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QString>

#include <cstdlib>
#include <zlib.h>

QColor TestTiles::colourOf(int x, int y, int z)
{
    return QColor(x & 0xff, y & 0xff, (z * 12 + 7) & 0xff);
}

QImage TestTiles::image(int x, int y, int z, int side)
{
    QImage img(side, side, QImage::Format_RGB32);
    img.fill(colourOf(x, y, z));
    return img;
}

QByteArray TestTiles::encoded(int x, int y, int z, const char *format, int side)
{
    if (qstricmp(format, "PNG") == 0)
        return flatPng(colourOf(x, y, z), side);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image(x, y, z, side).save(&buffer, format, 100);
    return bytes;
}

void TestTiles::writeTree(const QString &root, int z, int x0, int x1, int y0, int y1,
                          const char *format, const char *suffix)
{
    for (int x = x0; x <= x1; ++x) {
        const QString dir = QStringLiteral("%1/%2/%3").arg(root).arg(z).arg(x);
        QDir().mkpath(dir);
        for (int y = y0; y <= y1; ++y) {
            QFile file(QStringLiteral("%1/%2.%3").arg(dir).arg(y).arg(QLatin1String(suffix)));
            if (file.open(QIODevice::WriteOnly))
                file.write(encoded(x, y, z, format));
        }
    }
}

bool TestTiles::sameColour(const QColor &a, const QColor &b, int tolerance)
{
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance
        && std::abs(a.blue() - b.blue()) <= tolerance;
}

namespace {

// An RGB PNG of side x side pixels around the given zlib image data.
QByteArray png(int side, const QByteArray &zlibData)
{
    auto chunk = [](const QByteArray &type, const QByteArray &data) {
        QByteArray out;
        QDataStream s(&out, QIODevice::WriteOnly);
        s << quint32(data.size());
        s.writeRawData(type.constData(), type.size());
        s.writeRawData(data.constData(), data.size());
        const QByteArray checked = type + data;
        s << quint32(
            crc32(0, reinterpret_cast<const Bytef *>(checked.constData()), uInt(checked.size())));
        return out;
    };
    QByteArray ihdr;
    QDataStream s(&ihdr, QIODevice::WriteOnly);
    s << quint32(side) << quint32(side) << quint8(8) << quint8(2) << quint8(0) << quint8(0)
      << quint8(0);
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", ihdr) + chunk("IDAT", zlibData)
        + chunk("IEND", {});
}

} // namespace

// Written by hand rather than through QImage::save: thousands of tiles in a test then
// cost milliseconds, not seconds. The first row repeats its first pixel (filter Sub),
// every other row repeats the one above (filter Up).
QByteArray TestTiles::flatPng(const QColor &colour, int side)
{
    QByteArray rows(side * (1 + 3 * side), '\0');
    rows[0] = 1;
    rows[1] = char(colour.red());
    rows[2] = char(colour.green());
    rows[3] = char(colour.blue());
    for (int y = 1; y < side; ++y)
        rows[y * (1 + 3 * side)] = 2;
    return png(side, qCompress(rows, 1).mid(4));
}

QByteArray TestTiles::pngDeclaring(int side)
{
    return png(side, QByteArray::fromHex("789c636000000002000148"));
}
