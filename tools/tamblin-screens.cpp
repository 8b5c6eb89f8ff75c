// Writes a PNG of each tab page of the monitor after a short demo burst, for the README.
//
//   tamblin-screens OUTPUT_DIR
//
// It runs the real window over the in-process port service, so no MIDI system is needed;
// run it with QT_QPA_PLATFORM=offscreen on a machine without a display.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QTabBar>
#include <cstdio>
#include <vector>

#include "doubles/InProcessPortService.h"
#include "windows/Tambview.h"

namespace {

using Event = tamblin::ports::InProcessPortService::Event;

std::vector<Event> demoBurst() {
    std::vector<Event> events;
    std::int32_t time = 1000;
    auto add = [&](std::uint32_t status, std::uint32_t data1, std::uint32_t data2) {
        events.push_back({status | (data1 << 8) | (data2 << 16), time});
        time += 37;
    };
    // A chord on channel 1, a bass line on channel 2, drums on channel 10; some released.
    for (int note : {60, 64, 67, 72}) add(0x90, static_cast<std::uint32_t>(note), 100);
    for (int note : {36, 43, 41, 38}) add(0x91, static_cast<std::uint32_t>(note), 90);
    for (int note : {36, 38, 42, 46, 49}) add(0x99, static_cast<std::uint32_t>(note), 120);
    add(0x80, 64, 0);
    add(0x81, 43, 0);
    add(0x99, 42, 0);
    for (std::uint32_t channel = 0; channel < 16; channel += 3)
        add(0xC0 + channel, 5 + channel * 7, 0);
    for (std::uint32_t value = 0; value <= 127; value += 16) add(0xB0, 7, value);
    for (std::uint32_t cc : {1u, 10u, 64u, 74u, 91u, 93u}) add(0xB1, cc, cc);
    add(0xE0, 0, 64);
    add(0xD0, 80, 0);
    add(0xA0, 60, 50);
    add(0xF8, 0, 0);
    add(0xFA, 0, 0);
    add(0xFE, 0, 0);
    return events;
}

}  // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: tamblin-screens OUTPUT_DIR\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!QDir().mkpath(out.path())) return 1;

    tamblin::ports::InProcessPortService service;
    service.setInputDevices({"Demo keyboard"});
    service.setOutputDevices({"Demo synth"});
    tamblin::input::InputRing ring;
    tamblin::windows::Tambview window(service, ring);
    window.setEndProgram([] {});
    window.load();
    window.show();
    window.findChild<QCheckBox*>(QStringLiteral("chkNoreal"))->setChecked(false);
    service.play(0, demoBurst());
    window.refreshTick();

    auto* tabs = window.findChild<QTabBar*>(QStringLiteral("tabBar"));
    const char* files[] = {"notes.png", "program-changes.png", "controllers.png", "misc.png"};
    for (int page = 0; page < tabs->count(); ++page) {
        tabs->setCurrentIndex(page);
        QApplication::processEvents();
        const QString path = out.filePath(QString::fromLatin1(files[page]));
        if (!window.grab().save(path, "PNG")) return 1;
        std::printf("%s\n", qPrintable(path));
    }
    window.cmdExit_Click();
    return 0;
}
