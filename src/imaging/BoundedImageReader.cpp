#include "BoundedImageReader.h"

#include "TileImage.h"
#include "VeltraLogging.h"

#include <QtCore/QBuffer>
#include <QtCore/QDebug>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtGui/QImageReader>

BoundedImageReader::BoundedImageReader(const QList<QByteArray> &formats, QSize maxSize,
                                       qint64 maxBytes)
    : formats(formats), maxSize(maxSize), maxBytes(maxBytes)
{ }

BoundedImageReader::BoundedImageReader(QSize maxSize, qint64 maxBytes)
    : BoundedImageReader(rasterFormats(), maxSize, maxBytes)
{ }

const BoundedImageReader &BoundedImageReader::tiles()
{
    static const BoundedImageReader reader(QSize(TileImage::MaxSide, TileImage::MaxSide),
                                           qint64(TileImage::MaxSide) * TileImage::MaxSide * 4);
    return reader;
}

QList<QByteArray> BoundedImageReader::rasterFormats()
{
    static const QList<QByteArray> available = [] {
        const QList<QByteArray> installed = QImageReader::supportedImageFormats();
        QList<QByteArray> formats;
        for (const char *format : {"png", "jpeg", "gif", "bmp", "ico", "pbm", "pgm", "ppm", "xbm",
                                   "xpm", "tiff", "webp", "tga"}) {
            if (installed.contains(format))
                formats.append(format);
        }
        return formats;
    }();
    return available;
}

QByteArray BoundedImageReader::formatOf(const QByteArray &head)
{
    return ImageSurvey::formatOf(head);
}

// TGA has no signature: only its plug-in can tell, from the header's values.
QByteArray BoundedImageReader::contentFormat(const QByteArray &data) const
{
    if (!formats.contains("tga"))
        return QByteArray();
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    return reader.format() == "tga" ? QByteArrayLiteral("tga") : QByteArray();
}

ImageSurvey BoundedImageReader::survey(const QByteArray &data) const
{
    QByteArray format = formatOf(data);
    if (format.isEmpty())
        format = contentFormat(data);
    ImageSurvey survey = ImageSurvey::of(data, formats.contains(format) ? format : QByteArray(),
                                         qint64(maxSize.width()) * maxSize.height());
    survey.format = format;
    if (data.size() > maxBytes)
        survey.refusal = "more bytes than any image this reader takes";
    else if (survey.accepted()
             && (!fits(survey.size)
                 || qint64(survey.size.width()) * survey.size.height() * survey.bytesPerPixel
                     > maxBytes))
        survey.refusal = "larger than the images this reader takes";
    return survey;
}

QByteArray BoundedImageReader::acceptedFormat(const QByteArray &data) const
{
    const ImageSurvey s = survey(data);
    return s.accepted() ? s.format : QByteArray();
}

bool BoundedImageReader::fits(QSize size) const
{
    return size.isValid() && !size.isEmpty() && size.width() <= maxSize.width()
        && size.height() <= maxSize.height()
        && qint64(size.width()) * size.height() * 4 <= maxBytes;
}

QImage BoundedImageReader::read(const QByteArray &data) const
{
    return decode(data, survey(data));
}

QImage BoundedImageReader::decode(const QByteArray &data, const ImageSurvey &s) const
{
    if (!s.accepted())
        return QImage();
    QBuffer buffer;
    buffer.setData(s.decodable.isEmpty() ? data : s.decodable);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, s.decoderFormat);
    reader.setAutoDetectImageFormat(false);
    reader.setDecideFormatFromContent(false);
    QImage image;
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    // Qt 6 refuses to allocate an image past QImageReader::allocationLimit() (128 MB by
    // default), which Qt 5 reads; the bound of this reader holds already. A decoder given
    // an image of its own size and format allocates none, and asks no limit.
    const qint64 limit = qint64(QImageReader::allocationLimit()) << 20;
    if (limit > 0 && qint64(s.size.width()) * s.size.height() * 4 > limit) {
        const QImage::Format format = reader.imageFormat();
        if (format != QImage::Format_Invalid)
            image = QImage(s.size, format);
    }
#endif
    if (!reader.read(&image) || image.isNull() || !fits(image.size())
        || image.sizeInBytes() > maxBytes)
        return QImage();
    return image;
}

QImage BoundedImageReader::read(QIODevice *device) const
{
    if (!device)
        return QImage();
    // Compressed data larger than the decoded budget is not an image this reader takes.
    const QByteArray data = device->read(maxBytes + 1);
    if (data.size() > maxBytes)
        return QImage();
    return read(data);
}

QImage BoundedImageReader::readFile(const QString &path) const
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QImage();
    const QByteArray data = file.read(maxBytes + 1);
    const ImageSurvey s = survey(data);
    if (!s.accepted() && !data.isEmpty())
        qCDebug(lcImages).noquote()
            << QStringLiteral("cannot decode image \"%1\": %2, %3")
                   .arg(QDir::toNativeSeparators(path),
                        QString::fromLatin1(s.format.isEmpty() ? QByteArray("unknown") : s.format),
                        QString::fromLatin1(s.refusal));
    return decode(data, s);
}
