#include "Verifier.h"

#include "BoundedImageReader.h"
#include "Console.h"
#include "Progress.h"
#include "Stores.h"
#include "TileImage.h"

QString Verifier::describe(const QByteArray &data)
{
    if (data.isEmpty())
        return tr("empty");
    const ImageSurvey survey = BoundedImageReader::tiles().survey(data);
    if (!survey.format.isEmpty()) {
        const QString format = QString::fromLatin1(survey.format.toUpper());
        if (!survey.accepted())
            return tr("%1 image refused before decoding: %2")
                .arg(format, QString::fromLatin1(survey.refusal));
        return tr("%1 that does not decode").arg(format);
    }
    // Error pages of web servers, and the XML ones of storage services.
    if (data.left(64).trimmed().startsWith('<'))
        return tr("HTML or XML text, %1 bytes").arg(data.size());
    return tr("not an image, %1 bytes").arg(data.size());
}

QString Verifier::unreadReason(Tiles::Flaw flaw)
{
    switch (flaw) {
    case Tiles::Flaw::TooLarge:
        return tr("larger than %1").arg(Progress::bytes(Tiles::MaxTileBytes));
    case Tiles::Flaw::OffGrid:
        return tr("level, column or row not on the tile grid");
    case Tiles::Flaw::Unreadable:
        return tr("cannot be opened");
    case Tiles::Flaw::None:
    case Tiles::Flaw::NoBytes:
        break;
    }
    return QString();
}

QString Verifier::countsText(const QMap<QString, qint64> &counts)
{
    QStringList parts;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        parts << QStringLiteral("%1 %2").arg(it.value()).arg(it.key());
    return parts.join(QStringLiteral(", "));
}

bool Verifier::check(Tiles &store)
{
    return store.forEachStored(0, TileKey::MaxLevel, Tiles::Content::KeysAndData,
                               [this](const Tiles::StoredTile &tile) {
                                   if (tile.flaw != Tiles::Flaw::None
                                       && tile.flaw != Tiles::Flaw::NoBytes) {
                                       m_unchecked.append(tile);
                                       return true;
                                   }
                                   ++m_checked;
                                   if (tile.flaw == Tiles::Flaw::NoBytes) {
                                       m_bad.append({tile.key,
                                                     tr("no image bytes: NULL, text "
                                                        "or a number")});
                                       m_badCopies.append(tile);
                                   } else if (TileImage::decode(tile.data).isNull()) {
                                       m_bad.append({tile.key, describe(tile.data)});
                                       m_badCopies.append(tile);
                                   }
                                   return true;
                               });
}

int Verifier::run(const QString &path, bool purge)
{
    QString error;
    std::unique_ptr<Tiles> store = Stores::open(path, false, &error);
    if (!store) {
        Console::err(error);
        return Console::Failure;
    }
    Verifier verifier;
    const bool complete = verifier.check(*store);
    const QVector<Bad> &bad = verifier.bad();
    for (const Bad &tile : bad)
        Console::out(QStringLiteral("%1/%2/%3: %4")
                         .arg(QString::number(tile.key.z), QString::number(tile.key.x),
                              QString::number(tile.key.y), tile.what));
    QMap<QString, qint64> reasons;
    for (const Tiles::StoredTile &tile : verifier.unchecked()) {
        const QString reason = unreadReason(tile.flaw);
        ++reasons[reason];
        Console::out(
            tile.size >= 0
                ? tr("%1: not checked, %2 (%3)").arg(tile.where, reason, Progress::bytes(tile.size))
                : tr("%1: not checked, %2").arg(tile.where, reason));
    }
    Console::out(
        tr("Checked %1 tiles: %2 are not tile images.").arg(verifier.checked()).arg(bad.size()));
    if (!reasons.isEmpty())
        Console::out(tr("Could not check %1 stored tiles: %2.")
                         .arg(verifier.unchecked().size())
                         .arg(countsText(reasons)));
    if (!complete) {
        Console::err(tr("could not read the whole store: %1").arg(store->errorString()));
        return Console::Failure;
    }
    int exitCode = verifier.unchecked().isEmpty() ? Console::Success : Console::Failure;
    if (bad.isEmpty())
        return exitCode;
    if (!purge) {
        Console::out(tr("Run again with --purge to remove them."));
        return Console::Failure;
    }
    const qint64 removed = store->removeStored(verifier.m_badCopies);
    Console::out(tr("Removed %1 of them.").arg(removed));
    if (removed < bad.size()) {
        Console::err(tr("could not remove every bad tile: %1").arg(store->errorString()));
        exitCode = Console::Failure;
    }
    return exitCode;
}
