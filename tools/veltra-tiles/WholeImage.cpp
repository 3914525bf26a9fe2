#include "WholeImage.h"

#include "BoundedImageReader.h"
#include "TileImage.h"

#include <QtCore/QtEndian>

#include <cstring>

namespace {

bool fits(quint32 width, quint32 height)
{
    return width > 0 && height > 0 && width <= quint32(TileImage::MaxSide)
        && height <= quint32(TileImage::MaxSide);
}

// Signature, the IHDR chunk first, the IEND chunk last.
bool wholePng(const QByteArray &data)
{
    const uchar *bytes = reinterpret_cast<const uchar *>(data.constData());
    const int size = data.size();
    return size >= 8 + 25 + 12 && std::memcmp(bytes + 8, "\0\0\0\x0dIHDR", 8) == 0
        && std::memcmp(bytes + size - 12, "\0\0\0\0IEND\xae\x42\x60\x82", 12) == 0
        && fits(qFromBigEndian<quint32>(bytes + 16), qFromBigEndian<quint32>(bytes + 20));
}

// The frame header among the segments before the scan, and the end-of-image marker,
// after which some encoders pad.
bool wholeJpeg(const QByteArray &data)
{
    const uchar *bytes = reinterpret_cast<const uchar *>(data.constData());
    if (data.lastIndexOf("\xff\xd9") < qMax(2, data.size() - 32))
        return false;
    for (int at = 2; at + 9 <= data.size() && bytes[at] == 0xff;) {
        const uchar marker = bytes[at + 1];
        const bool frame = marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8
            && marker != 0xcc;
        if (frame)
            return fits(qFromBigEndian<quint16>(bytes + at + 7),
                        qFromBigEndian<quint16>(bytes + at + 5));
        if (marker == 0xda)
            return false;
        at += 2 + qFromBigEndian<quint16>(bytes + at + 2);
    }
    return false;
}

} // namespace

bool WholeImage::check(const QByteArray &data)
{
    const QByteArray format = BoundedImageReader::tiles().acceptedFormat(data);
    if (format == "png")
        return wholePng(data);
    if (format == "jpeg")
        return wholeJpeg(data);
    // WebP, where Qt reads it, has no end marker to look for.
    return format == "webp" && !TileImage::decode(data).isNull();
}
