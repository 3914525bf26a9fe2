#include "TilesFromFile.h"

#include "TileImage.h"

#include <QtCore/QBuffer>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtGui/QImageReader>

struct TilesFromFile::Private
{
    QString basePath;
    QString suffix;
};

TilesFromFile::TilesFromFile(const QString &basePath) : d(new Private)
{
    d->basePath = basePath;
}

TilesFromFile::~TilesFromFile() = default;

QString TilesFromFile::suffix() const
{
    return d->suffix;
}

QString TilesFromFile::tileFilePath(const TileKey &key)
{
    QDir dir(QStringLiteral("%1/%2/%3").arg(d->basePath).arg(key.z).arg(key.x));
    dir.mkpath(QStringLiteral("."));
    return dir.absoluteFilePath(QStringLiteral("%1.%2").arg(key.y).arg(d->suffix));
}

QPixmap TilesFromFile::pixmap(const TileKey &key)
{
    const QString path = QStringLiteral("%1/%2/%3/%4.%5")
                             .arg(d->basePath)
                             .arg(key.z)
                             .arg(key.x)
                             .arg(key.y)
                             .arg(d->suffix);
    if (QFile::exists(path))
        return TileImage::toPixmap(TileImage::decodeFile(path));

    const QFileInfo info(path);
    const QString stem = info.dir().filePath(info.completeBaseName()) + QLatin1Char('.');
    const QList<QByteArray> formats = QImageReader::supportedImageFormats();
    for (const QByteArray &format : formats) {
        const QString candidate = stem + QString::fromLatin1(format);
        if (!QFile::exists(candidate))
            continue;
        QImage image = TileImage::decodeFile(candidate);
        if (!image.isNull()) {
            d->suffix = QString::fromLatin1(format);
            return TileImage::toPixmap(std::move(image));
        }
    }
    return QPixmap();
}

QPixmap TilesFromFile::pixmap(int x, int y, int z)
{
    return pixmap(TileKey(x, y, z));
}

void TilesFromFile::setData(const TileKey &key, QByteArray data)
{
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    d->suffix = QString::fromLatin1(QImageReader(&buffer).format());

    QFile file(tileFilePath(key));
    if (file.open(QIODevice::WriteOnly)) {
        file.write(data);
        file.close();
    }
}

void TilesFromFile::setData(int x, int y, int z, QByteArray data)
{
    setData(TileKey(x, y, z), std::move(data));
}

void TilesFromFile::setPixmap(const TileKey &key, QPixmap pixmap)
{
    if (d->suffix.isEmpty())
        d->suffix = QStringLiteral("png");
    pixmap.save(tileFilePath(key), nullptr, -1);
}

void TilesFromFile::setPixmap(int x, int y, int z, QPixmap pixmap)
{
    setPixmap(TileKey(x, y, z), std::move(pixmap));
}

bool TilesFromFile::contains(const TileKey &key)
{
    return QFile::exists(tileFilePath(key));
}

bool TilesFromFile::contains(int x, int y, int z)
{
    return contains(TileKey(x, y, z));
}

QDateTime TilesFromFile::lastModified(const TileKey &key)
{
    return QFileInfo(tileFilePath(key)).lastModified();
}

QDateTime TilesFromFile::lastModified(int x, int y, int z)
{
    return lastModified(TileKey(x, y, z));
}
