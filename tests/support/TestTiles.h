#ifndef TESTTILES_H
#define TESTTILES_H

#include <QtCore/QByteArray>
#include <QtGui/QColor>
#include <QtGui/QImage>

class QString;

// Tiles for tests: each is one flat colour that encodes its column, row and level,
// so a pixel read back from a viewport names the tile that was drawn there.
namespace TestTiles {

QColor colourOf(int x, int y, int z);
QImage image(int x, int y, int z, int side = 256);
QByteArray encoded(int x, int y, int z, const char *format = "PNG", int side = 256);
// Writes the tiles of [x0, x1] x [y0, y1] at level z into a z/x/y.suffix tree.
void writeTree(const QString &root, int z, int x0, int x1, int y0, int y1,
               const char *format = "PNG", const char *suffix = "png");
bool sameColour(const QColor &a, const QColor &b, int tolerance = 2);
// Four bytes, most significant first, as PNG and JPEG headers write numbers.
QByteArray bigEndian(quint32 value);
// One PNG chunk: its length, type, data and checksum.
QByteArray pngChunk(const QByteArray &type, const QByteArray &data);

} // namespace TestTiles

#endif
