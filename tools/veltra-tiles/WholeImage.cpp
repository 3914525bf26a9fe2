#include "WholeImage.h"

#include "BoundedImageReader.h"
#include "TileImage.h"

#include <QtCore/QtEndian>

namespace {

quint32 bigEndian32(const QByteArray &data, int at)
{
    return qFromBigEndian<quint32>(data.constData() + at);
}

bool wholePng(const QByteArray &data)
{
    // Signature, the IHDR chunk first, the IEND chunk last.
    if (data.size() < 8 + 25 + 12 || data.mid(8, 8) != QByteArray("\0\0\0\x0dIHDR", 8)
        || !data.endsWith(QByteArray("\0\0\0\0IEND\xae\x42\x60\x82", 12)))
        return false;
    const quint32 width = bigEndian32(data, 16);
    const quint32 height = bigEndian32(data, 20);
    return width > 0 && height > 0 && width <= quint32(TileImage::MaxSide)
        && height <= quint32(TileImage::MaxSide);
}

bool wholeJpeg(const QByteArray &data)
{
    // The end-of-image marker; some encoders pad after it.
    return data.lastIndexOf("\xff\xd9") >= qMax(3, data.size() - 32);
}

bool wholeWebp(const QByteArray &data)
{
    const quint32 riffSize = qFromLittleEndian<quint32>(data.constData() + 4);
    return quint64(riffSize) + 8 == quint64(data.size())
        || quint64(riffSize) + 9 == quint64(data.size()); // a pad byte
}

} // namespace

bool WholeImage::check(const QByteArray &data)
{
    const QByteArray format = BoundedImageReader::tiles().acceptedFormat(data);
    if (format == "png")
        return wholePng(data);
    if (format == "jpeg")
        return wholeJpeg(data);
    if (format == "webp")
        return wholeWebp(data);
    return false;
}
