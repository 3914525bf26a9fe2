#ifndef BENCHSUPPORT_H
#define BENCHSUPPORT_H

#include <QtCore/QRect>
#include <QtCore/QString>
#include <QtCore/QVector>

#include <functional>

class QAbstractScrollArea;
class QSqlDatabase;

namespace Bench {

// Benchmarks run on the offscreen platform unless told otherwise; call before the
// application object exists.
void useOffscreenPlatform();
// A frameless 1920 x 1080 view without scroll bars, shown.
void showFullHd(QAbstractScrollArea *view);

// Median of the given samples, in milliseconds.
double median(QVector<double> samples);
// Runs fn `runs` times and returns the median wall time in milliseconds.
double timeMedian(int runs, const std::function<void()> &fn);
// Writes SampleMap tiles for the inclusive range at level z into a new tile database.
void writeSampleDatabase(const QString &path, int z, const QRect &tiles);
// An empty tile database from the library's template, replacing whatever is at path.
void freshDatabase(const QString &path);
// Runs fn on a connection of its own to path and removes the connection afterwards.
void withConnection(const QString &name, const QString &path,
                    const std::function<void(QSqlDatabase &)> &fn);
// Peak resident set size of this process, in KiB.
long peakRssKb();
long currentRssKb();
void printRow(const QString &what, double measured, double baseline, double goal);

} // namespace Bench

#endif
