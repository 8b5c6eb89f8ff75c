// Windows of the program destroyed under it by another X client (XDestroyWindow, which is what
// `xdotool windowclose` does), on a private Xvfb: each counts as closed by its close box, and the
// main window's destruction ends the program. The widgets run in this process on the xcb platform;
// the whole program runs as a child for the end of a real run.

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <chrono>
#include <cstdlib>
#include <string>

#include "doubles/InProcessPortService.h"
#include "support/ChildProgram.h"
#include "support/ModalDriver.h"
#include "support/WindowProbe.h"
#include "support/XServer.h"
#include "windows/DestroyedWindowWatch.h"
#include "windows/Tambview.h"
#include "windows/ValueDialog.h"

namespace tamblin::windows {
namespace {

using namespace std::chrono_literals;
using testing::ChildProgram;
using testing::onNextMessageBox;
using testing::onNextModal;
using testing::WindowProbe;
using testing::XServer;

// Generous: other helpers' builds and tests share the two cores.
constexpr int kPatienceMs = 30000;

// Started before the application object and kept, as it is, for the whole process.
XServer& xServer() {
    static XServer server;
    return server;
}

class WindowDestroyedTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (xServer().running()) xServer().exportDisplay();
        testing::ensureApplication();
    }

    void SetUp() override {
        ASSERT_TRUE(xServer().running());
        ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("xcb"));
    }

    void TearDown() override {
        EXPECT_TRUE(guard_.closed().isEmpty())
            << "modal windows left open: " << guard_.closed().join(" | ").toStdString();
    }

    // Destroys the X window of `window` from the test's own X connection once it is on the screen.
    static void destroyWhenShown(QWidget* window) {
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window, kPatienceMs));
        xServer().destroyWindow(static_cast<std::uint32_t>(window->winId()));
    }

    DestroyedWindowWatch watch_;

private:
    // A modal call that nothing ends would block the test for good.
    testing::ModalGuard guard_{std::chrono::milliseconds(2 * kPatienceMs)};
};

TEST_F(WindowDestroyedTest, DeviceDialogCountsAsClosedAndTheMainWindowEndsTheProgram) {
    ports::InProcessPortService service;
    service.setInputDevices({"Keys", "Pads"});
    service.setOutputDevices({"Synth"});
    input::InputRing ring;
    Tambview window(service, ring);
    int ends = 0;
    window.setEndProgram([&] { ++ends; });

    // The start-up choice, destroyed: no input opens and no name shows, as after the close box.
    onNextModal([](QWidget* modal) { destroyWhenShown(modal); });
    window.load();
    EXPECT_EQ(service.inputOpens(), 0);
    EXPECT_EQ(WindowProbe(window).lineEdit("txtMidiIn")->text(), "");

    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window, kPatienceMs));
    // The next choice shows the dialog again, in a new window that works.
    bool shownAgain = false;
    onNextModal([&](QWidget* modal) {
        shownAgain = QTest::qWaitForWindowExposed(modal, kPatienceMs);
        modal->findChild<QListWidget*>("lstDevs")->setCurrentRow(1);
        testing::clickButton(modal, "OK");
    });
    WindowProbe(window).button("cmdChange")->click();
    EXPECT_TRUE(shownAgain);
    EXPECT_TRUE(service.inputOpen(1));
    WindowProbe(window).checkBox("chkMidiOut")->click();
    ASSERT_TRUE(service.outputOpen(0));

    destroyWhenShown(&window);
    EXPECT_TRUE(testing::waitFor([&] { return ends > 0; }, kPatienceMs));
    EXPECT_EQ(ends, 1);
    EXPECT_FALSE(service.inputOpen(1));
    EXPECT_FALSE(service.outputOpen(0));
    EXPECT_FALSE(window.isVisible());
}

TEST_F(WindowDestroyedTest, ValueDialogAndItsMessageBoxCountAsClosedByTheirCloseBoxes) {
    ValueDialog dialog;
    onNextModal([](QWidget* modal) {
        modal->findChild<QLineEdit*>("txtValue")->setText("64");
        testing::clickButton(modal, "OK");
    });
    ASSERT_EQ(dialog.get_cval(), 64);

    // Destroyed with a new entry typed: the value accepted before stands.
    WId destroyed = 0;
    onNextModal([&](QWidget* modal) {
        modal->findChild<QLineEdit*>("txtValue")->setText("100");
        destroyWhenShown(modal);
        destroyed = modal->winId();
    });
    EXPECT_EQ(dialog.get_cval(), 64);

    // The next use shows a working dialog with "0", in a new window. A refusal's message box,
    // destroyed, counts as dismissed and leaves the dialog open.
    WId shownIn = 0;
    QString shown;
    QString refusal;
    bool openAfterTheBox = false;
    onNextModal([&](QWidget* modal) {
        ASSERT_TRUE(QTest::qWaitForWindowExposed(modal, kPatienceMs));
        shownIn = modal->winId();
        auto* txtValue = modal->findChild<QLineEdit*>("txtValue");
        shown = txtValue->text();
        txtValue->setText("200");
        onNextMessageBox([&](QMessageBox* box) {
            refusal = box->text();
            destroyWhenShown(box);
        });
        testing::clickButton(modal, "OK");  // returns once the box is gone
        openAfterTheBox = modal->isVisible();
        txtValue->setText("5");
        testing::clickButton(modal, "OK");
    });
    EXPECT_EQ(dialog.get_cval(), 5);
    EXPECT_EQ(shown, "0");
    EXPECT_NE(shownIn, destroyed);
    EXPECT_EQ(refusal, "Please enter a number between 0 and 127");
    EXPECT_TRUE(openAfterTheBox);
}

TEST_F(WindowDestroyedTest, TheProgramEndsWithStatusZeroWhenItsMainWindowIsDestroyed) {
    const std::string program = ChildProgram::built("src/app/tamblin");
    ASSERT_FALSE(program.empty()) << "TAMBLIN_BUILD_DIR is not set";
    // No JACK server to find: the no-device message comes first (or, where the machine has MIDI
    // devices, perhaps the device dialog); destroying it counts as its close box.
    ::setenv("JACK_NO_START_SERVER", "1", 1);
    ::setenv("JACK_DEFAULT_SERVER", ("tamblin-none-" + std::to_string(::getpid())).c_str(), 1);
    ChildProgram monitor({program});
    for (int windows = 0; windows < 3; ++windows) {
        const auto shown = xServer().waitForWindow({"Tambl", "Select MIDI device", "Tamblin V0.2"},
                                                   std::chrono::milliseconds(kPatienceMs));
        ASSERT_TRUE(shown) << "no window came\n" << monitor.err();
        xServer().destroyWindow(shown->id);
        if (shown->title == "Tamblin V0.2") break;
    }
    const std::optional<int> status = monitor.wait(std::chrono::milliseconds(kPatienceMs));
    ASSERT_TRUE(status) << "the program still runs\n" << monitor.err();
    EXPECT_EQ(*status, 0) << monitor.err();
}

}  // namespace
}  // namespace tamblin::windows
