#ifndef TILEADDRESSING_H
#define TILEADDRESSING_H

#include "veltrawidgets_global.h"

/**
 * @file TileAddressing.h
 *
 * Web Mercator slippy-map addressing, as OsmView uses it to find its tiles.
 *
 * Level z has 2^z columns and 2^z rows of tiles. Column 0 starts at longitude −180°,
 * row 0 at the northern edge of the map, the latitude about 85.0511° where the Mercator
 * projection is cut off. Longitudes and latitudes are in degrees. Conversions to a
 * column or row truncate toward zero: a point a little west of −180° or north of the
 * map's edge gives 0, not −1.
 *
 * Every function is finite for any input, NaN and infinities included: beyond the poles
 * or far outside the grid the column or row is held within ±2^30, and NaN gives 0.
 */

/**
 * Finds the column of a longitude.
 * @param lon the longitude in degrees
 * @param z the level
 * @return the column at level @p z that holds @p lon; 180° gives 2^z, one past the last
 */
VELTRAWIDGETS_EXPORT int lonToTileX(double lon, int z);
/**
 * Finds the row of a latitude.
 * @param lat the latitude in degrees
 * @param z the level
 * @return the row at level @p z that holds @p lat; the equator is the top edge of row
 *         2^(z−1)
 */
VELTRAWIDGETS_EXPORT int latToTileY(double lat, int z);
/**
 * Finds the western edge of a column.
 * @param x the column
 * @param z the level
 * @return the longitude of the western edge of column @p x at level @p z
 */
VELTRAWIDGETS_EXPORT double tileXToLon(int x, int z);
/**
 * Finds the northern edge of a row.
 * @param y the row
 * @param z the level
 * @return the latitude of the northern edge of row @p y at level @p z: about 85.0511°
 *         for row 0, its negative for row 2^z
 */
VELTRAWIDGETS_EXPORT double tileYToLat(int y, int z);

#endif
