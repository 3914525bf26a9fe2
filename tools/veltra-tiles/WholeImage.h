#ifndef WHOLEIMAGE_H
#define WHOLEIMAGE_H

#include <QtCore/QByteArray>

// A test of tile bytes cheap enough for copying and fetching many tiles: an image the tile
// reader would decode (format, declared size and decoding work within its bounds), whole to
// its end marker for PNG, JPEG and GIF; images of other formats are decoded. An error page,
// an empty or a cut-off download fails it, and so does a file verify would refuse; damage
// inside a PNG, JPEG or GIF does not, and only decoding (verify) finds that.
namespace WholeImage {

bool check(const QByteArray &data);

} // namespace WholeImage

#endif
