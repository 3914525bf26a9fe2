#include "BoundedImageReader.h"
#include "RowTable.h"
#include "TestTiles.h"
#include "TileImage.h"
#include "WholeImage.h"

#include <QtGui/QImageWriter>
#include <QtTest/QtTest>

#include <zlib.h>

namespace {

QByteArray written(const QImage &image, const char *format, bool progressive = false)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setProgressiveScanWrite(progressive);
    return writer.write(image) ? buffer.data() : QByteArray();
}

QByteArray tile(const char *format, int side = 256)
{
    return written(TestTiles::image(3, 4, 5, side), format);
}

using TestTiles::bigEndian;
using TestTiles::pngChunk;

// A PNG tile with chunks put before its pixel data.
QByteArray pngWith(const QByteArray &chunks)
{
    const QByteArray png = TestTiles::encoded(3, 4, 5);
    return png.left(33) + chunks + png.mid(33);
}

// A w x h PNG of 8-bit grey whose pixel data inflate to `times` the bytes of its rows.
QByteArray greyPng(int w, int h, bool interlaced, int times)
{
    const int passes[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                              {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    int rowBytes = interlaced ? 0 : h * (1 + w);
    for (int i = 0; interlaced && i < 7; ++i) {
        int columns = 0, rows = 0;
        for (int x = passes[i][0]; x < w; x += passes[i][2])
            ++columns;
        for (int y = passes[i][1]; y < h; y += passes[i][3])
            ++rows;
        rowBytes += columns > 0 ? rows * (1 + columns) : 0;
    }
    QByteArray header = bigEndian(quint32(w)) + bigEndian(quint32(h)) + QByteArray("\x08\0\0\0", 4)
        + char(interlaced ? 1 : 0);
    return "\x89PNG\r\n\x1a\n" + pngChunk("IHDR", header)
        + pngChunk("IDAT", qCompress(QByteArray(rowBytes * times, '\0'), 9).mid(4))
        + pngChunk("IEND", {});
}

// A progressive JPEG tile of `scans` scans: its second scan repeated, which the decoder
// takes with a warning about the progression.
QByteArray jpegScans(int scans)
{
    QByteArray jpeg = written(TestTiles::image(3, 4, 5, 64), "JPEG", true);
    const int second = jpeg.indexOf("\xff\xda", jpeg.indexOf("\xff\xda") + 2);
    const int third = jpeg.indexOf("\xff\xda", second + 2);
    const QByteArray scan = jpeg.mid(second, third - second);
    for (int i = jpeg.count("\xff\xda"); i < scans; ++i)
        jpeg.insert(third, scan);
    return jpeg;
}

QByteArray jpegSegments(int count)
{
    const QByteArray jpeg = tile("JPEG", 64);
    return jpeg.left(2) + QByteArray("\xff\xfe\0\x04hi", 6).repeated(count) + jpeg.mid(2);
}

// A 16 x 16 GIF whose LZW codes are `codes` (9 bits wide), and as many empty frames after.
QByteArray gif(const QList<int> &codes, int framesAfter = 0)
{
    QByteArray data;
    quint32 accum = 0;
    int bits = 0;
    for (int code : codes) {
        accum |= quint32(code) << bits;
        for (bits += 9; bits >= 8; bits -= 8, accum >>= 8)
            data += char(accum & 0xff);
    }
    data += char(accum & 0xff);
    const QByteArray frame = QByteArray(",\0\0\0\0\x10\0\x10\0\0\x08", 11);
    QByteArray blocks;
    for (int at = 0; at < data.size(); at += 255)
        blocks += char(qMin(255, data.size() - at)) + data.mid(at, 255);
    const QByteArray empty = frame + QByteArray("\x01\x00\x00", 3);
    return QByteArray("GIF89a\x10\0\x10\0\x80\0\0\0\0\0\xff\xff\xff", 19) + frame + blocks + '\0'
        + empty.repeated(framesAfter) + ';';
}

// Clear, then each code one longer than the one before: the n-th code stands for n pixels.
QList<int> expandingCodes(int count)
{
    QList<int> codes{256, 0};
    for (int i = 0; i < count; ++i)
        codes << 258 + i;
    return codes << 257;
}

QList<int> plainCodes()
{
    QList<int> codes;
    for (int i = 0; i < 256; ++i) {
        if (i % 254 == 0)
            codes << 256;
        codes << 1;
    }
    return codes << 257;
}

// 16 x 16 in 8-bit runs of one colour: the runs given, then an end of bitmap.
QByteArray bmpRuns(const QByteArray &runs)
{
    const QColor c = TestTiles::colourOf(3, 4, 5);
    const QByteArray pixels = runs + QByteArray("\0\1", 2);
    QByteArray bmp;
    QDataStream out(&bmp, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("BM", 2);
    out << quint32(14 + 40 + 4 + pixels.size()) << quint32(0) << quint32(14 + 40 + 4);
    out << quint32(40) << qint32(16) << qint32(16) << quint16(1) << quint16(8) << quint32(1)
        << quint32(pixels.size()) << qint32(0) << qint32(0) << quint32(1) << quint32(0);
    out << quint8(c.blue()) << quint8(c.green()) << quint8(c.red()) << quint8(0);
    out.writeRawData(pixels.constData(), pixels.size());
    return bmp;
}

QByteArray xpm(int colours)
{
    QByteArray keys;
    for (char c = 35; c < 127; ++c)
        keys += c == '\\' ? "" : QByteArray(1, c);
    QByteArray text = "/* XPM */\nstatic char *x[] = {\n\"16 16 " + QByteArray::number(colours)
        + " 2\",\n";
    for (int i = 0; i < colours; ++i)
        text += '"' + QByteArray(1, keys.at(i / keys.size())) + keys.at(i % keys.size())
            + " c #102030\",\n";
    for (int y = 0; y < 16; ++y)
        text += '"' + QByteArray("##").repeated(16) + "\",\n";
    return text + "};\n";
}

QByteArray icoOf(const QByteArray &image)
{
    QByteArray ico("\0\0\1\0\1\0\0\0\0\0\1\0\x20\0", 14);
    QByteArray place(8, '\0');
    qToLittleEndian<quint32>(quint32(image.size()), place.data());
    qToLittleEndian<quint32>(22, place.data() + 4);
    return ico + place + image;
}

// A TIFF tile whose compression tag says `scheme` (7: JPEG inside).
QByteArray tiffCompressed(quint16 scheme)
{
    QByteArray tiff = tile("TIFF", 64);
    const auto *b = reinterpret_cast<const uchar *>(tiff.constData());
    const quint32 ifd = qFromLittleEndian<quint32>(b + 4);
    for (int i = 0, n = qFromLittleEndian<quint16>(b + ifd); i < n; ++i) {
        const int entry = int(ifd) + 2 + 12 * i;
        if (qFromLittleEndian<quint16>(b + entry) == 259)
            qToLittleEndian<quint16>(scheme, tiff.data() + entry + 8);
    }
    return tiff;
}

// Bytes of a tile and the width the tile reader decodes them to (0: refused), and a warning
// the decoder gives. Every row is a whole file, so the cheap check of the tool (seed, copy)
// must agree with decoding (verify).
// clang-format off
const struct { const char *name; QByteArray (*bytes)(); int width; const char *warning; } decodeRows[] = {
    {"png", [] { return TestTiles::encoded(3, 4, 5); }, 256, nullptr},
    {"png with 900 text chunks and a compressed one of 7 MB", [] { return pngWith(pngChunk("tEXt", "k\0v").repeated(900) + pngChunk("zTXt", QByteArray("k\0\0", 3) + qCompress(QByteArray(7000000, ' '), 9).mid(4))); }, 256, nullptr},
    {"png of 4096 chunks more than rows", [] { return pngWith(pngChunk("abCd", {}).repeated(4096 + 256 - 2)); }, 0, nullptr},
    {"interlaced png of odd sides", [] { return greyPng(13, 7, true, 1); }, 13, nullptr},
    {"png whose few kilobytes of pixel data inflate to 64 times its rows", [] { return greyPng(256, 256, false, 64); }, 256, "^libpng warning: IDAT: Too much image data"},
    {"png whose pixel data inflate to 128 times its rows", [] { return greyPng(1024, 1024, false, 128); }, 0, nullptr},
    {"progressive jpeg", [] { return written(TestTiles::image(3, 4, 5, 256), "JPEG", true); }, 256, nullptr},
    {"jpeg of 64 scans", [] { return jpegScans(64); }, 64, "^Inconsistent progression sequence"},
    {"jpeg of 65 scans", [] { return jpegScans(65); }, 0, nullptr},
    {"jpeg of 256 segments", [] { return jpegSegments(256 - 9); }, 64, nullptr},
    {"jpeg of 257 segments", [] { return jpegSegments(256 - 8); }, 0, nullptr},
    {"jpeg in arithmetic coding", [] { QByteArray j = tile("JPEG", 64); j[j.indexOf("\xff\xc0") + 1] = char(0xc9); return j; }, 0, nullptr},
    {"jpeg one pixel too wide", [] { return tile("JPEG", TileImage::MaxSide + 1); }, 0, nullptr},
    {"gif", [] { return TestTiles::encoded(3, 4, 5, "GIF"); }, 256, nullptr},
    {"gif of 4096 frames", [] { return gif(plainCodes(), 4095); }, 16, nullptr},
    {"gif of 4097 frames", [] { return gif(plainCodes(), 4096); }, 0, nullptr},
    {"gif whose codes expand to twice its pixels", [] { return gif(expandingCodes(128)); }, 16, nullptr},
    {"gif whose codes expand past that", [] { return gif(expandingCodes(200)); }, 0, nullptr},
    {"bmp", [] { return tile("BMP"); }, 256, nullptr},
    {"bmp in runs", [] { return bmpRuns(QByteArray("\x10\0\0\0", 4).repeated(16)); }, 16, nullptr},
    {"bmp of more run codes than pixels", [] { return bmpRuns(QByteArray("\0\2\0\0", 4).repeated(130)); }, 0, nullptr},
    {"icon", [] { return tile("ICO", 64); }, 64, nullptr},
    {"icon of a png", [] { return icoOf(TestTiles::encoded(3, 4, 5)); }, 256, nullptr},
    {"pbm", [] { return tile("PBM"); }, 256, nullptr},
    {"pgm", [] { return tile("PGM"); }, 256, nullptr},
    {"ppm", [] { return tile("PPM"); }, 256, nullptr},
    {"pgm in text", [] { return QByteArray("P2\n# made by hand\n2 2\n255\n1 2\n3 4\n"); }, 2, nullptr},
    {"pgm of more text than samples", [] { return "P2\n2 2\n255\n1 2" + QByteArray(8 * 4 + 4096, ' ') + "3 4\n"; }, 0, nullptr},
    {"xbm", [] { return tile("XBM"); }, 256, nullptr},
    {"xbm of more text than pixels", [] { return tile("XBM", 16) + QByteArray(7 * 2 * 16 + 4096, '\n'); }, 0, nullptr},
    {"xpm", [] { return tile("XPM"); }, 256, nullptr},
    {"xpm of 4096 colours", [] { return xpm(4096); }, 16, nullptr},
    {"xpm of 4097 colours", [] { return xpm(4097); }, 0, nullptr},
    {"tiff", [] { return tile("TIFF"); }, 256, nullptr},
    {"tiff holding a jpeg", [] { return tiffCompressed(7); }, 0, nullptr},
    {"webp", [] { return tile("WEBP"); }, 256, nullptr},
    {"webp one pixel too wide", [] { return tile("WEBP", TileImage::MaxSide + 1); }, 0, nullptr},
    {"svg", [] { return QByteArray("<svg xmlns='http://www.w3.org/2000/svg' width='16' height='16'/>"); }, 0, nullptr},
};
// clang-format on

} // namespace

class tst_ImageReader : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decodes_data() { addRows(decodeRows); }
    void decodes();
};

void tst_ImageReader::decodes()
{
    QFETCH(int, row);
    const auto &t = decodeRows[row];
    const QByteArray bytes = t.bytes();
    QVERIFY(!bytes.isEmpty());
    // Qt 6 passes libpng's warnings on as information.
    const bool asInfo = QT_VERSION >= QT_VERSION_CHECK(6, 0, 0) && t.warning
        && QByteArray(t.warning).contains("libpng");
    if (t.warning)
        for (int i = 0; i < 2; ++i)
            QTest::ignoreMessage(asInfo ? QtInfoMsg : QtWarningMsg,
                                 QRegularExpression(QLatin1String(t.warning)));
    const QImage image = TileImage::decode(bytes);
    QCOMPARE(image.width(), t.width);
    // Refused before any decoding, not by the decoder.
    QCOMPARE(BoundedImageReader::tiles().survey(bytes).accepted(), t.width > 0);
    // What is decoded, is decoded as Qt decodes it alone.
    if (t.width > 0)
        QCOMPARE(image, QImage::fromData(bytes));
    QCOMPARE(WholeImage::check(bytes), t.width > 0);
}

QTEST_MAIN(tst_ImageReader)
#include "tst_imagereader.moc"
