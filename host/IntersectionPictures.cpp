#include "IntersectionPictures.h"

#include <QtCore/QDir>
#include <QtCore/QFile>

#include <cmath>

namespace {

QString document(const QString &body)
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"400\" height=\"400\" "
                          "viewBox=\"0 0 400 400\">\n")
        + body + QStringLiteral("</svg>\n");
}

QString arrow(double x1, double y1, double x2, double y2, const QString &colour)
{
    // A shaft and a head pointing from (x1, y1) to (x2, y2).
    const double dx = x2 - x1;
    const double dy = y2 - y1;
    const double len = std::max(1e-6, std::hypot(dx, dy));
    const double ux = dx / len;
    const double uy = dy / len;
    const double hx = x2 - ux * 18;
    const double hy = y2 - uy * 18;
    return QStringLiteral("<line x1=\"%1\" y1=\"%2\" x2=\"%3\" y2=\"%4\" stroke=\"%5\" "
                          "stroke-width=\"8\" stroke-linecap=\"round\"/>\n"
                          "<polygon points=\"%6,%7 %8,%9 %10,%11\" fill=\"%5\"/>\n")
        .arg(x1).arg(y1).arg(hx).arg(hy).arg(colour)
        .arg(x2).arg(y2).arg(hx - uy * 12).arg(hy + ux * 12).arg(hx + uy * 12).arg(hy - ux * 12);
}

QString crosswalk(double x, double y, bool horizontal)
{
    QString out;
    for (int i = 0; i < 8; ++i) {
        if (horizontal)
            out += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"6\" height=\"22\" fill=\"#ffffff\"/>\n")
                       .arg(x + i * 10).arg(y);
        else
            out += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"22\" height=\"6\" fill=\"#ffffff\"/>\n")
                       .arg(x).arg(y + i * 10);
    }
    return out;
}

QString planBody()
{
    QString body;
    body += QStringLiteral("<rect width=\"400\" height=\"400\" fill=\"#dfe8d6\"/>\n");
    body += QStringLiteral("<rect x=\"160\" y=\"0\" width=\"80\" height=\"400\" fill=\"#8c8c8c\"/>\n");
    body += QStringLiteral("<rect x=\"0\" y=\"160\" width=\"400\" height=\"80\" fill=\"#8c8c8c\"/>\n");
    body += QStringLiteral("<path d=\"M200 0 V150 M200 250 V400 M0 200 H150 M250 200 H400\" "
                           "stroke=\"#f5d442\" stroke-width=\"3\" stroke-dasharray=\"14 10\"/>\n");
    body += crosswalk(163, 128, true) + crosswalk(163, 250, true);
    body += crosswalk(128, 163, false) + crosswalk(250, 163, false);
    for (const auto &head : {std::make_pair(145, 120), std::make_pair(255, 280),
                             std::make_pair(120, 255), std::make_pair(280, 145)})
        body += QStringLiteral("<circle cx=\"%1\" cy=\"%2\" r=\"7\" fill=\"#333333\"/>\n")
                    .arg(head.first)
                    .arg(head.second);
    body += QStringLiteral("<text x=\"8\" y=\"392\" font-family=\"DejaVu Sans\" font-size=\"12\" "
                           "fill=\"#555555\">sample intersection</text>\n");
    return body;
}

} // namespace

QString IntersectionPictures::schemeSvg()
{
    return document(planBody());
}

QString IntersectionPictures::phaseSvg(int phase)
{
    const QString green = QStringLiteral("#1fa53a");
    QString body;
    switch (phase) {
    case 1:
        body = arrow(180, 20, 180, 380, green) + arrow(220, 380, 220, 20, green);
        break;
    case 2:
        body = arrow(380, 180, 20, 180, green) + arrow(20, 220, 380, 220, green);
        break;
    case 3:
        body = arrow(180, 40, 180, 180, green) + arrow(180, 180, 340, 180, green)
            + arrow(220, 360, 220, 220, green) + arrow(220, 220, 60, 220, green);
        break;
    default:
        body = QStringLiteral("<rect x=\"150\" y=\"125\" width=\"100\" height=\"30\" fill=\"none\" "
                              "stroke=\"%1\" stroke-width=\"6\"/>\n"
                              "<rect x=\"150\" y=\"245\" width=\"100\" height=\"30\" fill=\"none\" "
                              "stroke=\"%1\" stroke-width=\"6\"/>\n")
                   .arg(green);
        break;
    }
    return document(body);
}

QString IntersectionPictures::detailedSchemeSvg(int paths)
{
    QString body = planBody();
    // Kerbs, trees and parking bays: many small antialiased paths.
    for (int i = 0; i < paths; ++i) {
        const int x = (i * 37) % 390;
        const int y = (i * 91 + (i / 13) * 7) % 390;
        body += QStringLiteral("<path d=\"M%1 %2 q4 -6 8 0 t8 0 l-4 6 z\" fill=\"#%3\" "
                               "stroke=\"#404040\" stroke-width=\"0.6\"/>\n")
                    .arg(x)
                    .arg(y)
                    .arg(QString::number(0x306030 + (i * 2654435761u) % 0x404040, 16));
    }
    return document(body);
}

QStringList IntersectionPictures::writeSet(const QString &dir, const QString &name, int phaseCount)
{
    QDir().mkpath(dir);
    QStringList files;
    auto write = [&](const QString &fileName, const QString &svg) {
        const QString path = QDir(dir).filePath(fileName);
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(svg.toUtf8());
        files << path;
    };
    write(name + QStringLiteral(".svg"), schemeSvg());
    for (int p = 1; p <= phaseCount; ++p)
        write(QStringLiteral("%1-p%2.svg").arg(name).arg(p), phaseSvg((p - 1) % 4 + 1));
    return files;
}
