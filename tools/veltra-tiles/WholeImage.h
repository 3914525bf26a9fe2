#ifndef WHOLEIMAGE_H
#define WHOLEIMAGE_H

#include <QtCore/QByteArray>

// A test of tile bytes cheap enough for copying and fetching many tiles: a PNG or JPEG
// file whose header declares at most 1024 x 1024 pixels, whole to its end marker (WebP
// is decoded). An error page, an empty or a cut-off download fails it; damage inside the
// image does not, and only decoding (verify) finds that.
namespace WholeImage {

bool check(const QByteArray &data);

} // namespace WholeImage

#endif
