// Writes a picture of the whole screen to a PNG, once or every few seconds, for machines where
// nobody is watching the display (the monitor on Xvfb).
//
//   tamblin-shot [--every SECONDS] FILE.png
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool writeShot(const QString& path) {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) return false;
    // Write beside the target, then rename, so a reader never sees half a file.
    const QString partial = path + QStringLiteral(".part.png");
    if (!screen->grabWindow(0).save(partial, "PNG")) return false;
    QFile::remove(path);
    return QFile::rename(partial, path);
}

}  // namespace

int main(int argc, char* argv[]) {
    QGuiApplication app(argc, argv);
    int every = 0;
    QString path;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--every") == 0 && i + 1 < argc) {
            every = std::atoi(argv[++i]);
        } else if (argv[i][0] != '-' && path.isEmpty()) {
            path = QString::fromLocal8Bit(argv[i]);
        } else {
            path.clear();
            break;
        }
    }
    if (path.isEmpty() || every < 0) {
        std::fprintf(stderr, "usage: tamblin-shot [--every SECONDS] FILE.png\n");
        return 2;
    }
    if (every == 0) return writeShot(path) ? 0 : 1;

    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&path] { writeShot(path); });
    timer.start(every * 1000);
    writeShot(path);
    return QGuiApplication::exec();
}
