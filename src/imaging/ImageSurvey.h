#ifndef IMAGESURVEY_H
#define IMAGESURVEY_H

#include <QtCore/QByteArray>
#include <QtCore/QSize>

// What an encoded image declares, read from its bytes without decoding any of it: the
// decoder it needs, the size it decodes to and whether the work of decoding it stays within
// a budget. The work is counted in what makes each format slow for its size: scans and
// segments of a JPEG, chunks of a PNG, the LZW output and blocks of a GIF, the run codes of a
// BMP, the text of the text formats. A budget is a number of pixels; decoding an image
// within it takes about as long as decoding a plain image of that many pixels.
class ImageSurvey
{
public:
    // "png", "jpeg", "gif", "bmp", "ico", "pbm", "pgm", "ppm", "xbm", "xpm", "tiff" or "webp"
    // from the first bytes; empty when none of them.
    static QByteArray formatOf(const QByteArray &head);

    // Surveys bytes of a known format; an unknown one is refused.
    static ImageSurvey of(const QByteArray &data, const QByteArray &format, qint64 budget);

    bool accepted() const { return refusal.isEmpty(); }

    QByteArray format;
    QSize size;
    int bytesPerPixel = 4;
    // Complete to its end marker, for formats that have one; damage inside is not looked for.
    bool whole = false;
    // What the decoder is given: empty for the bytes surveyed, or these bytes (a PNG without
    // the chunks that draw nothing, the PNG inside an icon).
    QByteArray decodable;
    QByteArray decoderFormat;
    // Why the bytes are not decoded; empty when they are accepted.
    QByteArray refusal;

private:
    void refuse(const char *why);
    void surveyPng(const QByteArray &data);
    void surveyJpeg(const QByteArray &data, qint64 budget);
    void surveyGif(const QByteArray &data);
    void surveyBmp(const QByteArray &data);
    void surveyIco(const QByteArray &data, qint64 budget);
    void surveyPnm(const QByteArray &data, qint64 budget);
    void surveyXbm(const QByteArray &data);
    void surveyXpm(const QByteArray &data, qint64 budget);
    void surveyTiff(const QByteArray &data);
    void surveyWebp(const QByteArray &data);
    void surveyTga(const QByteArray &data);
};

#endif
