#include "Progress.h"

#include <QtCore/QLocale>

#include <cstdio>

#include <unistd.h>

namespace {

constexpr int BarWidth = 24;

} // namespace

bool Progress::parseStyle(const QString &text, Style *style)
{
    if (text == QLatin1String("auto"))
        *style = isatty(STDERR_FILENO) ? Style::Bar : Style::Lines;
    else if (text == QLatin1String("bar"))
        *style = Style::Bar;
    else if (text == QLatin1String("lines"))
        *style = Style::Lines;
    else if (text == QLatin1String("none"))
        *style = Style::None;
    else
        return false;
    return true;
}

Progress::Progress(Style style, qint64 total, qint64 intervalMs)
    : style(style), total(total), intervalMs(intervalMs)
{ }

QString Progress::bytes(qint64 n)
{
    return QLocale::c().formattedDataSize(n, 1);
}

QString Progress::duration(qint64 msecs)
{
    const qint64 s = msecs / 1000;
    if (s < 60)
        return tr("%1 s").arg(double(msecs) / 1000, 0, 'f', 1);
    if (s < 3600)
        return tr("%1 min %2 s").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
    return tr("%1 h %2 min").arg(s / 3600).arg(s / 60 % 60, 2, 10, QLatin1Char('0'));
}

QString Progress::line(qint64 now, const Counts &counts) const
{
    const qint64 finished = counts.done + counts.failed;
    const double perSecond = now > 0 ? finished * 1000.0 / now : 0;
    QString text = tr("%1/%2 tiles").arg(counts.done).arg(total);
    if (counts.failed)
        text += tr(", %1 failed").arg(counts.failed);
    text += tr(", %1 tiles/s, %2").arg(perSecond, 0, 'f', 1).arg(bytes(counts.bytes));
    if (perSecond > 0 && finished < total)
        text += tr(", ETA %1").arg(duration(qint64((total - finished) / perSecond * 1000)));
    return text;
}

void Progress::show(qint64 now, const Counts &counts)
{
    shownAt = now;
    if (style == Style::Lines) {
        std::fprintf(stderr, "%s\n", qPrintable(line(now, counts)));
    } else if (style == Style::Bar) {
        const int filled = int(qMin(total, counts.done + counts.failed) * BarWidth / total);
        const QString bar = QString(filled, QLatin1Char('#'))
            + QString(BarWidth - filled, QLatin1Char('.'));
        // Clears what a longer line before left behind.
        std::fprintf(stderr, "\r[%s] %s\033[K", qPrintable(bar), qPrintable(line(now, counts)));
        barOpen = true;
    }
}

void Progress::update(qint64 now, const Counts &counts)
{
    if (style != Style::None && (shownAt < 0 || now - shownAt >= intervalMs))
        show(now, counts);
}

void Progress::note(const QString &text)
{
    if (barOpen)
        std::fputc('\n', stderr);
    barOpen = false;
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

void Progress::finish(qint64 now, const Counts &counts)
{
    if (style == Style::Bar)
        show(now, counts);
    if (barOpen)
        std::fputc('\n', stderr);
    barOpen = false;
}
