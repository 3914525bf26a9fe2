#ifndef COPIER_H
#define COPIER_H

#include "PackageMetadata.h"
#include "Region.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QMap>

// Copies the tiles of a region from one store into another of any kind, the bytes
// unchanged. Tiles that are not whole images are left behind and counted.
class Copier
{
    Q_DECLARE_TR_FUNCTIONS(Copier)

public:
    struct Options
    {
        QString source;
        QString target;
        Region region;
        // Written into a target package, before what the source package says of itself.
        PackageMetadata metadata = {};
    };

    explicit Copier(const Options &options);

    // Copies and reports; returns the exit code.
    int run();
    // Copies without a word; false, with errorString(), when a store failed.
    bool copy();

    qint64 copied() const { return m_copied; }
    qint64 skipped() const { return m_skipped; }
    qint64 bytes() const { return m_bytes; }
    // Stored tiles of the source that could not be read, by Verifier::unreadReason().
    const QMap<QString, qint64> &unread() const { return m_unread; }
    QString errorString() const { return m_error; }

private:
    Options m_options;
    qint64 m_copied = 0;
    qint64 m_skipped = 0;
    qint64 m_bytes = 0;
    QMap<QString, qint64> m_unread;
    QString m_error;
};

#endif
