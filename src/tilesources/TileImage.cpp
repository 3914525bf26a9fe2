#include "TileImage.h"

#include "BoundedImageReader.h"

QImage TileImage::decode(QIODevice *device)
{
    return BoundedImageReader::tiles().read(device);
}

QImage TileImage::decode(const QByteArray &data)
{
    return BoundedImageReader::tiles().read(data);
}

QImage TileImage::decodeFile(const QString &path)
{
    return BoundedImageReader::tiles().readFile(path);
}

QPixmap TileImage::toPixmap(QImage image)
{
    if (image.isNull())
        return QPixmap();
    return QPixmap::fromImage(std::move(image));
}
