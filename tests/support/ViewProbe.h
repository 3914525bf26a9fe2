#ifndef VIEWPROBE_H
#define VIEWPROBE_H

#include <QtCore/QPoint>
#include <QtCore/QString>
#include <QtGui/QImage>

class OsmView;
class QProcess;
class QSqlDatabase;

namespace ViewProbe {

// The tile level shown for the view's fractional zoom.
int level(const OsmView &view);
// Column and row of the tile drawn under a viewport pixel: columns from longitude,
// rows of one height anchored at the row under the viewport's top-left pixel.
QPoint tileAt(const OsmView &view, QPoint pixel);
// Paints the viewport now and returns what it shows.
QImage grab(OsmView &view);

// Counts the statements run on an SQLite connection from now on.
class StatementCounter
{
public:
    explicit StatementCounter(const QSqlDatabase &db);
    ~StatementCounter();
    int selects() const { return m_selects; }
    int inserts() const { return m_inserts; }
    void reset() { m_selects = m_inserts = 0; }

private:
    static int trace(unsigned, void *, void *, void *);
    void *m_handle = nullptr;
    int m_selects = 0;
    int m_inserts = 0;
};

// Starts Python's http.server over root on a free port of 127.0.0.1; returns the port
// once it accepts connections, 0 if it did not come up in time.
quint16 startPythonServer(QProcess &process, const QString &root);

} // namespace ViewProbe

#endif
