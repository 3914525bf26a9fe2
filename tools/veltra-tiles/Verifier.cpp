#include "Verifier.h"

#include "BoundedImageReader.h"
#include "Console.h"
#include "Region.h"
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

bool Verifier::check(Tiles &store)
{
    return store.forEachTile(0, TileKey::MaxLevel, Tiles::Content::KeysAndData,
                             [this](const TileKey &key, const QByteArray &data) {
                                 ++m_checked;
                                 if (TileImage::decode(data).isNull())
                                     m_bad.append({key, describe(data)});
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
    Console::out(
        tr("Checked %1 tiles: %2 are not tile images.").arg(verifier.checked()).arg(bad.size()));
    if (!complete) {
        Console::err(tr("could not read the whole store: %1").arg(store->errorString()));
        return Console::Failure;
    }
    if (bad.isEmpty())
        return Console::Success;
    if (!purge) {
        Console::out(tr("Run again with --purge to remove them."));
        return Console::Failure;
    }
    int removed = 0;
    for (const Bad &tile : bad)
        removed += store->remove(tile.key);
    const bool flushed = store->flush();
    Console::out(tr("Removed %1 of them.").arg(removed));
    if (removed < bad.size() || !flushed) {
        Console::err(tr("could not remove every bad tile: %1").arg(store->errorString()));
        return Console::Failure;
    }
    return Console::Success;
}
