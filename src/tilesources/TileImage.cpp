#include "TileImage.h"

#include <QtCore/QBuffer>
#include <QtGui/QImageReader>

namespace {

QImage readBounded(QImageReader &reader)
{
    const QSize size = reader.size();
    if (!size.isValid() || size.width() > TileImage::MaxSide
        || size.height() > TileImage::MaxSide)
        return QImage();
    return reader.read();
}

} // namespace

QImage TileImage::decode(QIODevice *device)
{
    QImageReader reader(device);
    return readBounded(reader);
}

QImage TileImage::decode(const QByteArray &data)
{
    if (data.isEmpty())
        return QImage();
    QBuffer buffer;
    buffer.setData(data);
    if (!buffer.open(QIODevice::ReadOnly))
        return QImage();
    return decode(&buffer);
}

QImage TileImage::decodeFile(const QString &path)
{
    QImageReader reader(path);
    return readBounded(reader);
}

QPixmap TileImage::toPixmap(QImage image)
{
    if (image.isNull())
        return QPixmap();
    return QPixmap::fromImage(std::move(image));
}
