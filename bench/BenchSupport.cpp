#include "BenchSupport.h"

#include "SampleMap.h"
#include "TileDatabase.h"

#include <QtCore/QElapsedTimer>
#include <QtCore/QFile>
#include <QtCore/QVariant>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlQuery>
#include <QtWidgets/QAbstractScrollArea>
#include <QtWidgets/QApplication>

#include <algorithm>
#include <cstdio>

void Bench::useOffscreenPlatform()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

void Bench::showFullHd(QAbstractScrollArea *view)
{
    view->setFrameShape(QFrame::NoFrame);
    view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view->resize(1920, 1080);
    view->show();
    QCoreApplication::processEvents();
}

void Bench::freshDatabase(const QString &path)
{
    QFile::remove(path);
    QFile::copy(QStringLiteral(":/db/dbtemplate.sqlitedb"), path);
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

void Bench::withConnection(const QString &name, const QString &path,
                           const std::function<void(QSqlDatabase &)> &fn)
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        db.open();
        fn(db);
    }
    QSqlDatabase::removeDatabase(name);
}

double Bench::median(QVector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    const int n = samples.size();
    return n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

double Bench::timeMedian(int runs, const std::function<void()> &fn)
{
    QVector<double> samples;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        fn();
        samples << timer.nsecsElapsed() / 1e6;
    }
    return median(samples);
}

void Bench::writeSampleDatabase(const QString &path, int z, const QRect &tiles)
{
    writeTileDatabase(path, z, tiles, [](int x, int y, int level) {
        return SampleMap::encodeTile(x, y, level);
    });
}

static long statusField(const char *name)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(name))
            return line.mid(int(qstrlen(name))).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

long Bench::peakRssKb()
{
    return statusField("VmHWM:");
}

long Bench::currentRssKb()
{
    return statusField("VmRSS:");
}

void Bench::printRow(const QString &what, double measured, double baseline, double goal)
{
    const double ratio = measured / baseline;
    std::printf("| %-58s | %9.3f ms | %9.3f ms | %5.2f | <= %.2f %s |\n", qPrintable(what),
                measured, baseline, ratio, goal, ratio <= goal ? "met" : "MISSED");
    std::fflush(stdout);
}
