#include "Copier.h"

#include "Console.h"
#include "Progress.h"
#include "Tiles.h"
#include "WholeImage.h"

#include <QtCore/QElapsedTimer>

Copier::Copier(const Options &options) : m_options(options) { }

bool Copier::copy()
{
    Tiles::OpenOptions options;
    options.busyTimeoutMs = 5000;
    options.connectionPrefix = QStringLiteral("veltra-tiles");
    options.create = false;
    std::unique_ptr<Tiles> source = Tiles::open(m_options.source, options, &m_error);
    if (!source)
        return false;
    options.create = true;
    std::unique_ptr<Tiles> target = Tiles::open(m_options.target, options, &m_error);
    if (!target)
        return false;

    const Region &region = m_options.region;
    const bool read = source->forEachTile(region.minZoom(), region.maxZoom(),
                                          Tiles::Content::KeysAndData,
                                          [&](const TileKey &key, const QByteArray &data) {
                                              if (!region.contains(key))
                                                  return true;
                                              if (!WholeImage::check(data)) {
                                                  ++m_skipped;
                                                  return true;
                                              }
                                              target->setData(key, data);
                                              ++m_copied;
                                              m_bytes += data.size();
                                              return true;
                                          });
    if (!read) {
        m_error = source->errorString();
        return false;
    }
    if (!target->flush()) {
        m_error = target->errorString();
        return false;
    }
    return true;
}

int Copier::run()
{
    QElapsedTimer timer;
    timer.start();
    const bool done = copy();
    Console::out(tr("Copied %1 tiles (%2) in %3.")
                     .arg(m_copied)
                     .arg(Progress::bytes(m_bytes))
                     .arg(Progress::duration(timer.elapsed())));
    if (m_skipped)
        Console::out(tr("Skipped %1 tiles that are not whole images (veltra-tiles verify lists "
                        "them).")
                         .arg(m_skipped));
    if (!done) {
        Console::err(m_error);
        return Console::Failure;
    }
    return Console::Success;
}
