#include "Copier.h"

#include "Console.h"
#include "Progress.h"
#include "Stores.h"
#include "WholeImage.h"

#include <QtCore/QElapsedTimer>

Copier::Copier(const Options &options) : m_options(options) { }

bool Copier::copy()
{
    std::unique_ptr<Tiles> source = Stores::open(m_options.source, false, &m_error);
    if (!source)
        return false;
    std::unique_ptr<Tiles> target = Stores::open(m_options.target, true, &m_error);
    if (!target)
        return false;

    const Region &region = m_options.region;
    TileKey first, last;
    const auto copyTile = [&](const TileKey &key, const QByteArray &data) {
        if (!region.contains(key))
            return true;
        if (!WholeImage::check(data)) {
            ++m_skipped;
            return true;
        }
        target->setData(key, data);
        first = m_copied++ ? first : key;
        last = key;
        m_bytes += data.size();
        return true;
    };
    if (!source->forEachTile(region.minZoom(), region.maxZoom(), Tiles::Content::KeysAndData,
                             copyTile)) {
        m_error = source->errorString();
        return false;
    }
    if (!target->flush()) {
        m_error = target->errorString();
        return false;
    }
    // A store that takes no tiles at all, or stopped taking them, says so only in a warning.
    for (const TileKey &key : {first, last}) {
        Tiles::ReadResult result;
        target->tileData(key, &result);
        if (m_copied && result != Tiles::ReadResult::Found) {
            m_error = tr("the tiles were not stored: %1").arg(target->errorString());
            return false;
        }
    }
    return true;
}

int Copier::run()
{
    QElapsedTimer timer;
    timer.start();
    if (!copy()) {
        Console::err(m_error);
        return Console::Failure;
    }
    Console::out(tr("Copied %1 tiles (%2) in %3.")
                     .arg(m_copied)
                     .arg(Progress::bytes(m_bytes))
                     .arg(Progress::duration(timer.elapsed())));
    if (m_skipped)
        Console::out(tr("Skipped %1 tiles that are not whole images (veltra-tiles verify lists "
                        "them).")
                         .arg(m_skipped));
    return Console::Success;
}
