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

QByteArray TestTiles::pngDeclaring(int side)
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
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", ihdr)
        + chunk("IDAT", QByteArray::fromHex("789c636000000002000148")) + chunk("IEND", {});
}
