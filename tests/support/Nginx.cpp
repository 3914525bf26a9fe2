#include "Nginx.h"

#include <QtCore/QFile>
#include <QtNetwork/QTcpServer>
#include <QtTest/QTest>

#include <csignal>
#include <unistd.h>

Nginx::Nginx()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    m_port = probe.serverPort();
}

Nginx::~Nginx()
{
    stop();
}

QString Nginx::urlTemplate() const
{
    return QStringLiteral("http://127.0.0.1:%1/").arg(m_port) + QStringLiteral("%1/%2/%3.png");
}

bool Nginx::start(const QString &http)
{
    const QString dir = m_dir.path();
    QString config = QStringLiteral("%1worker_processes 1;\n"
                                    "pid @DIR/nginx.pid;\n"
                                    "error_log @DIR/error.log warn;\n"
                                    "events { worker_connections 256; }\n"
                                    "http {\n"
                                    "    access_log @DIR/access.log;\n"
                                    "    client_body_temp_path @DIR/client_temp;\n"
                                    "    proxy_temp_path @DIR/proxy_temp;\n"
                                    "    fastcgi_temp_path @DIR/fastcgi_temp;\n"
                                    "    uwsgi_temp_path @DIR/uwsgi_temp;\n"
                                    "    scgi_temp_path @DIR/scgi_temp;\n"
                                    "    types { image/png png; }\n"
                                    "%2\n"
                                    "}\n")
                         // As root, workers would run as nobody, who may not write here.
                         .arg(geteuid() == 0 ? QStringLiteral("user root;\n") : QString(), http);
    config.replace(QLatin1String("@DIR"), dir)
        .replace(QLatin1String("@PORT"), QString::number(m_port));
    QFile file(dir + QStringLiteral("/nginx.conf"));
    if (!file.open(QIODevice::WriteOnly) || file.write(config.toUtf8()) < 0) {
        m_error = file.errorString();
        return false;
    }
    file.close();
    QFile::remove(dir + QStringLiteral("/nginx.pid"));
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(QStringLiteral("nginx"),
                    {QStringLiteral("-p"), dir, QStringLiteral("-c"), file.fileName(),
                     QStringLiteral("-e"), dir + QStringLiteral("/error.log"), QStringLiteral("-g"),
                     QStringLiteral("daemon off;")});
    if (!m_process.waitForStarted(5000)) {
        m_error = m_process.errorString();
        return false;
    }
    // The pid file is written once the port is open.
    const bool up = QTest::qWaitFor(
        [&] {
            return QFile::exists(dir + QStringLiteral("/nginx.pid"))
                || m_process.state() == QProcess::NotRunning;
        },
        10000);
    if (up && m_process.state() == QProcess::Running)
        return true;
    QFile log(dir + QStringLiteral("/error.log"));
    log.open(QIODevice::ReadOnly);
    m_error = QString::fromLocal8Bit(m_process.readAll() + log.readAll());
    stop();
    return false;
}

void Nginx::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(2000);
    }
}
