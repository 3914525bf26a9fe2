#ifndef INTERSECTIONPICTURES_H
#define INTERSECTIONPICTURES_H

#include <QtCore/QString>
#include <QtCore/QStringList>

// SVG pictures of a four-way intersection for the reference host: the plan, and for
// each phase the movements it lets go, drawn in the plan's 400 x 400 coordinates.
namespace IntersectionPictures {

QString schemeSvg();
// Phases 1 to 4: north-south through, east-west through, left turns, pedestrians.
QString phaseSvg(int phase);
// A plan with about `paths` separate path elements, for measuring.
QString detailedSchemeSvg(int paths);

// Writes <dir>/<name>.svg and <dir>/<name>-p<N>.svg for phases 1 to phaseCount;
// returns the scheme's file name followed by the phases' file names.
QStringList writeSet(const QString &dir, const QString &name, int phaseCount);

} // namespace IntersectionPictures

#endif
