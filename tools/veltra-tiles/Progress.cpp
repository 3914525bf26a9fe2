#include "Progress.h"

#include "Console.h"

#include <QtCore/QLocale>
#include <QtCore/QStringList>

#include <cstdio>

#include <unistd.h>

namespace {

constexpr int BarWidth = 24;
constexpr int ShortestBar = 10;
// A bar forced onto a file or a pipe.
constexpr int DefaultColumns = 80;

} // namespace

bool Progress::parseStyle(const QString &text, Style *style)
{
    if (text == QLatin1String("auto"))
        *style = isatty(fileno(Console::errorStream())) ? Style::Bar : Style::Lines;
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

QVector<Progress::Field> Progress::fields(qint64 now, const Counts &counts) const
{
    const qint64 finished = counts.done + counts.failed;
    const double perSecond = now > 0 ? finished * 1000.0 / now : 0;
    // Where the bar leaves too little room, the bytes go first, then the rate, then the ETA.
    QVector<Field> fields{{0, tr("%1/%2 tiles").arg(counts.done).arg(total)}};
    if (counts.failed)
        fields.append({0, tr("%1 failed").arg(counts.failed)});
    fields.append({2, tr("%1 tiles/s").arg(perSecond, 0, 'f', 1)});
    fields.append({3, bytes(counts.bytes)});
    if (perSecond > 0 && finished < total)
        fields.append(
            {1, tr("ETA %1").arg(duration(qint64((total - finished) / perSecond * 1000)))});
    return fields;
}

QString Progress::joined(const QVector<Field> &fields)
{
    QStringList texts;
    for (const Field &field : fields)
        texts << field.text;
    return texts.join(QStringLiteral(", "));
}

QString Progress::barLine(qint64 now, const Counts &counts, int width) const
{
    QVector<Field> shown = fields(now, counts);
    for (;;) {
        const QString text = joined(shown);
        const int room = qMin(BarWidth, width - 3 - int(text.size()));
        int least = -1;
        for (int i = 0; i < shown.size(); ++i) {
            if (shown.at(i).rank > 0 && (least < 0 || shown.at(i).rank >= shown.at(least).rank))
                least = i;
        }
        if (room < ShortestBar && least >= 0) {
            shown.removeAt(least);
            continue;
        }
        if (room < ShortestBar)
            return text.left(width);
        const int filled = int(qMin(total, counts.done + counts.failed) * room / total);
        return QStringLiteral("[%1%2] %3")
            .arg(QString(filled, QLatin1Char('#')), QString(room - filled, QLatin1Char('.')), text);
    }
}

void Progress::show(qint64 now, const Counts &counts)
{
    shownAt = now;
    if (style == Style::Lines) {
        std::fprintf(Console::errorStream(), "%s\n",
                     qPrintable(Console::wrap(joined(fields(now, counts)), Console::columns())));
    } else if (style == Style::Bar) {
        // One column short of the width: a line that fills it would wrap on some terminals.
        const int columns = Console::columns();
        const QString line = barLine(now, counts, (columns > 0 ? columns : DefaultColumns) - 1);
        // Clears what a longer line before left behind.
        std::fprintf(Console::errorStream(), "\r%s\033[K", qPrintable(line));
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
        std::fputc('\n', Console::errorStream());
    barOpen = false;
    std::fprintf(Console::errorStream(), "%s\n",
                 qPrintable(Console::wrap(text, Console::columns())));
}

void Progress::finish(qint64 now, const Counts &counts)
{
    if (style == Style::Bar)
        show(now, counts);
    if (barOpen)
        std::fputc('\n', Console::errorStream());
    barOpen = false;
}
