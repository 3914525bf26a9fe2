#include "ViewProbe.h"

#include "OsmView.h"
#include "TileAddressing.h"

#include <QtCore/QElapsedTimer>
#include <QtCore/QProcess>
#include <QtNetwork/QTcpServer>
#include <QtNetwork/QTcpSocket>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlDriver>
#include <QtTest/QTest>

#include <sqlite3.h>

#include <cmath>

int ViewProbe::level(const OsmView &view)
{
    return qBound(view.zoomMin(), int(view.zoomF() + 0.08333333333333333), view.zoomMax());
}

QPoint ViewProbe::tileAt(const OsmView &view, QPoint pixel)
{
    const int z = level(view);
    const double tileWidth = 360.0 / std::ldexp(1.0, z);
    const double px = tileWidth * view.transform().m11();
    const double tileHeight = px / view.transform().m22();
    const QPointF scene = view.mapToScene(pixel);
    const int lastRow = (1 << z) - 1;
    const int anchorRow = qBound(0, latToTileY(view.mapToScene(QPoint(0, 0)).y(), z), lastRow);
    const double north = tileYToLat(anchorRow, z);
    const int row = anchorRow + int(std::floor((scene.y() - north) / tileHeight));
    return QPoint(int(std::floor((scene.x() + 180.0) / tileWidth)), row);
}

QImage ViewProbe::grab(OsmView &view)
{
    return view.viewport()->grab().toImage();
}

ViewProbe::StatementCounter::StatementCounter(const QSqlDatabase &db)
{
    const QVariant handle = db.driver()->handle();
    if (qstrcmp(handle.typeName(), "sqlite3*") == 0) {
        m_handle = *static_cast<sqlite3 *const *>(handle.data());
        sqlite3_trace_v2(static_cast<sqlite3 *>(m_handle), SQLITE_TRACE_STMT, &trace, this);
    }
}

ViewProbe::StatementCounter::~StatementCounter()
{
    if (m_handle)
        sqlite3_trace_v2(static_cast<sqlite3 *>(m_handle), 0, nullptr, nullptr);
}

int ViewProbe::StatementCounter::trace(unsigned, void *context, void *statement, void *)
{
    auto *self = static_cast<StatementCounter *>(context);
    const QByteArray sql(sqlite3_sql(static_cast<sqlite3_stmt *>(statement)));
    if (sql.startsWith("SELECT image"))
        ++self->m_selects;
    else if (sql.startsWith("insert"))
        ++self->m_inserts;
    return 0;
}

quint16 ViewProbe::startPythonServer(QProcess &process, const QString &root)
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = probe.serverPort();
    probe.close();

    process.setProgram(QStringLiteral("python3"));
    process.setArguments({QStringLiteral("-m"), QStringLiteral("http.server"),
                          QString::number(port), QStringLiteral("--bind"),
                          QStringLiteral("127.0.0.1"), QStringLiteral("--directory"), root});
    process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start();
    if (!process.waitForStarted(10000))
        return 0;

    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 15000) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (socket.waitForConnected(500))
            return port;
        QTest::qWait(100);
    }
    return 0;
}
