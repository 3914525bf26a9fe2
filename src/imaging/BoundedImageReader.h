#ifndef BOUNDEDIMAGEREADER_H
#define BOUNDEDIMAGEREADER_H

#include <QtCore/QByteArray>
#include <QtCore/QList>
#include <QtCore/QSize>
#include <QtGui/QImage>

class QIODevice;
class QString;

// Decodes images from bytes nobody vouches for: tile servers, map files, host paths.
// The decoder is chosen from the bytes' signature among an allowed list (never by
// asking every image plug-in), and both the size the header declares and the size
// actually decoded are bounded, so a few bytes cannot claim gigabytes.
class BoundedImageReader
{
public:
    BoundedImageReader(const QList<QByteArray> &formats, QSize maxSize, qint64 maxBytes);

    // Tiles: PNG, JPEG and, where the plug-in is installed, WebP; at most 1024 x 1024.
    static const BoundedImageReader &tiles();

    // "png", "jpeg", "webp", "gif" or "bmp" from the first bytes; empty when none.
    static QByteArray formatOf(const QByteArray &head);

    // The format the bytes would be decoded as; empty when they would be refused.
    QByteArray acceptedFormat(const QByteArray &head) const;

    QImage read(const QByteArray &data) const;
    QImage read(QIODevice *device) const;
    QImage readFile(const QString &path) const;

private:
    bool fits(QSize size) const;
    bool headerFits(const QByteArray &format, const QByteArray &head) const;

    QList<QByteArray> formats;
    QSize maxSize;
    qint64 maxBytes;
};

#endif
