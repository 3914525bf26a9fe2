#include "ImageSurvey.h"

#include <QtCore/QList>
#include <QtCore/QVarLengthArray>
#include <QtCore/QtEndian>

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace {

// Encoders write a handful of segments and at most about twenty scans; Qt keeps the text of
// every comment and application segment, which grows worse than linearly.
constexpr int JpegMaxSegments = 256;
constexpr int JpegMaxScans = 64;
// Each scan decodes every block of its components again. Fourteen block passes per 8 x 8
// cell of the budget is the most a common encoder's progressive script takes (6 for the
// luma and 4 for each chroma at full resolution).
constexpr qint64 JpegBlockPassesPerCell = 14;
// Chunks past the header cost the decoder a little each; this many more than rows are
// never written by an encoder, one IDAT a row included.
constexpr int PngMaxChunks = 4096;
// The only chunks that change the pixels Qt decodes; text, profiles and unknown chunks are
// dropped before decoding, because the decoder inflates compressed ones whatever their use.
const char *const PngDrawnChunks[] = {"IHDR", "PLTE", "tRNS", "gAMA", "cHRM", "sRGB",
                                      "sBIT", "bKGD", "pHYs", "IDAT", "IEND"};
// Deflate inflates at most 1032 bytes per byte: pixel data of up to 16 KiB cannot run
// past 17 MB, which the decoder inflates in about 35 ms; counting it first would cost
// small tiles a second inflate.
constexpr qint64 PngInflateUncounted = 16 * 1024;
constexpr int GifMaxFrames = 4096;
constexpr int GifMaxExtensions = 4096;
// Qt's GIF decoder emits every pixel its LZW codes expand to, inside the frame or not; an
// encoder writes the frame's pixels once.
constexpr int LzwMaxString = 8192;
constexpr int TiffMaxEntries = 512;
constexpr int WebpMaxChunks = 1024;
constexpr int HeaderSearch = 4096;
// Larger than any image read here, small enough that counts made from it cannot overflow.
constexpr qint64 AnySide = 1 << 20;

qint64 be32(const uchar *p)
{
    return qFromBigEndian<quint32>(p);
}
int be16(const uchar *p)
{
    return qFromBigEndian<quint16>(p);
}
qint64 le32(const uchar *p)
{
    return qFromLittleEndian<quint32>(p);
}
int le16(const uchar *p)
{
    return qFromLittleEndian<quint16>(p);
}

bool isBlank(uchar c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// The GIF frame's sub-blocks from `at`, fed through an LZW decoder that counts the pixels it
// would emit instead of emitting them; stops once `limit` is passed. `at` ends after the
// frame's terminating block.
qint64 lzwPixels(const uchar *b, qint64 n, qint64 &at, int minCodeSize, qint64 limit)
{
    const int clear = 1 << minCodeSize;
    const int endCode = clear + 1;
    int codeSize = minCodeSize + 1;
    int maxCodeSize = 2 * clear;
    int maxCode = clear + 2;
    bool needFirst = true;
    bool ended = false;
    int old = 0;
    quint32 accum = 0;
    int bits = 0;
    qint64 pixels = 0;
    QVarLengthArray<int, 4096> lengths(4096);
    auto lengthOf = [&](int code) {
        return code < clear ? 1 : code < maxCode ? lengths[code] : LzwMaxString;
    };
    while (at < n) {
        const int blockSize = b[at++];
        if (blockSize == 0)
            return pixels;
        const qint64 blockEnd = std::min(n, at + blockSize);
        for (; at < blockEnd && !ended; ++at) {
            accum |= quint32(b[at]) << bits;
            bits += 8;
            while (bits >= codeSize && !ended) {
                const int code = int(accum & ((1u << codeSize) - 1));
                accum >>= codeSize;
                bits -= codeSize;
                if (code == clear) {
                    codeSize = minCodeSize + 1;
                    maxCodeSize = 2 * clear;
                    maxCode = clear + 2;
                    needFirst = true;
                } else if (code == endCode) {
                    ended = true;
                } else if (needFirst) {
                    ++pixels;
                    old = code;
                    needFirst = false;
                } else {
                    pixels += code < maxCode ? lengthOf(code) : lengthOf(old) + 1;
                    if (maxCode < 4096) {
                        lengths[maxCode] = std::min(lengthOf(old) + 1, LzwMaxString);
                        if (++maxCode >= maxCodeSize && maxCodeSize < 4096) {
                            maxCodeSize *= 2;
                            ++codeSize;
                        }
                    }
                    old = code;
                }
                if (pixels > limit)
                    return pixels;
            }
        }
        at = blockEnd;
    }
    return pixels;
}

// The bytes a PNG's pixel data inflate to: the rows of each pass, each with its filter byte.
qint64 pngPixelBytes(qint64 width, qint64 height, int bitsPerPixel, bool interlaced)
{
    static const int passes[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                     {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    if (!interlaced)
        return height * (1 + (width * bitsPerPixel + 7) / 8);
    qint64 bytes = 0;
    for (const auto &pass : passes) {
        const qint64 columns = (width - pass[0] + pass[2] - 1) / pass[2];
        const qint64 rows = (height - pass[1] + pass[3] - 1) / pass[3];
        if (columns > 0 && rows > 0)
            bytes += rows * (1 + (columns * bitsPerPixel + 7) / 8);
    }
    return bytes;
}

// Inflates the pixel data, throwing the output away, until it ends or passes `limit`; the
// bytes it inflates to, as far as they are counted.
qint64 inflatedBytes(const QByteArray &data, const QList<QPair<qint64, qint64>> &idat, qint64 limit)
{
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (inflateInit(&stream) != Z_OK)
        return 0;
    QVarLengthArray<Bytef, 65536> sink(65536);
    qint64 total = 0;
    int status = Z_OK;
    for (const auto &chunk : idat) {
        stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()))
            + chunk.first + 8;
        stream.avail_in = uInt(chunk.second - 12);
        while (stream.avail_in > 0 && status == Z_OK && total <= limit) {
            stream.next_out = sink.data();
            stream.avail_out = uInt(sink.size());
            status = inflate(&stream, Z_NO_FLUSH);
            total += sink.size() - stream.avail_out;
        }
        if (status != Z_OK || total > limit)
            break;
    }
    inflateEnd(&stream);
    return total;
}

// The next whitespace-separated decimal of a PNM header, past '#' comments.
bool pnmNumber(const uchar *b, qint64 n, qint64 &at, qint64 *value)
{
    for (;;) {
        while (at < n && isBlank(b[at]))
            ++at;
        if (at < n && b[at] == '#') {
            while (at < n && b[at] != '\n')
                ++at;
            continue;
        }
        break;
    }
    qint64 v = 0;
    const qint64 start = at;
    while (at < n && b[at] >= '0' && b[at] <= '9' && v < (qint64(1) << 31))
        v = v * 10 + (b[at++] - '0');
    *value = v;
    return at > start && at < n && at <= HeaderSearch;
}

} // namespace

QByteArray ImageSurvey::formatOf(const QByteArray &head)
{
    const auto *b = reinterpret_cast<const uchar *>(head.constData());
    const int n = head.size();
    if (head.startsWith("\x89PNG\r\n\x1a\n"))
        return QByteArrayLiteral("png");
    if (head.startsWith("\xff\xd8\xff"))
        return QByteArrayLiteral("jpeg");
    if (n >= 12 && head.startsWith("RIFF") && head.mid(8, 4) == "WEBP")
        return QByteArrayLiteral("webp");
    if (head.startsWith("GIF87a") || head.startsWith("GIF89a"))
        return QByteArrayLiteral("gif");
    if (head.startsWith("BM"))
        return QByteArrayLiteral("bmp");
    if (head.startsWith(QByteArray("II*\0", 4)) || head.startsWith(QByteArray("MM\0*", 4)))
        return QByteArrayLiteral("tiff");
    if (n >= 6 && b[0] == 0 && b[1] == 0 && (b[2] == 1 || b[2] == 2) && b[3] == 0
        && (b[4] | b[5]) != 0)
        return QByteArrayLiteral("ico");
    if (n >= 3 && b[0] == 'P' && b[1] >= '1' && b[1] <= '6' && isBlank(b[2])) {
        static const char *const names[] = {"pbm", "pgm", "ppm"};
        return QByteArray(names[(b[1] - '1') % 3]);
    }
    if (head.startsWith("/* XPM */"))
        return QByteArrayLiteral("xpm");
    if (head.left(256).trimmed().startsWith("#define"))
        return QByteArrayLiteral("xbm");
    return QByteArray();
}

ImageSurvey ImageSurvey::of(const QByteArray &data, const QByteArray &format, qint64 budget)
{
    ImageSurvey s;
    s.format = format;
    s.decoderFormat = format;
    if (format == "png")
        s.surveyPng(data);
    else if (format == "jpeg")
        s.surveyJpeg(data, budget);
    else if (format == "gif")
        s.surveyGif(data);
    else if (format == "bmp")
        s.surveyBmp(data);
    else if (format == "ico")
        s.surveyIco(data, budget);
    else if (format == "pbm" || format == "pgm" || format == "ppm")
        s.surveyPnm(data, budget);
    else if (format == "xbm")
        s.surveyXbm(data);
    else if (format == "xpm")
        s.surveyXpm(data, budget);
    else if (format == "tiff")
        s.surveyTiff(data);
    else if (format == "webp")
        s.surveyWebp(data);
    else if (format == "tga")
        s.surveyTga(data);
    else
        s.refuse("not a raster format read here");
    if (s.accepted() && s.size.isEmpty())
        s.refuse("no size before decoding");
    return s;
}

void ImageSurvey::refuse(const char *why)
{
    if (refusal.isEmpty())
        refusal = why;
}

void ImageSurvey::surveyPng(const QByteArray &data)
{
    const auto *b = reinterpret_cast<const uchar *>(data.constData());
    const qint64 n = data.size();
    QList<QPair<qint64, qint64>> drawn;
    QList<QPair<qint64, qint64>> idat;
    qint64 pixelBytes = 0;
    bool dropped = false;
    int chunks = 0;
    qint64 at = 8;
    while (at + 12 <= n) {
        const qint64 length = be32(b + at);
        if (length > n - at - 12)
            break;
        const QByteArray type(reinterpret_cast<const char *>(b + at + 4), 4);
        if (chunks == 0) {
            if (type != "IHDR" || length != 13)
                return refuse("a PNG that does not begin with its header");
            const qint64 width = be32(b + at + 8);
            const qint64 height = be32(b + at + 12);
            if (width > AnySide || height > AnySide)
                return refuse("a PNG larger than any image");
            size = QSize(int(width), int(height));
            const int depth = b[at + 16];
            const int colourType = b[at + 17];
            const int channels = colourType == 2 ? 3
                : colourType == 4                ? 2
                : colourType == 6                ? 4
                                                 : 1;
            bytesPerPixel = depth == 16 ? 8 : 4;
            pixelBytes = pngPixelBytes(width, height, std::min(depth, 16) * channels,
                                       b[at + 20] != 0);
        }
        if (++chunks > PngMaxChunks + qint64(size.height()))
            return refuse("a PNG of more chunks than an encoder writes");
        const bool keep = std::any_of(std::begin(PngDrawnChunks), std::end(PngDrawnChunks),
                                      [&type](const char *name) { return type == name; });
        if (keep)
            drawn.append({at, 12 + length});
        if (type == "IDAT")
            idat.append({at, 12 + length});
        dropped = dropped || !keep;
        at += 12 + length;
        if (type == "IEND") {
            whole = true;
            break;
        }
    }
    if (chunks == 0)
        return refuse("a PNG without its header");
    // The decoder inflates all of the pixel data, however far it runs past the last row:
    // megabytes of it could inflate for seconds.
    qint64 compressed = 0;
    for (const auto &chunk : idat)
        compressed += chunk.second - 12;
    if (compressed > PngInflateUncounted && inflatedBytes(data, idat, pixelBytes) > pixelBytes)
        return refuse("a PNG whose pixel data inflate past its pixels");
    if (dropped) {
        decodable = data.left(8);
        for (const auto &chunk : drawn)
            decodable.append(data.constData() + chunk.first, int(chunk.second));
    }
}

void ImageSurvey::surveyJpeg(const QByteArray &data, qint64 budget)
{
    const auto *b = reinterpret_cast<const uchar *>(data.constData());
    const qint64 n = data.size();
    struct Component
    {
        int id, h, v;
    };
    QVarLengthArray<Component, 4> components;
    qint64 mcus = 0;
    qint64 blockPasses = 0;
    int segments = 0;
    int scans = 0;
    qint64 at = 2;
    while (at < n) {
        if (b[at] != 0xff)
            return refuse("a JPEG segment without its marker");
        while (at < n && b[at] == 0xff)
            ++at;
        if (at >= n)
            break;
        const uchar marker = b[at++];
        if (marker == 0xd9) {
            whole = true;
            break;
        }
        if ((marker >= 0xd0 && marker <= 0xd7) || marker == 0x01)
            continue;
        if (marker == 0x00 || marker == 0xd8)
            return refuse("a JPEG marker out of place");
        if (at + 2 > n)
            break;
        const qint64 length = be16(b + at);
        if (length < 2)
            return refuse("a JPEG segment shorter than its length");
        if (at + length > n)
            break;
        if (++segments > JpegMaxSegments)
            return refuse("a JPEG of more segments than an encoder writes");
        const uchar *s = b + at + 2;
        const qint64 payload = length - 2;
        const bool frame = marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8
            && marker != 0xcc;
        if (frame) {
            // Arithmetic, lossless and hierarchical coding are refused: nothing serves them
            // and Qt's decoder takes them at a cost not counted here.
            if (marker > 0xc2)
                return refuse("a JPEG coding other than baseline, extended or progressive");
            if (!components.isEmpty())
                return refuse("a JPEG of two frames");
            const int count = payload >= 6 ? s[5] : 0;
            if (payload < 6 + 3 * count || s[0] != 8 || (count != 1 && count != 3 && count != 4))
                return refuse("a JPEG frame Qt's decoder does not take");
            size = QSize(be16(s + 3), be16(s + 1));
            int hMax = 1;
            int vMax = 1;
            for (int i = 0; i < count; ++i) {
                const int h = s[7 + 3 * i] >> 4;
                const int v = s[7 + 3 * i] & 15;
                if (h < 1 || h > 4 || v < 1 || v > 4)
                    return refuse("a JPEG component of impossible sampling");
                components.append({s[6 + 3 * i], h, v});
                hMax = std::max(hMax, h);
                vMax = std::max(vMax, v);
            }
            mcus = qint64((size.width() + 8 * hMax - 1) / (8 * hMax))
                * ((size.height() + 8 * vMax - 1) / (8 * vMax));
        } else if (marker == 0xda) {
            const int count = payload >= 1 ? s[0] : 0;
            if (components.isEmpty() || count < 1 || count > 4 || payload < 4 + 2 * count)
                return refuse("a JPEG scan without a frame");
            for (int i = 0; i < count; ++i) {
                const auto c = std::find_if(components.cbegin(), components.cend(),
                                            [id = s[1 + 2 * i]](const Component &component) {
                                                return component.id == id;
                                            });
                if (c == components.cend())
                    return refuse("a JPEG scan of a component the frame lacks");
                blockPasses += mcus * c->h * c->v;
            }
            if (++scans > JpegMaxScans
                || blockPasses > JpegBlockPassesPerCell * std::max<qint64>(budget / 64, 1))
                return refuse("a JPEG of more scans than an encoder writes");
            // The entropy-coded data runs to the next marker that is not a restart.
            at += length;
            while (at + 1 < n) {
                const auto *ff = static_cast<const uchar *>(std::memchr(b + at, 0xff, n - at));
                if (!ff) {
                    at = n;
                    break;
                }
                at = ff - b;
                const uchar next = at + 1 < n ? b[at + 1] : 0;
                if (next == 0xff)
                    break;
                if (next != 0x00 && (next < 0xd0 || next > 0xd7))
                    break;
                at += 2;
            }
            if (at + 1 >= n)
                at = n;
            continue;
        }
        at += length;
    }
    if (components.isEmpty() || scans == 0)
        refuse("a JPEG without a frame and a scan");
}

void ImageSurvey::surveyGif(const QByteArray &data)
{
    const auto *b = reinterpret_cast<const uchar *>(data.constData());
    const qint64 n = data.size();
    if (n < 13)
        return refuse("a GIF without its screen");
    const int screenWidth = le16(b + 6);
    const int screenHeight = le16(b + 8);
    qint64 at = 13;
    if (b[10] & 0x80)
        at += 3 << ((b[10] & 7) + 1);
    auto skipBlocks = [&] {
        while (at < n) {
            const int length = b[at++];
            if (length == 0)
                return;
            at += length;
        }
    };
    int frames = 0;
    int extensions = 0;
    while (at < n) {
        const uchar introducer = b[at++];
        if (introducer == 0x3b) {
            whole = true;
            break;
        }
        if (introducer == 0x21) {
            if (++extensions > GifMaxExtensions)
                return refuse("a GIF of more extensions than an encoder writes");
            ++at;
            skipBlocks();
        } else if (introducer == 0x2c) {
            if (at + 10 > n)
                break;
            if (++frames > GifMaxFrames)
                return refuse("a GIF of more frames than an animation has");
            const int left = le16(b + at);
            const int top = le16(b + at + 2);
            const int width = le16(b + at + 4);
            const int height = le16(b + at + 6);
            const uchar flags = b[at + 8];
            at += 9;
            if (flags & 0x80)
                at += 3 << ((flags & 7) + 1);
            if (at >= n)
                break;
            const int minCodeSize = b[at++];
            if (frames > 1) {
                skipBlocks();
                continue;
            }
            // Qt decodes the first frame alone, on a screen grown to hold it.
            size = QSize(std::max(screenWidth, left + width), std::max(screenHeight, top + height));
            if (minCodeSize > 11)
                return refuse("a GIF frame of impossible code size");
            const qint64 limit = 2 * qint64(width) * height + LzwMaxString;
            if (lzwPixels(b, n, at, minCodeSize, limit) > limit)
                return refuse("a GIF frame whose codes expand past the frame");
        } else {
            if (frames == 0)
                return refuse("a GIF block of no known kind");
            break;
        }
    }
    if (frames == 0)
        refuse("a GIF without a frame");
}

void ImageSurvey::surveyBmp(const QByteArray &data)
{
    const auto *b = reinterpret_cast<const uchar *>(data.constData());
    const qint64 n = data.size();
    if (n < 26)
        return refuse("a BMP without its header");
    const qint64 offset = le32(b + 10);
    const qint64 headerSize = le32(b + 14);
    qint64 width = 0, height = 0;
    int bits = 0;
    qint64 compression = 0, colours = 0;
    if (headerSize == 12) {
        width = le16(b + 18);
        height = le16(b + 20);
        bits = le16(b + 24);
    } else if (headerSize >= 40 && headerSize <= 124 && n >= 54) {
        width = qint32(le32(b + 18));
        height = qint32(le32(b + 22));
        bits = le16(b + 28);
        compression = le32(b + 30);
        colours = le32(b + 46);
    } else {
        return refuse("a BMP header of no known kind");
    }
    const bool rle = (compression == 1 && bits == 8) || (compression == 2 && bits == 4);
    const bool plain = compression == 0 || (compression == 3 && (bits == 16 || bits == 32));
    if (!(rle || plain)
        || (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32))
        return refuse("a BMP coding Qt's decoder does not take");
    if (bits <= 8 && colours > 256)
        return refuse("a BMP of more colours than its pixels take");
    if (width <= 0 || height == 0 || width > AnySide || height < -AnySide || height > AnySide)
        return refuse("a BMP of no size or larger than any image");
    size = QSize(int(width), int(std::abs(height)));
    if (!rle) {
        whole = offset >= 0 && offset <= n
            && (n - offset) / (((width * bits + 31) / 32) * 4) >= size.height();
        return;
    }
    // Every code costs the decoder as much as a few pixels, a jump twice that; an encoder
    // writes at most one for two pixels and an end of line a row.
    const qint64 limit = width * size.height() / 2 + 4 * qint64(size.height()) + 64;
    qint64 codes = 0;
    for (qint64 at = offset; at >= 0 && at + 2 <= n;) {
        const uchar count = b[at];
        const uchar code = b[at + 1];
        at += 2;
        if (++codes > limit)
            return refuse("a BMP of more run codes than pixels");
        if (count != 0)
            continue;
        if (code == 1) {
            whole = true;
            break;
        }
        if (code == 2) {
            ++codes;
            at += 2;
        } else if (code > 2) {
            const qint64 bytes = compression == 1 ? code : (code + 1) / 2;
            at += bytes + (bytes & 1);
        }
    }
}

void ImageSurvey::surveyIco(const QByteArray &data, qint64 budget)
{
    const auto *b = reinterpret_cast<const uchar *>(data.constData());
    const qint64 n = data.size();
    if (n < 22)
        return refuse("an icon without its directory");
    const qint64 bytes = le32(b + 14);
    const qint64 offset = le32(b + 18);
    if (offset < 22 || bytes < 40 || offset > n || bytes > n - offset)
        return refuse("an icon whose first image lies outside the file");
    const QByteArray image = data.mid(int(offset), int(bytes));
    // The icon's first image is what Qt reads; a PNG in it is decoded as a PNG.
    if (image.startsWith("\x89PNG\r\n\x1a\n")) {
        ImageSurvey png = of(image, QByteArrayLiteral("png"), budget);
        png.format = format;
        if (png.decodable.isEmpty() && png.accepted())
            png.decodable = image;
        *this = png;
        return;
    }
    const auto *dib = reinterpret_cast<const uchar *>(image.constData());
    const qint64 width = qint32(le32(dib + 4));
    const qint64 height = qint32(le32(dib + 8));
    const int bits = le16(dib + 14);
    if (le32(dib) != 40 || le32(dib + 16) != 0 || width <= 0 || height <= 1 || width > 65535
        || height > 2 * 65535 || (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32))
        return refuse("an icon image Qt's decoder does not take");
    size = QSize(int(width), int(height / 2));
}

void ImageSurvey::surveyPnm(const QByteArray &data, qint64 budget)
{
    const auto *b = reinterpret_cast<const uchar *>(data.constData());
    const qint64 n = data.size();
    const int type = b[1] - '0';
    qint64 at = 2;
    qint64 width = 0, height = 0, maxValue = 1;
    if (!pnmNumber(b, n, at, &width) || !pnmNumber(b, n, at, &height)
        || (type != 1 && type != 4 && !pnmNumber(b, n, at, &maxValue)))
        return refuse("a PNM header that does not end soon");
    if (width <= 0 || height <= 0 || width > AnySide || height > AnySide || maxValue < 1
        || maxValue > 65535)
        return refuse("a PNM of no size or larger than any image");
    size = QSize(int(width), int(height));
    bytesPerPixel = maxValue > 255 ? 8 : 4;
    const qint64 samples = width * height * (type % 3 == 0 ? 3 : 1);
    const qint64 text = n - at - 1;
    if (type <= 3) {
        // Qt reads the text one character at a time, comments and blanks included.
        if (text > std::min(8 * samples + HeaderSearch, 2 * budget))
            return refuse("a PNM of more text than its samples take");
        return;
    }
    const qint64 sampleBytes = type == 4 ? (width + 7) / 8 * height
                                         : samples * (maxValue > 255 ? 2 : 1);
    whole = text >= sampleBytes;
}

void ImageSurvey::surveyXbm(const QByteArray &data)
{
    qint64 width = 0, height = 0;
    const QList<QByteArray> lines = data.left(HeaderSearch).split('\n');
    for (int i = 0; i + 1 < lines.size() && (width == 0 || height == 0); ++i) {
        const QList<QByteArray> words = lines.at(i).simplified().split(' ');
        if (words.size() != 3 || words.at(0) != "#define")
            continue;
        if (words.at(1).endsWith("_width"))
            width = words.at(2).toInt();
        else if (words.at(1).endsWith("_height"))
            height = words.at(2).toInt();
    }
    if (width <= 0 || height <= 0 || width > AnySide || height > AnySide)
        return refuse("an XBM without its size or larger than any image");
    size = QSize(int(width), int(height));
    // Qt parses "0x00," for every eight pixels; an encoder writes a blank or line end more.
    if (data.size() > 7 * ((width + 7) / 8) * height + HeaderSearch)
        refuse("an XBM of more text than its pixels take");
}

void ImageSurvey::surveyXpm(const QByteArray &data, qint64 budget)
{
    const QByteArray head = data.left(HeaderSearch);
    const int brace = head.indexOf('{');
    const int open = head.indexOf('"', brace);
    const int close = head.indexOf('"', open + 1);
    if (brace < 0 || open < 0 || close < 0)
        return refuse("an XPM without its values");
    const QList<QByteArray> values = head.mid(open + 1, close - open - 1).simplified().split(' ');
    if (values.size() < 4)
        return refuse("an XPM without its values");
    const qint64 width = values.at(0).toInt();
    const qint64 height = values.at(1).toInt();
    const qint64 colours = values.at(2).toInt();
    const qint64 perPixel = values.at(3).toInt();
    if (width <= 0 || height <= 0 || width > AnySide || height > AnySide || colours <= 0
        || perPixel <= 0 || perPixel > 15)
        return refuse("an XPM of no size or larger than any image");
    size = QSize(int(width), int(height));
    // Qt looks every pixel up among the colours, slower the more there are; the text, comments
    // included, it reads one character at a time.
    const qint64 pixels = width * height;
    if (colours > budget / 256 || pixels * (1 + colours / 128) > budget)
        return refuse("an XPM of more colours than decode in time");
    if (data.size() > perPixel * pixels + 8 * height + 64 * colours + HeaderSearch)
        refuse("an XPM of more text than its pixels take");
}

void ImageSurvey::surveyTiff(const QByteArray &data)
{
    const auto *b = reinterpret_cast<const uchar *>(data.constData());
    const qint64 n = data.size();
    const bool little = b[0] == 'I';
    auto u16 = [&](qint64 at) { return little ? le16(b + at) : be16(b + at); };
    auto u32 = [&](qint64 at) { return little ? le32(b + at) : be32(b + at); };
    if (n < 8)
        return refuse("a TIFF without its directory");
    const qint64 directory = u32(4);
    if (directory < 8 || directory + 2 > n)
        return refuse("a TIFF without its directory");
    const int entries = u16(directory);
    if (entries > TiffMaxEntries || directory + 2 + 12 * entries > n)
        return refuse("a TIFF directory of more entries than a writer uses");
    qint64 width = 0, height = 0, compression = 1, bits = 8;
    for (int i = 0; i < entries; ++i) {
        const qint64 at = directory + 2 + 12 * i;
        const int tag = u16(at);
        const int type = u16(at + 2);
        const qint64 value = type == 3 ? u16(at + 8) : u32(at + 8);
        if (tag == 256)
            width = value;
        else if (tag == 257)
            height = value;
        else if (tag == 259)
            compression = value;
        else if (tag == 258 && u32(at + 4) == 1)
            bits = value;
    }
    // JPEG inside TIFF would bring back the cost of scans, uncounted here.
    if (compression != 1 && compression != 5 && compression != 8 && compression != 32773
        && compression != 32946)
        return refuse("a TIFF compression other than none, LZW, deflate or PackBits");
    if (width <= 0 || height <= 0 || width > 0x7fffffff || height > 0x7fffffff)
        return refuse("a TIFF of no size");
    size = QSize(int(width), int(height));
    bytesPerPixel = bits > 8 ? 8 : 4;
}

void ImageSurvey::surveyWebp(const QByteArray &data)
{
    const auto *b = reinterpret_cast<const uchar *>(data.constData());
    const qint64 n = data.size();
    int chunks = 0;
    for (qint64 at = 12; at + 8 <= n;) {
        if (++chunks > WebpMaxChunks)
            return refuse("a WebP of more chunks than an animation has");
        const QByteArray type(reinterpret_cast<const char *>(b + at), 4);
        const qint64 length = le32(b + at + 4);
        const uchar *p = b + at + 8;
        const qint64 available = n - at - 8;
        if (chunks == 1) {
            if (type == "VP8 " && available >= 10 && p[3] == 0x9d && p[4] == 0x01 && p[5] == 0x2a)
                size = QSize(le16(p + 6) & 0x3fff, le16(p + 8) & 0x3fff);
            else if (type == "VP8L" && available >= 5 && p[0] == 0x2f)
                size = QSize(int(le32(p + 1) & 0x3fff) + 1, int((le32(p + 1) >> 14) & 0x3fff) + 1);
            else if (type == "VP8X" && available >= 10)
                size = QSize((p[4] | p[5] << 8 | p[6] << 16) + 1,
                             (p[7] | p[8] << 8 | p[9] << 16) + 1);
            else
                return refuse("a WebP without its size");
        }
        at += 8 + length + (length & 1);
    }
    if (chunks == 0)
        refuse("a WebP without its size");
}

void ImageSurvey::surveyTga(const QByteArray &data)
{
    const auto *b = reinterpret_cast<const uchar *>(data.constData());
    if (data.size() < 18)
        return refuse("a TGA without its header");
    const int type = b[2];
    const int depth = b[16];
    if ((type & ~8) < 1 || (type & ~8) > 3 || b[1] > 1
        || (depth != 8 && depth != 15 && depth != 16 && depth != 24 && depth != 32))
        return refuse("a TGA coding Qt's decoder does not take");
    size = QSize(le16(b + 12), le16(b + 14));
}
