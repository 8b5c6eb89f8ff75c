// Ticks go on while the device dialog waits for the user, so a ring overrun can end the program
// from under the handler that showed the dialog. Once the program has ended, that handler must
// not go on to open the device it was choosing.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QMessageBox>
#include <QPushButton>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "doubles/InProcessPortService.h"
#include "input/InputRing.h"
#include "support/ForwardingPortService.h"
#include "support/ModalDriver.h"
#include "support/WindowProbe.h"
#include "windows/Tambview.h"

namespace tamblin::windows {
namespace {

using input::InputRing;
using ports::InProcessPortService;
using testing::WindowProbe;

TEST(OverrunDuringDialogTest, NoDeviceOpensOnceTheOverrunHasEndedTheProgram) {
    testing::ensureApplication();
    // Each brings up a device dialog.
    for (const char* control : {"cmdChange", "cmdChangeO", "chkMidiOut"}) {
        SCOPED_TRACE(control);
        // The overrun flag never resets, so each case has a ring of its own, filled by hand.
        auto ring = std::make_unique<InputRing>();
        InProcessPortService service;
        service.setInputDevices({"Keys", "Pads"});
        service.setOutputDevices({"Synth", "Organ"});
        Tambview window(service, *ring);
        int ends = 0;
        window.setEndProgram([&] { ++ends; });
        testing::clickInNextModal(QStringLiteral("OK"));  // the input dialog at start-up
        window.load();
        ASSERT_TRUE(service.inputOpen(0));

        testing::MessageBoxFacts shown;
        testing::onNextModal([&](QWidget*) {
            for (int i = 0; i < InputRing::kSlots; ++i) ring->store(0x403C90, i);  // ch1 note 60
            ASSERT_TRUE(ring->overrun());
            // The next tick shows the overrun message over the dialog; OK on it ends the program.
            testing::answerNextMessageBox(&shown, 60000);
        });
        WindowProbe probe(window);
        if (std::string_view(control).starts_with("chk"))
            probe.checkBox(control)->click();
        else
            probe.button(control)->click();

        EXPECT_EQ(shown.text, Tambview::kOverrunText);
        EXPECT_EQ(ends, 1);
        EXPECT_EQ(service.inputOpens(), 1) << "only the one at start-up";
        EXPECT_EQ(service.outputOpens(), 0);
        for (int id = 0; id < 2; ++id) {
            EXPECT_FALSE(service.inputOpen(id)) << id;
            EXPECT_FALSE(service.outputOpen(id)) << id;
        }
    }
}

// The box waits for a person; a script, the log file's reader and the synthesiser played through
// direct thru must not: by the time the box shows, thru has stopped and both have been told.
TEST(OverrunDuringDialogTest, TheOverrunIsToldAndThruStopsBeforeTheBoxWaits) {
    testing::ensureApplication();
    struct GateWatch : testing::ForwardingPortService {
        using ForwardingPortService::ForwardingPortService;
        bool thruAllowed = false;
        void setThruGate(bool outputAllowed, bool realTimeFiltered) override {
            thruAllowed = outputAllowed;
            ForwardingPortService::setThruGate(outputAllowed, realTimeFiltered);
        }
    };
    auto ring = std::make_unique<InputRing>();
    InProcessPortService inner;
    inner.setInputDevices({"Keys"});
    inner.setOutputDevices({"Synth"});
    GateWatch service(inner);
    Tambview window(service, *ring);
    std::vector<std::string> reports;
    std::string copy;
    window.setOverrunReport([&](std::string_view text) { reports.emplace_back(text); });
    window.setLogCopy([&](std::string_view text) { copy.append(text); });
    int ends = 0;
    window.setEndProgram([&] { ++ends; });
    window.setStartDevices(0, 0);
    window.load();
    ASSERT_TRUE(service.thruAllowed) << "output allowed from the start";

    ring->store(0x403C90, 1500);  // ch1 note 60, shown at the next tick
    window.refreshTick();
    for (int i = 0; i < InputRing::kSlots; ++i) ring->store(0x403C80, 2000 + i);  // lost
    ASSERT_TRUE(ring->overrun());

    bool thruWhileShown = true;
    std::vector<std::string> reportsWhileShown;
    std::string copyWhileShown;
    testing::onNextMessageBox(
        [&](QMessageBox* box) {
            thruWhileShown = service.thruAllowed;
            reportsWhileShown = reports;
            copyWhileShown = copy;
            box->buttons().front()->click();  // its one button, OK
        },
        60000);
    window.refreshTick();

    EXPECT_FALSE(thruWhileShown);
    EXPECT_EQ(reportsWhileShown, std::vector<std::string>{Tambview::kOverrunText});
    EXPECT_EQ(copyWhileShown,
              "1.5 403C90 note on:  C:1 N:60 V:64\n"
              "Messages after 1.5 were lost: the MIDI input buffer was overrun.\n");
    EXPECT_TRUE(window.overran());
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(reports.size(), 1u);
}

}  // namespace
}  // namespace tamblin::windows
