#include "TestTiles.h"

#include <QtCore/QBuffer>
#include <QtCore/QDir>
#include <QtCore/QtEndian>

#include <cstdlib>
#include <zlib.h>

namespace {

// One colour, every pixel an 8-bit LZW literal; a clear code before the codes grow to 10
// bits keeps them all 9 bits wide.
QByteArray flatGif(const QColor &colour, int side)
{
    QByteArray codes;
    quint32 accum = 0;
    int bits = 0;
    auto put = [&](int code) {
        accum |= quint32(code) << bits;
        for (bits += 9; bits >= 8; bits -= 8, accum >>= 8)
            codes += char(accum & 0xff);
    };
    for (int i = 0; i < side * side; ++i) {
        if (i % 254 == 0)
            put(256);
        put(0);
    }
    put(257);
    if (bits > 0)
        codes += char(accum & 0xff);
    QByteArray gif("GIF89a", 6);
    const char screen[] = {
        char(side & 0xff), char(side >> 8), char(side & 0xff), char(side >> 8), char(0x87), 0, 0};
    gif += QByteArray(screen, 7) + QByteArray(3 * 256, '\0');
    gif[13] = char(colour.red()), gif[14] = char(colour.green()), gif[15] = char(colour.blue());
    gif += ',' + QByteArray(4, '\0') + QByteArray(screen, 4) + QByteArray(1, '\0') + '\x08';
    for (int at = 0; at < codes.size(); at += 255)
        gif += char(qMin(255, codes.size() - at)) + codes.mid(at, 255);
    return gif + QByteArray("\0;", 2);
}

} // namespace

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

// PNGs are written by hand rather than through QImage::save: thousands of tiles in a test
// then cost milliseconds, not seconds. The first row repeats its first pixel (filter
// Sub), every other row repeats the one above (filter Up).
QByteArray TestTiles::encoded(int x, int y, int z, const char *format, int side)
{
    if (qstricmp(format, "PNG") == 0) {
        const QColor c = colourOf(x, y, z);
        QByteArray rows(side * (1 + 3 * side), '\0');
        const char first[] = {1, char(c.red()), char(c.green()), char(c.blue())};
        rows.replace(0, 4, QByteArray(first, 4));
        for (int row = 1; row < side; ++row)
            rows[row * (1 + 3 * side)] = 2;
        const QByteArray head = bigEndian(side) + bigEndian(side) + QByteArray("\x08\x02\0\0\0", 5);
        return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", head)
            + pngChunk("IDAT", qCompress(rows, 1).mid(4)) + pngChunk("IEND", {});
    }
    if (qstricmp(format, "GIF") == 0) // Qt has no GIF writer
        return flatGif(colourOf(x, y, z), side);
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    image(x, y, z, side).save(&buffer, format, 100);
    return buffer.data();
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

QByteArray TestTiles::bigEndian(quint32 value)
{
    QByteArray bytes(4, '\0');
    qToBigEndian(value, bytes.data());
    return bytes;
}

QByteArray TestTiles::pngChunk(const QByteArray &type, const QByteArray &data)
{
    const QByteArray checked = type + data;
    const uLong crc = crc32(0, reinterpret_cast<const Bytef *>(checked.data()),
                            uInt(checked.size()));
    return bigEndian(quint32(data.size())) + checked + bigEndian(quint32(crc));
}
