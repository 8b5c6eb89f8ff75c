// Ticks go on while the device dialog waits for the user, so a ring overrun can end the program
// from under the handler that showed the dialog. Once the program has ended, that handler must
// not go on to open the device it was choosing.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QPushButton>
#include <memory>
#include <string_view>

#include "doubles/InProcessPortService.h"
#include "input/InputRing.h"
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

}  // namespace
}  // namespace tamblin::windows
