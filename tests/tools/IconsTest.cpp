// The desktop icons that the build draws (tools/tamblin-icons) against the window icon, pixel
// for pixel: each PNG is the drawing scaled nearest-neighbour, and the SVG has one square per
// visible pixel in its colour.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QXmlStreamReader>
#include <cmath>

// The window icon lives in the windows library's resources; they must be registered by name.
static void registerWindowResources() {
    Q_INIT_RESOURCE(windows);
}

namespace {

const QString kIconName = QStringLiteral("org.tamblin.Tamblin");

QImage windowDrawing() {
    registerWindowResources();
    return QImage(QStringLiteral(":/tamblin/icons/tamblin.png"))
        .convertToFormat(QImage::Format_ARGB32);
}

QString themeDir() {
    return QString::fromLocal8Bit(qgetenv("TAMBLIN_BUILD_DIR")) + QStringLiteral("/icons/hicolor");
}

// The colour of a transparent pixel does not matter.
bool samePixel(QRgb a, QRgb b) {
    return qAlpha(a) == qAlpha(b) && (qAlpha(a) == 0 || (a & 0xFFFFFF) == (b & 0xFFFFFF));
}

TEST(Icons, EachPngIsTheDrawingWithSharpPixels) {
    const QImage drawing = windowDrawing();
    ASSERT_EQ(drawing.size(), QSize(16, 16));
    const QStringList sizes = QDir(themeDir()).entryList({QStringLiteral("*x*")}, QDir::Dirs);
    ASSERT_FALSE(sizes.isEmpty()) << "no icons under " << themeDir().toStdString();
    for (const QString& size : sizes) {
        SCOPED_TRACE(size.toStdString());
        const int n = size.section(QLatin1Char('x'), 0, 0).toInt();
        const QImage png =
            QImage(themeDir() + QLatin1Char('/') + size + "/apps/" + kIconName + ".png")
                .convertToFormat(QImage::Format_ARGB32);
        ASSERT_EQ(png.size(), QSize(n, n));
        int wrong = 0;
        for (int y = 0; y < n; ++y) {
            for (int x = 0; x < n; ++x) {
                // The drawing's pixel under the centre of this one.
                const auto from = [n](int at) { return static_cast<int>((at + 0.5) * 16 / n); };
                if (!samePixel(png.pixel(x, y), drawing.pixel(from(x), from(y)))) ++wrong;
            }
        }
        EXPECT_EQ(wrong, 0);
    }
}

TEST(Icons, SvgHasOneSquarePerVisiblePixel) {
    const QImage drawing = windowDrawing();
    QFile file(themeDir() + "/scalable/apps/" + kIconName + ".svg");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << file.fileName().toStdString();

    QImage drawn(drawing.size(), QImage::Format_ARGB32);
    drawn.fill(Qt::transparent);
    int squares = 0;
    QXmlStreamReader svg(&file);
    while (svg.readNextStartElement()) {
        const QXmlStreamAttributes a = svg.attributes();
        if (svg.name() == QLatin1String("svg")) {
            EXPECT_EQ(a.value("viewBox"), QLatin1String("0 0 16 16"));
            EXPECT_EQ(a.value("shape-rendering"), QLatin1String("crispEdges"));
            continue;  // into its children
        }
        ASSERT_EQ(svg.name(), QLatin1String("rect"));
        ASSERT_EQ(a.value("width"), QLatin1String("1"));
        ASSERT_EQ(a.value("height"), QLatin1String("1"));
        const int x = a.value("x").toInt();
        const int y = a.value("y").toInt();
        ASSERT_TRUE(drawn.rect().contains(x, y)) << x << "," << y;
        EXPECT_EQ(qAlpha(drawn.pixel(x, y)), 0) << "two squares at " << x << "," << y;
        const QColor fill(a.value("fill").toString());
        ASSERT_TRUE(fill.isValid()) << a.value("fill").toString().toStdString();
        const double opacity =
            a.hasAttribute("fill-opacity") ? a.value("fill-opacity").toDouble() : 1.0;
        const auto alpha = static_cast<int>(std::lround(opacity * 255));
        EXPECT_GT(alpha, 0) << "an invisible square at " << x << "," << y;
        drawn.setPixel(x, y, qRgba(fill.red(), fill.green(), fill.blue(), alpha));
        ++squares;
        svg.skipCurrentElement();
    }
    ASSERT_FALSE(svg.hasError()) << svg.errorString().toStdString();
    EXPECT_GT(squares, 0);
    int wrong = 0;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
            if (!samePixel(drawn.pixel(x, y), drawing.pixel(x, y))) ++wrong;
    EXPECT_EQ(wrong, 0);
}

}  // namespace
