#ifndef NGINX_H
#define NGINX_H

#include <QtCore/QProcess>
#include <QtCore/QTemporaryDir>

// A real nginx on 127.0.0.1 for tests, run from a folder of its own that holds its
// configuration, logs, temporary files and caches. Stopped with the object.
class Nginx
{
public:
    Nginx();
    ~Nginx();

    // Starts nginx with `http` as the body of its http block, "@PORT" standing for its
    // port (the same from one start to the next) and "@DIR" for its folder; false, with
    // the reason in error(), when it does not come up.
    bool start(const QString &http);
    // Stops it and waits, a few seconds at most, for it to go.
    void stop();
    quint16 port() const { return m_port; }
    QString dir() const { return m_dir.path(); }
    // "http://127.0.0.1:<port>/%1/%2/%3.png"
    QString urlTemplate() const;
    QString error() const { return m_error; }

    // The caching proxy of the README, in front of the tile server at "@UPSTREAM".
    static constexpr const char *CachingProxy = R"(
    proxy_cache_path @DIR/cache levels=1:2 keys_zone=tiles:10m max_size=1g inactive=30d
                     use_temp_path=off;
    server {
        listen 127.0.0.1:@PORT;
        location / {
            proxy_pass http://127.0.0.1:@UPSTREAM;
            proxy_cache tiles;
            proxy_cache_key $uri;
            proxy_cache_valid 200 7d;
            proxy_cache_valid 404 1m;
            proxy_cache_revalidate on;
            proxy_cache_use_stale error timeout updating http_500 http_502 http_503 http_504;
            proxy_cache_lock on;
            proxy_cache_lock_timeout 30s;
            if_modified_since before;
        }
    })";

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};

#endif
