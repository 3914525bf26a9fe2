#include "TestTiles.h"

#include <QtCore/QBuffer>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QString>

#include <cstdlib>

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

QByteArray TestTiles::encoded(int x, int y, int z, const char *format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image(x, y, z).save(&buffer, format, 100);
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
