#include <QFile>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QPixmap>
#include <QRegularExpression>
#include <QResource>
#include <QStringDecoder>
#include <QTest>
#include <QtEndian>

#include <cstring>

// The files as they sit in the source tree, to hold the compiled-in copies to.
#ifndef TRELVAN_SOURCE_DIR
#error "TRELVAN_SOURCE_DIR must name the source tree"
#endif

namespace {

QByteArray ReadAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
}

QString SourceFile(const char *name)
{
    return QStringLiteral(TRELVAN_SOURCE_DIR "/") + QLatin1String(name);
}

quint8 U8(const QByteArray &b, qsizetype at)
{
    return quint8(b.at(at));
}
quint16 U16(const QByteArray &b, qsizetype at)
{
    return qFromLittleEndian<quint16>(b.constData() + at);
}
quint32 U32(const QByteArray &b, qsizetype at)
{
    return qFromLittleEndian<quint32>(b.constData() + at);
}
qint32 I32(const QByteArray &b, qsizetype at)
{
    return qFromLittleEndian<qint32>(b.constData() + at);
}

// The icon file's fixed layout: four images of 32 bits per pixel.
struct IconImage
{
    int size;
    quint32 bytes;
    quint32 offset;
};
constexpr IconImage iconImages[] = {
    {16, 1128, 70}, {32, 4264, 1198}, {48, 9640, 5462}, {64, 16936, 15102}};
constexpr qsizetype iconFileSize = 32038;

} // namespace

class TestResources : public QObject
{
    Q_OBJECT

    // The IEEE listings: the OUIs and the smaller blocks inside some of them.
    void listings()
    {
        QTest::addColumn<QString>("name");
        for (const char *name : {"oui.txt", "mam.txt", "oui36.txt", "iab.txt"})
            QTest::newRow(name) << QString::fromLatin1(name);
    }

private slots:
    void listingMatchesSource_data() { listings(); }
    void listingMatchesSource();
    void listingLineEnds_data() { listings(); }
    void listingLineEnds();
    void listingRecordLines();
    void listingReadInPlace_data() { listings(); }
    void listingReadInPlace();
    void iconMatchesSource();
    void iconDirectory();
    void iconImage_data();
    void iconImage();
    void iconLoads();
    void desktopIconsMatch();
};

void TestResources::listingMatchesSource()
{
    QFETCH(QString, name);
    const QByteArray embedded = ReadAll(QStringLiteral(":/res/") + name);
    const QByteArray source = ReadAll(SourceFile("res/") + name);
    QVERIFY(!source.isEmpty());
    QCOMPARE(embedded.size(), source.size());
    QVERIFY(embedded == source);
}

void TestResources::listingLineEnds()
{
    QFETCH(QString, name);
    const QByteArray listing = ReadAll(QStringLiteral(":/res/") + name);
    QVERIFY(!listing.isEmpty());
    QCOMPARE(listing.count('\r'), 0);
    QVERIFY(listing.endsWith('\n'));
    QVERIFY(!listing.startsWith("\xEF\xBB\xBF"));

    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8(listing);
    QVERIFY(!utf8.hasError());
    QVERIFY(text.size() < listing.size()); // some names are not ASCII
}

void TestResources::listingRecordLines()
{
    // Every record is a "(hex)" line followed by its "(base 16)" line: three
    // spaces, respectively five, then two tabs before the name.
    const QRegularExpression hexLine(
        QStringLiteral(R"(^([0-9A-F]{2})-([0-9A-F]{2})-([0-9A-F]{2})   \(hex\)\t\t(.*)$)"));
    const QRegularExpression baseLine(QStringLiteral(R"(^([0-9A-F]{6})     \(base 16\)\t\t(.*)$)"));
    QVERIFY(hexLine.isValid());
    QVERIFY(baseLine.isValid());

    const QStringList lines =
        QString::fromUtf8(ReadAll(QStringLiteral(":/res/oui.txt"))).split(QLatin1Char('\n'));
    int records = 0;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (lines[i].contains(QLatin1String("(base"))) {
            QVERIFY2(i > 0 && lines[i - 1].contains(QLatin1String("(hex)")), qPrintable(lines[i]));
        }
        if (!lines[i].contains(QLatin1String("(hex)"))) {
            continue;
        }
        const QRegularExpressionMatch hex = hexLine.match(lines[i]);
        QVERIFY2(hex.hasMatch(), qPrintable(lines[i]));
        QVERIFY(i + 1 < lines.size());
        const QRegularExpressionMatch base = baseLine.match(lines[i + 1]);
        QVERIFY2(base.hasMatch(), qPrintable(lines[i + 1]));
        QCOMPARE(base.captured(1), hex.captured(1) + hex.captured(2) + hex.captured(3));
        ++records;
    }
    QVERIFY(records > 0);
    qInfo("%d records", records);
}

void TestResources::listingReadInPlace()
{
    // Stored uncompressed, the listing can be mapped where it lies instead
    // of being unpacked into a copy at every start.
    QFETCH(QString, name);
    const QString path = QStringLiteral(":/res/") + name;
    QCOMPARE(QResource(path).compressionAlgorithm(), QResource::NoCompression);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const uchar *mapped = file.map(0, file.size());
    QVERIFY(mapped);
    const QByteArray bytes = ReadAll(SourceFile("res/") + name);
    QVERIFY(memcmp(mapped, bytes.constData(), size_t(bytes.size())) == 0);
}

void TestResources::iconMatchesSource()
{
    const QByteArray embedded = ReadAll(QStringLiteral(":/res/trelvan.ico"));
    const QByteArray source = ReadAll(SourceFile("res/trelvan.ico"));
    QVERIFY(!source.isEmpty());
    QVERIFY(embedded == source);
}

void TestResources::iconDirectory()
{
    const QByteArray ico = ReadAll(QStringLiteral(":/res/trelvan.ico"));
    QCOMPARE(ico.size(), iconFileSize);
    QCOMPARE(U16(ico, 0), quint16(0)); // reserved
    QCOMPARE(U16(ico, 2), quint16(1)); // icon, not cursor
    QCOMPARE(U16(ico, 4), quint16(std::size(iconImages)));

    // Images follow the directory and each other with no gap, to the end.
    qsizetype next = 6 + 16 * qsizetype(std::size(iconImages));
    for (qsizetype i = 0; i < qsizetype(std::size(iconImages)); ++i) {
        const qsizetype entry = 6 + 16 * i;
        QCOMPARE(U32(ico, entry + 12), quint32(next));
        next += U32(ico, entry + 8);
    }
    QCOMPARE(next, ico.size());
}

void TestResources::iconImage_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("size");
    QTest::addColumn<quint32>("bytes");
    QTest::addColumn<quint32>("offset");
    for (int i = 0; i < int(std::size(iconImages)); ++i) {
        const IconImage &image = iconImages[i];
        QTest::addRow("%dx%d", image.size, image.size)
            << i << image.size << image.bytes << image.offset;
    }
}

void TestResources::iconImage()
{
    QFETCH(int, index);
    QFETCH(int, size);
    QFETCH(quint32, bytes);
    QFETCH(quint32, offset);

    const QByteArray ico = ReadAll(QStringLiteral(":/res/trelvan.ico"));
    QCOMPARE(ico.size(), iconFileSize);

    const qsizetype entry = 6 + 16 * index;
    QCOMPARE(int(U8(ico, entry + 0)), size);    // width
    QCOMPARE(int(U8(ico, entry + 1)), size);    // height
    QCOMPARE(U8(ico, entry + 2), quint8(0));    // colour count
    QCOMPARE(U8(ico, entry + 3), quint8(0));    // reserved
    QCOMPARE(U16(ico, entry + 4), quint16(1));  // planes
    QCOMPARE(U16(ico, entry + 6), quint16(32)); // bits per pixel
    QCOMPARE(U32(ico, entry + 8), bytes);
    QCOMPARE(U32(ico, entry + 12), offset);

    // The bitmap header; the height counts the colour image and the mask.
    const qsizetype dib = offset;
    QCOMPARE(U32(ico, dib + 0), quint32(40));
    QCOMPARE(I32(ico, dib + 4), size);
    QCOMPARE(I32(ico, dib + 8), 2 * size);
    QCOMPARE(U16(ico, dib + 12), quint16(1));
    QCOMPARE(U16(ico, dib + 14), quint16(32));
    QCOMPARE(U32(ico, dib + 16), quint32(0)); // uncompressed

    const qsizetype pixels = qsizetype(size) * size * 4;
    const qsizetype maskStride = (size + 31) / 32 * 4;
    QCOMPARE(qsizetype(bytes), 40 + pixels + maskStride * size);

    // The mask marks exactly the fully transparent pixels.
    const qsizetype mask = dib + 40 + pixels;
    int transparent = 0;
    for (int row = 0; row < size; ++row) {
        for (int col = 0; col < size; ++col) {
            const quint8 alpha = U8(ico, dib + 40 + (qsizetype(row) * size + col) * 4 + 3);
            const bool masked = U8(ico, mask + row * maskStride + col / 8) & (0x80 >> (col % 8));
            QCOMPARE(masked, alpha == 0);
            transparent += masked;
        }
        // Padding bits past the last column stay clear.
        for (int col = size; col < maskStride * 8; ++col) {
            QVERIFY(!(U8(ico, mask + row * maskStride + col / 8) & (0x80 >> (col % 8))));
        }
    }
    QVERIFY(transparent > 0);
    QVERIFY(transparent < size * size);
}

void TestResources::iconLoads()
{
    const QString path = QStringLiteral(":/res/trelvan.ico");

    QImageReader reader(path);
    QCOMPARE(reader.imageCount(), int(std::size(iconImages)));
    QList<int> sizes;
    for (int i = 0; i < reader.imageCount(); ++i) {
        QVERIFY(reader.jumpToImage(i));
        const QImage image = reader.read();
        QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
        QCOMPARE(image.width(), image.height());
        QVERIFY(image.hasAlphaChannel());
        // A round scope: opaque in the middle, clear in the corners.
        QCOMPARE(qAlpha(image.pixel(image.width() / 2, image.height() / 2)), 255);
        QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
        sizes << image.width();
    }
    QCOMPARE(sizes, QList<int>({16, 32, 48, 64}));

    const QPixmap pixmap(path);
    QVERIFY(!pixmap.isNull());

    QIcon icon;
    icon.addPixmap(pixmap);
    QVERIFY(!icon.isNull());
    const QIcon fromFile(path);
    QVERIFY(!fromFile.isNull());
    QVERIFY(!fromFile.pixmap(16, 16).isNull());
    QVERIFY(!fromFile.pixmap(64, 64).isNull());
}

void TestResources::desktopIconsMatch()
{
    // tools/make-icon.py draws the desktop's PNGs with the .ico: at the
    // .ico's sizes they hold the same pixels. Compared premultiplied, as
    // Qt's .ico reader rounds semi-transparent pixels on the way in.
    QImageReader reader(QStringLiteral(":/res/trelvan.ico"));
    QCOMPARE(reader.imageCount(), int(std::size(iconImages)));
    for (int i = 0; i < reader.imageCount(); ++i) {
        QVERIFY(reader.jumpToImage(i));
        const QImage fromIco = reader.read().convertToFormat(QImage::Format_ARGB32_Premultiplied);
        const QString path =
            SourceFile("res/linux/icons/hicolor/%1x%1/apps/example.dantrix.trelvan.png")
                .arg(iconImages[i].size);
        const QImage png = QImage(path).convertToFormat(QImage::Format_ARGB32_Premultiplied);
        QVERIFY2(!png.isNull(), qPrintable(path));
        QCOMPARE(png.size(), fromIco.size());
        QVERIFY2(png == fromIco, qPrintable(path));
    }
    for (const int size : {22, 24, 128, 256}) {
        const QString path =
            SourceFile("res/linux/icons/hicolor/%1x%1/apps/example.dantrix.trelvan.png").arg(size);
        QCOMPARE(QImageReader(path).size(), QSize(size, size));
    }
}

QTEST_MAIN(TestResources)
#include "tst_resources.moc"
