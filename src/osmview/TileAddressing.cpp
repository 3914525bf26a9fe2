#include "TileAddressing.h"

#include <cmath>

namespace {

// 2^30 leaves head room for the callers' +1 and range arithmetic.
constexpr double TileIndexLimit = 1073741824.0;

double levelSize(int z)
{
    return std::ldexp(1.0, z);
}

int truncateToIndex(double v)
{
    if (std::isnan(v))
        return 0;
    return int(qBound(-TileIndexLimit, v, TileIndexLimit));
}

} // namespace

int lonToTileX(double lon, int z)
{
    return truncateToIndex((lon + 180.0) / 360.0 * levelSize(z));
}

int latToTileY(double lat, int z)
{
    double merc;
    if (std::abs(lat) < 90.0) {
        const double phi = lat * 0.017453292519943295;
        merc = std::log(std::tan(phi) + 1.0 / std::cos(phi));
    } else if (std::isnan(lat)) {
        return 0;
    } else {
        // ln(tan + sec) has no real value past the poles and cancels to nothing at
        // the south pole; asinh(tan) is the same function, stable at the pole.
        merc = std::asinh(std::tan(std::copysign(90.0, lat) * 0.017453292519943295));
    }
    return truncateToIndex((0.5 - merc / 6.283185307179586) * levelSize(z));
}

double tileXToLon(int x, int z)
{
    return x * 360.0 / levelSize(z) - 180.0;
}

double tileYToLat(int y, int z)
{
    const double t = 3.141592653589793 - y * 6.283185307179586 / levelSize(z);
    return std::atan((std::exp(t) - std::exp(-t)) * 0.5) * 57.29577951308232;
}
