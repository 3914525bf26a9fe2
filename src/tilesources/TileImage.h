#ifndef TILEIMAGE_H
#define TILEIMAGE_H

#include <QtCore/QStringList>
#include <QtGui/QImage>
#include <QtGui/QPixmap>

class QIODevice;
class QString;

// Decoding of tile images that come from files, databases and servers: any raster format
// told by the bytes, at most MaxSide a side declared and decoded, and no more work than a
// plain image of that size takes (BoundedImageReader::tiles()). Safe on any thread.
namespace TileImage {

// The largest tile side: four 256-pixel tiles across, as high-resolution servers send.
constexpr int MaxSide = 1024;

QImage decode(QIODevice *device);
QImage decode(const QByteArray &data);
QImage decodeFile(const QString &path);
QPixmap toPixmap(QImage image);
// The extensions a tile file may have, the common ones first.
QStringList fileSuffixes();
// The pixmap encoded as a file of the given format; empty when the format has no writer.
QByteArray encode(const QPixmap &pixmap, const char *format);

} // namespace TileImage

#endif
