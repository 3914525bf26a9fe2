#ifndef SAMPLEMAP_H
#define SAMPLEMAP_H

#include <QtCore/QByteArray>
#include <QtCore/QPointF>
#include <QtCore/QRectF>
#include <QtGui/QImage>

// A made-up city, drawn deterministically: avenues, streets and lanes in a jittered
// grid, blocks, parks, a river and labels, every tile marked as sample data. The
// demo's offline maps and the benchmarks' realistic tiles come from here.
namespace SampleMap {

// Longitude and latitude of the city's centre.
QPointF centre();

enum class Style { Day, Night };

QImage renderTile(int x, int y, int z, Style style = Style::Day);
QByteArray encodeTile(int x, int y, int z, const char *format = "PNG", Style style = Style::Day);

// The city over a geographic rectangle (west, north, east, south as left, top,
// right, bottom) in Web Mercator, at a given pixel size.
QImage renderArea(const QRectF &geoRect, QSize size);

} // namespace SampleMap

#endif
