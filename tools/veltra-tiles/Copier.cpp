#include "Copier.h"

#include "Console.h"
#include "Progress.h"
#include "StopSignals.h"
#include "Stores.h"
#include "TileKeySet.h"
#include "Verifier.h"
#include "WholeImage.h"

#include <QtCore/QElapsedTimer>
#include <QtCore/QFileInfo>

#include <csignal>

Copier::Copier(const Options &options) : m_options(options) { }

bool Copier::openTarget(std::unique_ptr<Tiles> *target, TileKeySet *held)
{
    const Region &region = m_options.region;
    const bool exists = QFileInfo::exists(m_options.target);
    // A dry run makes nothing, and a target that is not there holds nothing.
    if (exists || !m_options.dryRun) {
        *target = Stores::open(m_options.target, !m_options.dryRun, &m_error);
        if (!*target)
            return false;
    }
    if (!m_options.dryRun && !(*target)->isWritable()) {
        m_error = tr("tile store \"%1\" takes no tiles: %2")
                      .arg(m_options.target, (*target)->errorString());
        return false;
    }
    if (exists
        && !(*target)->forEachTile(region.minZoom(), region.maxZoom(), Tiles::Content::Keys,
                                   [&](const TileKey &key, const QByteArray &) {
                                       if (region.contains(key))
                                           held->insert(key);
                                       return !StopSignals::caught();
                                   })) {
        m_error = (*target)->errorString();
        return false;
    }
    held->seal();
    return true;
}

bool Copier::copy()
{
    std::unique_ptr<Tiles> source = Stores::open(m_options.source, false, &m_error);
    if (!source)
        return false;
    const bool fresh = !QFileInfo::exists(m_options.target);
    std::unique_ptr<Tiles> target;
    TileKeySet held;
    if (!openTarget(&target, &held))
        return false;
    if (!m_options.dryRun
        && !PackageMetadata::apply(*target, m_options.metadata, PackageMetadata::of(*source), fresh,
                                   &m_error))
        return false;

    const Region &region = m_options.region;
    qint64 given = 0;
    const auto copyTile = [&](const Tiles::StoredTile &tile) {
        if ((m_signal = StopSignals::caught()))
            return false;
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
        const bool there = held.contains(key);
        if (there && m_options.skipExisting) {
            ++m_kept;
            return true;
        }
        m_replaced += there;
        m_bytes += data.size();
        ++given;
        if (!m_options.dryRun)
            target->setData(key, data);
        return true;
    };
    if (!source->forEachStored(region.minZoom(), region.maxZoom(), Tiles::Content::KeysAndData,
                               copyTile)) {
        m_error = source->errorString();
        return false;
    }
    if (m_options.dryRun) {
        m_copied = given;
        return true;
    }
    const bool flushed = target->flush();
    const qint64 written = target->writtenCount();
    m_copied = written >= 0 ? written : flushed ? given : 0;
    m_lost = given - m_copied;
    if (!flushed || m_lost > 0) {
        m_error = tr("%1 tiles were not stored: %2")
                      .arg(m_lost)
                      .arg(target->errorString().isEmpty() ? tr("the store refused them")
                                                           : target->errorString());
        return false;
    }
    return true;
}

int Copier::run()
{
    StopSignals stopSignals;
    QElapsedTimer timer;
    timer.start();
    const bool done = copy();
    if (!done && m_copied + m_lost == 0) {
        Console::err(m_error);
        return Console::Failure;
    }
    const bool dry = m_options.dryRun;
    if (dry)
        Console::out(tr("Would copy %1 tiles (%2); %3 would replace tiles the target holds.")
                         .arg(QString::number(m_copied), Progress::bytes(m_bytes),
                              QString::number(m_replaced)));
    else if (m_lost > 0)
        // Which of the tiles given reached the file, and so their bytes, is not known.
        Console::out(tr("Copied %1 of %2 tiles in %3.")
                         .arg(QString::number(m_copied), QString::number(m_copied + m_lost),
                              Progress::duration(timer.elapsed())));
    else
        Console::out(tr("Copied %1 tiles (%2) in %3; %4 replaced tiles the target held.")
                         .arg(QString::number(m_copied), Progress::bytes(m_bytes),
                              Progress::duration(timer.elapsed()), QString::number(m_replaced)));
    if (m_kept)
        Console::out((dry ? tr("Would keep %1 tiles the target holds already (--skip-existing).")
                          : tr("Kept %1 tiles the target held already (--skip-existing)."))
                         .arg(m_kept));
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
    if (!done)
        Console::err(m_error);
    if (m_signal) {
        const QString name = m_signal == SIGINT ? QStringLiteral("SIGINT")
                                                : QStringLiteral("SIGTERM");
        Console::out(m_options.skipExisting
                         ? tr("Interrupted (%1): run the same command again to continue.").arg(name)
                         : tr("Interrupted (%1): run the same command with --skip-existing to "
                              "continue.")
                               .arg(name));
        return Console::stoppedBy(m_signal);
    }
    return done ? Console::Success : Console::Failure;
}
