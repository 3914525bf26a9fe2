#ifndef BOUNDEDIMAGEREADER_H
#define BOUNDEDIMAGEREADER_H

#include "ImageSurvey.h"

#include <QtCore/QByteArray>
#include <QtCore/QList>
#include <QtCore/QSize>
#include <QtGui/QImage>

class QIODevice;
class QString;

// Decodes images from bytes nobody vouches for: tile servers, map files, host paths.
// The format is decided by the bytes, never by a file name, among raster formats whose size
// is read before decoding; the size declared, the work of decoding (ImageSurvey) and the
// size actually decoded are all bounded, so that a few bytes can claim neither gigabytes nor
// seconds. Vector formats (SVG) are never read here. Holds no mutable state: one reader may
// decode on several threads at once.
class BoundedImageReader
{
public:
    BoundedImageReader(const QList<QByteArray> &formats, QSize maxSize, qint64 maxBytes);
    // Every format of rasterFormats().
    BoundedImageReader(QSize maxSize, qint64 maxBytes);

    // Tiles: every raster format, at most TileImage::MaxSide a side.
    static const BoundedImageReader &tiles();

    // The raster formats that the installed image plug-ins decode and that are surveyed
    // here: "png", "jpeg", "gif", "bmp", "ico", "pbm", "pgm", "ppm", "xbm", "xpm", and
    // "tiff", "webp" and "tga" where their plug-ins are installed.
    static QList<QByteArray> rasterFormats();

    // The format named by the first bytes' signature (see ImageSurvey::formatOf).
    static QByteArray formatOf(const QByteArray &head);

    // What decoding these bytes would take, refused when beyond this reader's bounds.
    ImageSurvey survey(const QByteArray &data) const;

    // The format the bytes would be decoded as; empty when they would be refused.
    QByteArray acceptedFormat(const QByteArray &data) const;

    QImage read(const QByteArray &data) const;
    QImage read(QIODevice *device) const;
    QImage readFile(const QString &path) const;

private:
    bool fits(QSize size) const;
    QImage decode(const QByteArray &data, const ImageSurvey &survey) const;
    QByteArray contentFormat(const QByteArray &data) const;

    QList<QByteArray> formats;
    QSize maxSize;
    qint64 maxBytes;
};

#endif
