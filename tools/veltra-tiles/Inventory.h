#ifndef INVENTORY_H
#define INVENTORY_H

#include <QtCore/QCoreApplication>
#include <QtCore/QMap>
#include <QtCore/QRect>
#include <QtCore/QRectF>

class Tiles;

// What a store holds: its kind, the tiles of each level and the columns and rows they
// span, the area they cover, their bytes and their image formats, and the stored tiles
// it could not read.
class Inventory
{
    Q_DECLARE_TR_FUNCTIONS(Inventory)

public:
    struct Level
    {
        qint64 tiles = 0;
        QRect span; // columns and rows
    };

    // Reads every tile of the store; false when it could not be read to the end.
    bool take(Tiles &store);

    const QMap<int, Level> &levels() const { return m_levels; }
    qint64 tiles() const;
    qint64 bytes() const { return m_bytes; }
    // West, north, east and south as left, top, right and bottom; null without tiles.
    QRectF bounds() const;
    // Tiles by format name; "not an image" for bytes of no image format.
    const QMap<QString, qint64> &formats() const { return m_formats; }
    // Stored tiles not read, by Verifier::unreadReason().
    const QMap<QString, qint64> &unread() const { return m_unread; }

    // Opens the store at path and prints its inventory; returns the exit code.
    static int run(const QString &path);

private:
    QMap<int, Level> m_levels;
    qint64 m_bytes = 0;
    QMap<QString, qint64> m_formats;
    QMap<QString, qint64> m_unread;
};

#endif
