#include "TileUrlTemplate.h"

#include <QtCore/QRegularExpression>
#include <QtCore/QUrl>

namespace {

QString serverOf(const QString &url)
{
    return QUrl(url, QUrl::TolerantMode)
        .adjusted(QUrl::RemoveUserInfo | QUrl::RemovePath | QUrl::RemoveQuery
                  | QUrl::RemoveFragment)
        .toString();
}

} // namespace

TileUrlTemplate::TileUrlTemplate(const QString &text) : m_text(text)
{
    // %1 to %3 followed by a hex digit are percent escapes of the URL, such as "%2F".
    static const QRegularExpression marker(QStringLiteral("%([1-3])(?![0-9A-Fa-f])|\\{([zxy])\\}"));
    bool seen[3] = {};
    int done = 0;
    for (QRegularExpressionMatchIterator it = marker.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        m_pieces.append(Piece{Literal, text.mid(done, match.capturedStart() - done)});
        const int which = match.capturedLength(1) > 0
            ? match.captured(1).toInt() - 1
            : QStringLiteral("zxy").indexOf(match.captured(2));
        seen[which] = true;
        m_pieces.append(Piece{Part(Level + which), QString()});
        done = match.capturedEnd();
    }
    m_pieces.append(Piece{Literal, text.mid(done)});

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
    else if (m_pieces.first().literal.indexOf(QLatin1Char('/'), scheme.size() + 3) > 0)
        m_server = serverOf(m_pieces.first().literal);
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

QString TileUrlTemplate::server(const TileKey &key) const
{
    return m_server.isEmpty() ? serverOf(fill(key)) : m_server;
}
