#include "Copier.h"

#include "Console.h"
#include "Progress.h"
#include "Stores.h"
#include "Verifier.h"
#include "WholeImage.h"

#include <QtCore/QElapsedTimer>
#include <QtCore/QFileInfo>

Copier::Copier(const Options &options) : m_options(options) { }

bool Copier::copy()
{
    std::unique_ptr<Tiles> source = Stores::open(m_options.source, false, &m_error);
    if (!source)
        return false;
    const bool fresh = !QFileInfo::exists(m_options.target);
    std::unique_ptr<Tiles> target = Stores::open(m_options.target, true, &m_error);
    if (!target
        || !PackageMetadata::apply(*target, m_options.metadata, PackageMetadata::of(*source), fresh,
                                   &m_error))
        return false;

    const Region &region = m_options.region;
    TileKey first, last;
    const auto copyTile = [&](const Tiles::StoredTile &tile) {
        const TileKey &key = tile.key;
        const QByteArray &data = tile.data;
        if (tile.flaw != Tiles::Flaw::None && tile.flaw != Tiles::Flaw::NoBytes) {
            ++m_unread[Verifier::unreadReason(tile.flaw)];
            return true;
        }
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
    if (!source->forEachStored(region.minZoom(), region.maxZoom(), Tiles::Content::KeysAndData,
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
    qint64 unread = 0;
    for (const qint64 count : m_unread)
        unread += count;
    if (unread)
        Console::out(tr("Could not read %1 stored tiles: %2.")
                         .arg(unread)
                         .arg(Verifier::countsText(m_unread)));
    return Console::Success;
}
