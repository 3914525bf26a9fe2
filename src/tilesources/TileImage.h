#ifndef TILEIMAGE_H
#define TILEIMAGE_H

#include <QtGui/QImage>
#include <QtGui/QPixmap>

class QIODevice;
class QString;

// Decoding of tile images that come from files, databases and servers. The declared
// size is read from the header before anything is allocated, so a small file that
// declares a huge image costs nothing.
namespace TileImage {

constexpr int MaxSide = 4096;

QImage decode(QIODevice *device);
QImage decode(const QByteArray &data);
QImage decodeFile(const QString &path);
QPixmap toPixmap(QImage image);

} // namespace TileImage

#endif
