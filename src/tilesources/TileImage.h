#ifndef TILEIMAGE_H
#define TILEIMAGE_H

#include <QtGui/QImage>
#include <QtGui/QPixmap>

class QIODevice;
class QString;

// Decoding of tile images that come from files, databases and servers: raster formats
// chosen from the bytes' signature, at most 1024 x 1024 declared and decoded.
namespace TileImage {

constexpr int MaxSide = 1024;

QImage decode(QIODevice *device);
QImage decode(const QByteArray &data);
QImage decodeFile(const QString &path);
QPixmap toPixmap(QImage image);
// The pixmap encoded as a file of the given format; empty when the format has no writer.
QByteArray encode(const QPixmap &pixmap, const char *format);

} // namespace TileImage

#endif
