#include "TestTiles.h"
#include "TilesFromFile.h"

#include <QtCore/QDirIterator>
#include <QtGui/QImageReader>
#include <QtTest/QtTest>

namespace {

QStringList entriesBelow(const QString &root)
{
    QStringList found;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        found << QDir(root).relativeFilePath(it.next());
    found.sort();
    return found;
}

} // namespace

class tst_TilesFromFile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readingTouchesNothing();
    void probingCreatesDirectories();
    void setDataNamesFileAfterFormat_data();
    void setDataNamesFileAfterFormat();
    void setPixmapFollowsSuffix();
    void learnsSuffixBySearch();
    void mixedFormats();
    void unrecognisedBytesStillWritten();
    void refusesHugeDeclaredImage();
};

void tst_TilesFromFile::readingTouchesNothing()
{
    QTemporaryDir tmp;
    const QString root = tmp.filePath(QStringLiteral("missing/tree"));
    TilesFromFile store(root);
    QVERIFY(store.pixmap(1, 2, 3).isNull());
    QVERIFY(store.pixmap(TileKey(0, 0, 0)).isNull());
    QVERIFY(store.suffix().isEmpty());
    QVERIFY(!QFileInfo::exists(tmp.filePath(QStringLiteral("missing"))));
}

void tst_TilesFromFile::probingCreatesDirectories()
{
    QTemporaryDir tmp;
    TilesFromFile store(tmp.path());
    QVERIFY(!store.contains(5, 6, 7));
    QVERIFY(store.lastModified(TileKey(8, 9, 10)).isNull());
    QCOMPARE(entriesBelow(tmp.path()), QStringList());
}

void tst_TilesFromFile::setDataNamesFileAfterFormat_data()
{
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<QString>("fileName");
    QTest::newRow("png") << QByteArray("PNG") << QStringLiteral("12/23/45.png");
    QTest::newRow("jpeg") << QByteArray("JPEG") << QStringLiteral("12/23/45.jpeg");
}

void tst_TilesFromFile::setDataNamesFileAfterFormat()
{
    QFETCH(QByteArray, format);
    QFETCH(QString, fileName);
    QTemporaryDir tmp;
    TilesFromFile store(tmp.path());
    const QByteArray bytes = TestTiles::encoded(23, 45, 12, format.constData());
    store.setData(23, 45, 12, bytes);
    QCOMPARE(entriesBelow(tmp.path()), (QStringList{"12", "12/23", fileName}));
    QFile file(tmp.filePath(fileName));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), bytes);

    QVERIFY(store.contains(23, 45, 12));
    QVERIFY(store.lastModified(23, 45, 12).isValid());
    const QImage back = store.pixmap(23, 45, 12).toImage();
    QCOMPARE(back.size(), QSize(256, 256));
    QVERIFY(TestTiles::sameColour(back.pixelColor(128, 128), TestTiles::colourOf(23, 45, 12), 4));
}

void tst_TilesFromFile::setPixmapFollowsSuffix()
{
    QTemporaryDir tmp;
    TilesFromFile store(tmp.path());
    store.setPixmap(TileKey(1, 1, 4), QPixmap::fromImage(TestTiles::image(1, 1, 4)));
    QVERIFY(QFileInfo::exists(tmp.filePath(QStringLiteral("4/1/1.png"))));
    QCOMPARE(QImageReader(tmp.filePath(QStringLiteral("4/1/1.png"))).format(), QByteArray("png"));

    store.setData(2, 2, 4, TestTiles::encoded(2, 2, 4, "JPEG"));
    store.setPixmap(3, 3, 4, QPixmap::fromImage(TestTiles::image(3, 3, 4)));
    const QString jpeg = tmp.filePath(QStringLiteral("4/3/3.jpeg"));
    QVERIFY(QFileInfo::exists(jpeg));
    QCOMPARE(QImageReader(jpeg).format(), QByteArray("jpeg"));
}

void tst_TilesFromFile::learnsSuffixBySearch()
{
    QTemporaryDir tmp;
    TestTiles::writeTree(tmp.path(), 9, 10, 11, 20, 21, "JPEG", "jpg");
    TilesFromFile store(tmp.path());
    const QImage first = store.pixmap(10, 20, 9).toImage();
    QVERIFY(!first.isNull());
    QVERIFY(TestTiles::sameColour(first.pixelColor(5, 5), TestTiles::colourOf(10, 20, 9), 4));
    QCOMPARE(store.suffix(), QStringLiteral("jpg"));
    const QImage second = store.pixmap(11, 21, 9).toImage();
    QVERIFY(TestTiles::sameColour(second.pixelColor(5, 5), TestTiles::colourOf(11, 21, 9), 4));
    QCOMPARE(store.suffix(), QStringLiteral("jpg"));
    // Reading creates no directories and no files.
    QCOMPARE(entriesBelow(tmp.path()).size(), 2 + 1 + 4);
}

void tst_TilesFromFile::mixedFormats()
{
    QTemporaryDir tmp;
    TestTiles::writeTree(tmp.path(), 5, 1, 1, 1, 1, "PNG", "png");
    TestTiles::writeTree(tmp.path(), 5, 2, 2, 2, 2, "JPEG", "jpeg");
    TilesFromFile store(tmp.path());
    for (int round = 0; round < 2; ++round) {
        QVERIFY(!store.pixmap(1, 1, 5).isNull());
        QCOMPARE(store.suffix(), QStringLiteral("png"));
        QVERIFY(!store.pixmap(2, 2, 5).isNull());
        QCOMPARE(store.suffix(), QStringLiteral("jpeg"));
    }
}

void tst_TilesFromFile::unrecognisedBytesStillWritten()
{
    QTemporaryDir tmp;
    TilesFromFile store(tmp.path());
    store.setData(3, 4, 5, QByteArray("not an image"));
    QCOMPARE(store.suffix(), QString());
    QVERIFY(QFileInfo::exists(tmp.filePath(QStringLiteral("5/3/4."))));
    QVERIFY(store.pixmap(3, 4, 5).isNull());
}

void tst_TilesFromFile::refusesHugeDeclaredImage()
{
    QTemporaryDir tmp;
    QDir().mkpath(tmp.filePath(QStringLiteral("6/1")));
    QFile file(tmp.filePath(QStringLiteral("6/1/1.png")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(TestTiles::pngDeclaring(30000));
    file.close();
    QCOMPARE(QImageReader(file.fileName()).size(), QSize(30000, 30000));

    TilesFromFile store(tmp.path());
    QVERIFY(store.pixmap(1, 1, 6).isNull());
}

QTEST_MAIN(tst_TilesFromFile)
#include "tst_tilesfromfile.moc"
