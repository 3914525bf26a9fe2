#ifndef TILEADDRESSING_H
#define TILEADDRESSING_H

#include "veltrawidgets_global.h"

// Web Mercator slippy-map addressing: column 0 starts at -180 degrees, row 0 at the
// northern edge, 2^z columns and rows at level z. Results are truncated toward zero.
// Every function is finite for any input; beyond the poles or far outside the grid
// the column or row is clamped to a range that still fits an int.

VELTRAWIDGETS_EXPORT int lonToTileX(double lon, int z);
VELTRAWIDGETS_EXPORT int latToTileY(double lat, int z);
VELTRAWIDGETS_EXPORT double tileXToLon(int x, int z);
VELTRAWIDGETS_EXPORT double tileYToLat(int y, int z);

#endif
