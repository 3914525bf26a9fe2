#ifndef TILEURLTEMPLATE_H
#define TILEURLTEMPLATE_H

#include "TileKey.h"

#include <QtCore/QString>
#include <QtCore/QVector>

// A tile server URL with markers for level, column and row: %1, %2, %3 (any order,
// repeats allowed) or {z}, {x}, {y}. A marker is filled in one pass, so a "%2F" or
// "%20" of the URL itself stays as written: %1 to %3 followed by a hex digit are
// percent escapes, not markers. Only http and https URLs naming a host are usable.
class TileUrlTemplate
{
public:
    TileUrlTemplate() = default;
    explicit TileUrlTemplate(const QString &text);

    QString text() const { return m_text; }
    bool isUsable() const { return !m_text.isEmpty() && m_problem.isEmpty(); }
    // Why a non-empty template cannot be used; empty when it can.
    QString problem() const { return m_problem; }
    QString fill(const TileKey &key) const;
    // Scheme, host and port of the tile's URL: the server that answers for it.
    QString server(const TileKey &key) const;

private:
    enum Part { Literal, Level, Column, Row };
    struct Piece
    {
        Part part = Literal;
        QString literal;
    };

    QString m_text;
    QVector<Piece> m_pieces;
    QString m_problem;
    // The server of every tile, when no marker stands before the path.
    QString m_server;
};

#endif
