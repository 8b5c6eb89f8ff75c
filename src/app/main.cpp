#include <QApplication>

#include "ports/RtMidiPortService.h"
#include "windows/Tambview.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tamblin"));

    tamblin::ports::RtMidiPortService service;
    tamblin::windows::Tambview window(service);
    window.load();
    window.show();
    return QApplication::exec();
}
