#ifndef COPIER_H
#define COPIER_H

#include "PackageMetadata.h"
#include "Region.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QMap>

#include <memory>

class Tiles;
class TileKeySet;

// Copies the tiles of a region from one store into another of any kind, the bytes
// unchanged. Tiles that are not whole images are left behind and counted, and so are
// the tiles the target holds already when they are to be kept. Only what the target
// confirms written counts as copied. SIGINT and SIGTERM stop the copy in order: what
// was copied is written, and the run reports.
class Copier
{
    Q_DECLARE_TR_FUNCTIONS(Copier)

public:
    struct Options
    {
        QString source;
        QString target;
        Region region;
        bool skipExisting = false;
        bool dryRun = false;
        // Written into a target package, before what the source package says of itself.
        PackageMetadata metadata = {};
    };

    explicit Copier(const Options &options);

    // Copies and reports; returns the exit code.
    int run();
    // Copies, or with dryRun counts, without a word; false, with errorString(), when a
    // store failed.
    bool copy();

    // Tiles the target confirmed (with dryRun: would be copied), and their bytes.
    qint64 copied() const { return m_copied; }
    qint64 bytes() const { return m_bytes; }
    // Of the copied, those the target held before.
    qint64 replaced() const { return m_replaced; }
    // Left behind: not whole images, and with skipExisting, held by the target already.
    qint64 skipped() const { return m_skipped; }
    qint64 kept() const { return m_kept; }
    // Given to the target but not written by it.
    qint64 lost() const { return m_lost; }
    // The signal that stopped the copy, 0 if none did.
    int stoppedBy() const { return m_signal; }
    // Stored tiles of the source that could not be read, by Verifier::unreadReason().
    const QMap<QString, qint64> &unread() const { return m_unread; }
    QString errorString() const { return m_error; }

private:
    bool openTarget(std::unique_ptr<Tiles> *target, TileKeySet *held);

    Options m_options;
    qint64 m_copied = 0;
    qint64 m_bytes = 0;
    qint64 m_replaced = 0;
    qint64 m_skipped = 0;
    qint64 m_kept = 0;
    qint64 m_lost = 0;
    int m_signal = 0;
    QMap<QString, qint64> m_unread;
    QString m_error;
};

#endif
