#include "BoundedImageReader.h"

#include <QtCore/QBuffer>
#include <QtCore/QFile>
#include <QtGui/QImageReader>

namespace {

constexpr int TileMaxSide = 1024;

quint16 littleEndian16(const QByteArray &bytes, int at)
{
    return quint16(uchar(bytes.at(at)) | uchar(bytes.at(at + 1)) << 8);
}

// Qt's GIF decoder allocates the logical screen and places every frame on it, and
// neither has to match what the first frame's header says; every declared extent is
// read here before anything is decoded. False for a truncated or malformed stream.
bool gifExtentsFit(const QByteArray &bytes, QSize maxSize)
{
    if (bytes.size() < 13)
        return false;
    if (littleEndian16(bytes, 6) > maxSize.width() || littleEndian16(bytes, 8) > maxSize.height())
        return false;
    int at = 13;
    const uchar screenFlags = uchar(bytes.at(10));
    if (screenFlags & 0x80)
        at += 3 << ((screenFlags & 7) + 1);
    auto skipSubBlocks = [&bytes, &at] {
        while (at < bytes.size()) {
            const int length = uchar(bytes.at(at++));
            if (length == 0)
                return true;
            at += length;
        }
        return false;
    };
    while (at < bytes.size()) {
        const uchar introducer = uchar(bytes.at(at++));
        if (introducer == 0x3B)
            return true;
        if (introducer == 0x21) {
            ++at;
            if (!skipSubBlocks())
                return false;
        } else if (introducer == 0x2C) {
            if (at + 9 > bytes.size())
                return false;
            const int right = littleEndian16(bytes, at) + littleEndian16(bytes, at + 4);
            const int bottom = littleEndian16(bytes, at + 2) + littleEndian16(bytes, at + 6);
            if (right > maxSize.width() || bottom > maxSize.height())
                return false;
            const uchar frameFlags = uchar(bytes.at(at + 8));
            at += 9;
            if (frameFlags & 0x80)
                at += 3 << ((frameFlags & 7) + 1);
            ++at; // LZW minimum code size
            if (!skipSubBlocks())
                return false;
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

BoundedImageReader::BoundedImageReader(const QList<QByteArray> &formats, QSize maxSize,
                                       qint64 maxBytes)
    : formats(formats), maxSize(maxSize), maxBytes(maxBytes)
{
}

const BoundedImageReader &BoundedImageReader::tiles()
{
    static const BoundedImageReader reader = [] {
        QList<QByteArray> formats{QByteArrayLiteral("png"), QByteArrayLiteral("jpeg")};
        if (QImageReader::supportedImageFormats().contains("webp"))
            formats.append(QByteArrayLiteral("webp"));
        return BoundedImageReader(formats, QSize(TileMaxSide, TileMaxSide),
                                  qint64(TileMaxSide) * TileMaxSide * 4);
    }();
    return reader;
}

QByteArray BoundedImageReader::formatOf(const QByteArray &head)
{
    if (head.startsWith("\x89PNG\r\n\x1a\n"))
        return QByteArrayLiteral("png");
    if (head.startsWith("\xff\xd8\xff"))
        return QByteArrayLiteral("jpeg");
    if (head.size() >= 12 && head.startsWith("RIFF") && head.mid(8, 4) == "WEBP")
        return QByteArrayLiteral("webp");
    if (head.startsWith("GIF87a") || head.startsWith("GIF89a"))
        return QByteArrayLiteral("gif");
    if (head.startsWith("BM"))
        return QByteArrayLiteral("bmp");
    return QByteArray();
}

QByteArray BoundedImageReader::acceptedFormat(const QByteArray &head) const
{
    const QByteArray format = formatOf(head);
    return formats.contains(format) ? format : QByteArray();
}

bool BoundedImageReader::fits(QSize size) const
{
    return size.isValid() && !size.isEmpty() && size.width() <= maxSize.width()
        && size.height() <= maxSize.height() && qint64(size.width()) * size.height() * 4 <= maxBytes;
}

QImage BoundedImageReader::read(const QByteArray &data) const
{
    const QByteArray format = acceptedFormat(data);
    if (format.isEmpty())
        return QImage();
    if (format == "gif" && !gifExtentsFit(data, maxSize))
        return QImage();

    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, format);
    reader.setAutoDetectImageFormat(false);
    reader.setDecideFormatFromContent(false);
    if (!fits(reader.size()))
        return QImage();
    QImage image = reader.read();
    if (image.isNull() || !fits(image.size()) || image.sizeInBytes() > maxBytes)
        return QImage();
    return image;
}

QImage BoundedImageReader::read(QIODevice *device) const
{
    if (!device)
        return QImage();
    // Compressed data larger than the decoded budget is not an image this reader takes.
    const QByteArray data = device->read(maxBytes + 1);
    if (data.size() > maxBytes)
        return QImage();
    return read(data);
}

QImage BoundedImageReader::readFile(const QString &path) const
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QImage();
    return read(&file);
}
