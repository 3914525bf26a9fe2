#include "TileUrlTemplate.h"

#include <QtCore/QUrl>

namespace {

bool isHexDigit(QChar c)
{
    return c.isDigit() || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))
        || (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
}

} // namespace

TileUrlTemplate::TileUrlTemplate(const QString &text) : m_text(text)
{
    static const QString braces[]
        = {QStringLiteral("{z}"), QStringLiteral("{x}"), QStringLiteral("{y}")};
    bool seen[3] = {false, false, false};
    for (int i = 0; i < text.size();) {
        int marker = -1;
        int length = 0;
        const QChar next = i + 1 < text.size() ? text.at(i + 1) : QChar();
        if (text.at(i) == QLatin1Char('%') && next >= QLatin1Char('1') && next <= QLatin1Char('3')
            && !(i + 2 < text.size() && isHexDigit(text.at(i + 2)))) {
            marker = next.unicode() - '1';
            length = 2;
        }
        for (int m = 0; m < 3 && marker < 0; ++m) {
            if (text.midRef(i, 3) == braces[m]) {
                marker = m;
                length = 3;
            }
        }
        if (marker < 0) {
            if (m_pieces.isEmpty() || m_pieces.constLast().part != Literal)
                m_pieces.append(Piece());
            m_pieces.last().literal.append(text.at(i));
            ++i;
            continue;
        }
        seen[marker] = true;
        m_pieces.append(Piece{Part(Level + marker), QString()});
        i += length;
    }

    if (text.isEmpty())
        return;
    if (!seen[0] || !seen[1] || !seen[2]) {
        m_problem = QStringLiteral("it needs markers for level, column and row (%1, %2, %3 or "
                                   "{z}, {x}, {y})");
        return;
    }
    const QUrl url(fill(TileKey(0, 0, 0)), QUrl::TolerantMode);
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        m_problem = QStringLiteral("only http and https are fetched");
    else if (!url.isValid() || url.host().isEmpty())
        m_problem = QStringLiteral("it names no server");
}

QString TileUrlTemplate::fill(const TileKey &key) const
{
    QString url;
    for (const Piece &piece : m_pieces) {
        switch (piece.part) {
        case Literal:
            url += piece.literal;
            break;
        case Level:
            url += QString::number(key.z);
            break;
        case Column:
            url += QString::number(key.x);
            break;
        case Row:
            url += QString::number(key.y);
            break;
        }
    }
    return url;
}
