#ifndef PROGRESS_H
#define PROGRESS_H

#include <QtCore/QCoreApplication>
#include <QtCore/QString>
#include <QtCore/QVector>

// The progress of a run through a known number of tiles on the standard error: a bar
// redrawn in place on a terminal, within its width, or a plain line now and then for a
// log.
class Progress
{
    Q_DECLARE_TR_FUNCTIONS(Progress)

public:
    enum class Style { None, Lines, Bar };

    struct Counts
    {
        qint64 done = 0;
        qint64 failed = 0;
        qint64 bytes = 0;
    };

    // "auto" (a bar on a terminal, lines otherwise), "bar", "lines" or "none"; false for
    // anything else.
    static bool parseStyle(const QString &text, Style *style);

    // total > 0
    Progress(Style style, qint64 total, qint64 intervalMs);

    // Shows the counts if the interval has passed since they were last shown.
    void update(qint64 now, const Counts &counts);
    // A message between updates, on a line of its own.
    void note(const QString &text);
    // The last counts, and the bar's line ended.
    void finish(qint64 now, const Counts &counts);

    // "1.2 MiB"
    static QString bytes(qint64 n);
    // "42 s", "3 min 05 s", "2 h 10 min"
    static QString duration(qint64 msecs);

private:
    struct Field
    {
        int rank; // 0 always shown, the highest dropped first
        QString text;
    };
    QVector<Field> fields(qint64 now, const Counts &counts) const;
    static QString joined(const QVector<Field> &fields);
    // The bar and as many fields as fit width.
    QString barLine(qint64 now, const Counts &counts, int width) const;
    void show(qint64 now, const Counts &counts);

    Style style;
    qint64 total;
    qint64 intervalMs;
    qint64 shownAt = -1;
    bool barOpen = false;
};

#endif
