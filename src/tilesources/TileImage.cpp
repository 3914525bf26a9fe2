#include "TileImage.h"

#include "BoundedImageReader.h"

#include <QtCore/QBuffer>
#include <QtCore/QStringList>

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

QStringList TileImage::fileSuffixes()
{
    static const QStringList suffixes = [] {
        QStringList list{QStringLiteral("png"), QStringLiteral("jpg")};
        for (const QByteArray &format : BoundedImageReader::rasterFormats()) {
            if (!list.contains(QLatin1String(format)))
                list << QString::fromLatin1(format);
        }
        if (list.contains(QLatin1String("tiff")))
            list << QStringLiteral("tif");
        return list;
    }();
    return suffixes;
}

QPixmap TileImage::toPixmap(QImage image)
{
    if (image.isNull())
        return QPixmap();
    return QPixmap::fromImage(std::move(image));
}

QByteArray TileImage::encode(const QPixmap &pixmap, const char *format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!pixmap.save(&buffer, format, -1))
        return QByteArray();
    return bytes;
}
