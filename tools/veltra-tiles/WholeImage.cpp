#include "WholeImage.h"

#include "BoundedImageReader.h"
#include "TileImage.h"

bool WholeImage::check(const QByteArray &data)
{
    const ImageSurvey survey = BoundedImageReader::tiles().survey(data);
    if (!survey.accepted())
        return false;
    if (survey.format == "png")
        return survey.whole && data.endsWith(QByteArray("\0\0\0\0IEND\xae\x42\x60\x82", 12));
    // Some encoders pad after the end-of-image marker.
    if (survey.format == "jpeg")
        return survey.whole && data.lastIndexOf("\xff\xd9") >= qMax(2, data.size() - 32);
    if (survey.format == "gif")
        return survey.whole;
    return !TileImage::decode(data).isNull();
}
