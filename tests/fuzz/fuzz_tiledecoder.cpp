// Fuzz target for the decoding of tiles from files, databases and servers. With
// -fsanitize=fuzzer (clang) libFuzzer drives LLVMFuzzerTestOneInput; otherwise the main
// below runs the seeds and a fixed number of seeded mutations of each, which the
// sanitizer build does as a short, bounded, reproducible run.
#include "TileImage.h"

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QRandomGenerator>
#include <QtGui/QGuiApplication>

#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QImage image = TileImage::decode(
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size)));
    // Whatever is decoded stays within what a tile may be.
    if (image.width() > TileImage::MaxSide || image.height() > TileImage::MaxSide)
        std::abort();
    return 0;
}

#ifndef VELTRA_LIBFUZZER

namespace {

QByteArray mutated(QByteArray bytes, QRandomGenerator &random)
{
    const int edits = 1 + int(random.bounded(4));
    for (int i = 0; i < edits && !bytes.isEmpty(); ++i) {
        const int at = int(random.bounded(bytes.size()));
        switch (random.bounded(4)) {
        case 0: // a flipped bit
            bytes[at] = char(bytes[at] ^ (1 << random.bounded(8)));
            break;
        case 1: // a boundary value, as in a size field
            bytes[at] = char(QByteArray("\x00\xff\x7f\x80", 4).at(int(random.bounded(4))));
            break;
        case 2: // cut short
            bytes.truncate(at);
            break;
        default: // a big number written over four bytes
            for (int k = 0; k < 4 && at + k < bytes.size(); ++k)
                bytes[at + k] = char(0x7f - k);
        }
    }
    return bytes;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    // The decoders' complaints about broken input are the point of the exercise.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    const QStringList args = app.arguments();
    const QDir seeds(args.value(1));
    const int rounds = args.value(2, QStringLiteral("300")).toInt();
    QRandomGenerator random(20261206);
    int runs = 0;
    for (const QString &name : seeds.entryList(QDir::Files, QDir::Name)) {
        QFile file(seeds.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            return 1;
        const QByteArray seed = file.readAll();
        for (int i = 0; i <= rounds; ++i, ++runs) {
            const QByteArray input = i == 0 ? seed : mutated(seed, random);
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(input.constData()),
                                   size_t(input.size()));
        }
    }
    std::printf("%d inputs decoded\n", runs);
    return runs > 0 ? 0 : 1;
}

#endif
