// The main window over an in-process port service, as a screen reader finds it: one input device
// "Keys" that has played a note on (channel 1, note 60), a program change (channel 2, program 5)
// and a control change (channel 3, controller 7, value 100) before accessibility came on, and a
// note off (channel 1, note 62) after. Prints "ready" once all four show, then runs until its
// standard input ends.
#include <unistd.h>
#include <QAccessible>
#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <utility>

#include "doubles/InProcessPortService.h"
#include "input/InputRing.h"
#include "windows/Tambview.h"

int main(int argc, char** argv) {
    using namespace tamblin;
    QApplication application(argc, argv);
    ports::InProcessPortService service;
    service.setInputDevices({"Keys"});
    input::InputRing ring;
    windows::Tambview window(service, ring);
    window.setEndProgram([] { QCoreApplication::exit(0); });
    window.load();
    window.show();
    if (service.play(0, {{0x403C90, 10},   // ch1 note 60 vel 64
                         {0x05C1, 20},     // ch2 program 5
                         {0x6407B2, 30}})  // ch3 controller 7 value 100
        != 3)
        return 1;
    window.refreshTick();

    // Qt's bridge comes on once the event loop runs and has reached the AT-SPI bus; should it
    // be on already, the note off is played at once.
    struct AfterActivation final : QAccessible::ActivationObserver {
        std::function<void()> then;
        void accessibilityActiveChanged(bool active) override {
            if (active && then) QTimer::singleShot(0, std::exchange(then, nullptr));
        }
    } afterActivation;
    afterActivation.then = [&] {
        if (service.play(0, {{0x003E80, 40}}) != 1) QCoreApplication::exit(1);
        window.refreshTick();
        std::puts("ready");
        std::fflush(stdout);
    };
    QAccessible::installActivationObserver(&afterActivation);
    if (QAccessible::isActive()) afterActivation.accessibilityActiveChanged(true);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [] {
        char byte = 0;
        if (::read(STDIN_FILENO, &byte, 1) <= 0) QCoreApplication::exit(0);
    });
    const int status = QApplication::exec();
    QAccessible::removeActivationObserver(&afterActivation);
    return status;
}
