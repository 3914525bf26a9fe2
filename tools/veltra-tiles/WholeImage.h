#ifndef WHOLEIMAGE_H
#define WHOLEIMAGE_H

#include <QtCore/QByteArray>

// A test of stored bytes cheap enough for copying many tiles: an image file of a tile
// format, from its signature and header to its end marker. An error page, an empty or
// a truncated download fails it; damage inside the image does not, and only decoding
// (verify) finds that.
namespace WholeImage {

bool check(const QByteArray &data);

} // namespace WholeImage

#endif
