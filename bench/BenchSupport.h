#ifndef BENCHSUPPORT_H
#define BENCHSUPPORT_H

#include <QtCore/QRect>
#include <QtCore/QString>
#include <QtCore/QVector>

#include <functional>

class QAbstractScrollArea;

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
// Peak resident set size of this process, in KiB.
long peakRssKb();
long currentRssKb();
void printRow(const QString &what, double measured, double baseline, double goal);

} // namespace Bench

#endif
