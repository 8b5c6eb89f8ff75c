// tamblin-icons: the program's icon for a desktop's hicolor theme, made at build time from the
// one pixel drawing the window shows (src/windows/icons/tamblin.png), so that they cannot drift
// apart.
//
// Usage: tamblin-icons DRAWING.png NAME OUTPUT_DIR SIZE...
// It writes OUTPUT_DIR/scalable/apps/NAME.svg, one square per pixel with crisp edges and the
// transparent pixels left out, and OUTPUT_DIR/SIZExSIZE/apps/NAME.png for each SIZE, scaled
// nearest-neighbour so that the drawing's pixels stay sharp at every size.
//
// Exit status: 0 done, 1 a file could not be read or written, 2 bad usage.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QString>
#include <QTextStream>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kBadUsage = 2;

QString svgOf(const QImage& drawing) {
    QString svg;
    QTextStream out(&svg);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << drawing.width() << "\" height=\""
        << drawing.height() << "\" viewBox=\"0 0 " << drawing.width() << ' ' << drawing.height()
        << "\" shape-rendering=\"crispEdges\">\n";
    for (int y = 0; y < drawing.height(); ++y) {
        for (int x = 0; x < drawing.width(); ++x) {
            const QRgb pixel = drawing.pixel(x, y);
            if (qAlpha(pixel) == 0) continue;
            out << "<rect x=\"" << x << "\" y=\"" << y << "\" width=\"1\" height=\"1\" fill=\""
                << QString::asprintf("#%02x%02x%02x", qRed(pixel), qGreen(pixel), qBlue(pixel))
                << '"';
            if (qAlpha(pixel) != 255)
                out << " fill-opacity=\"" << QString::number(qAlpha(pixel) / 255.0, 'f', 3) << '"';
            out << "/>\n";
        }
    }
    out << "</svg>\n";
    return svg;
}

// Each target pixel takes the drawing's pixel under its centre.
QImage scaledSharp(const QImage& drawing, int size) {
    QImage scaled(size, size, QImage::Format_ARGB32);
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x)
            scaled.setPixel(x, y,
                            drawing.pixel((2 * x + 1) * drawing.width() / (2 * size),
                                          (2 * y + 1) * drawing.height() / (2 * size)));
    return scaled;
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) &&
           file.write(bytes) == bytes.size();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fputs("usage: tamblin-icons DRAWING.png NAME OUTPUT_DIR SIZE...\n", stderr);
        return kBadUsage;
    }
    const QString drawingPath = QString::fromLocal8Bit(argv[1]);
    const QString name = QString::fromLocal8Bit(argv[2]);
    const QString outputDir = QString::fromLocal8Bit(argv[3]);
    std::vector<int> sizes;
    for (int i = 4; i < argc; ++i) {
        char* end = nullptr;
        const long size = std::strtol(argv[i], &end, 10);
        if (end == argv[i] || *end != '\0' || size < 1 || size > 4096) {
            std::fprintf(stderr, "tamblin-icons: not a size: %s\n", argv[i]);
            return kBadUsage;
        }
        sizes.push_back(static_cast<int>(size));
    }

    const QImage drawing = QImage(drawingPath).convertToFormat(QImage::Format_ARGB32);
    if (drawing.isNull()) {
        std::fprintf(stderr, "tamblin-icons: cannot read %s\n", argv[1]);
        return kFailed;
    }

    const QString svgPath = outputDir + "/scalable/apps/" + name + ".svg";
    if (!writeFile(svgPath, svgOf(drawing).toUtf8())) {
        std::fprintf(stderr, "tamblin-icons: cannot write %s\n", qPrintable(svgPath));
        return kFailed;
    }
    for (const int size : sizes) {
        const QString pngPath =
            outputDir + QString("/%1x%1/apps/").arg(size) + name + QStringLiteral(".png");
        if (!QDir().mkpath(QFileInfo(pngPath).path()) ||
            !scaledSharp(drawing, size).save(pngPath, "PNG")) {
            std::fprintf(stderr, "tamblin-icons: cannot write %s\n", qPrintable(pngPath));
            return kFailed;
        }
    }
    return kDone;
}
