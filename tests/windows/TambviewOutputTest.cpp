#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QHelpEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPushButton>
#include <QTabBar>
#include <QTest>
#include <QToolTip>
#include <algorithm>
#include <functional>
#include <memory>

#include "doubles/InProcessPortService.h"
#include "grids/GridView.h"
#include "input/InputRing.h"
#include "support/ForwardingPortService.h"
#include "support/ModalDriver.h"
#include "support/RgbPrinting.h"
#include "support/WindowProbe.h"
#include "windows/Tambview.h"

using tamblin::grids::GridView;
using tamblin::grids::Rgb;
using tamblin::input::InputRing;
using tamblin::ports::Handle;
using tamblin::ports::InProcessPortService;
using tamblin::ports::Result;
using tamblin::windows::Tambview;
using namespace tamblin::testing;

namespace {

constexpr const char* kNoOutputText =
    "No MIDI output devices found.  Do you need to install a device driver for your sound card?";
constexpr const char* kOutputInUseText = "Oops, the MIDI output device is already open";

// Passes every call on to the in-process service and notes each send the window attempts,
// through whatever handle, together with the log's last line at that moment.
class WatchedPorts final : public ForwardingPortService {
public:
    struct Send {
        Handle handle;
        std::uint32_t message;
        QString lastLogLine;
    };

    explicit WatchedPorts(InProcessPortService& inner) : ForwardingPortService(inner) {}

    std::vector<Send> sends;
    std::function<QString()> lastLogLine = [] { return QString(); };

    std::vector<std::uint32_t> messagesSent() const {
        std::vector<std::uint32_t> messages;
        for (const Send& send : sends) messages.push_back(send.message);
        return messages;
    }

    Result midiOutShortMsg(Handle handle, std::uint32_t message) override {
        sends.push_back({handle, message, lastLogLine()});
        return inner_.midiOutShortMsg(handle, message);
    }
};

// A window over one input device "Keys" and the given output devices, loaded and shown.
struct Rig {
    InProcessPortService service;
    WatchedPorts ports{service};
    InputRing ring;
    std::unique_ptr<Tambview> window;

    explicit Rig(std::vector<std::string> outputs = {"Synth"},
                 const std::function<void(InProcessPortService&)>& prepare = {},
                 const std::function<void(Tambview&)>& beforeLoad = {}) {
        service.setInputDevices({"Keys"});
        service.setOutputDevices(std::move(outputs));
        if (prepare) prepare(service);
        window = std::make_unique<Tambview>(ports, ring);
        window->setEndProgram([] {});
        if (beforeLoad) beforeLoad(*window);
        window->load();
        window->show();
        ports.lastLogLine = [this] {
            const QStringList lines = probe().logLines();
            return lines.isEmpty() ? QString() : lines.back();
        };
    }

    WindowProbe probe() const { return WindowProbe(*window); }
    QCheckBox* allowOutput() const { return probe().checkBox("chkMidiOut"); }

    void play(const std::vector<InProcessPortService::Event>& events) {
        ASSERT_EQ(service.play(0, events), events.size());
    }

    // The user ticks "Allow MIDI output" and the single output device opens without a dialog.
    void openOutput() {
        allowOutput()->click();
        ASSERT_TRUE(allowOutput()->isChecked());
        ASSERT_NE(window->midiOutHnd(), 0u);
    }

    std::vector<std::uint32_t> delivered() const { return service.sent(window->midiOutHnd()); }

    // Shows the grid's page, as a user must before clicking or pointing at it.
    GridView* gridOnScreen(int index) const {
        window->findChild<QTabBar*>("tabBar")->setCurrentIndex(index);
        return window->grid(index);
    }

    void click(int index, int row, int col) const {
        GridView* grid = gridOnScreen(index);
        QTest::mouseClick(grid, Qt::LeftButton, {}, grid->cellRect(row, col).center());
    }

    // Through the window, as the window system delivers a double-click: press, release, then a
    // second press that Qt turns into a double-click event, and its release.
    void doubleClick(int index, int row, int col) const {
        GridView* grid = gridOnScreen(index);
        const QPoint at = grid->mapTo(window.get(), grid->cellRect(row, col).center());
        QTest::mouseDClick(window->windowHandle(), Qt::LeftButton, {}, at);
    }

    void movePointer(int index, int row, int col) const {
        GridView* grid = gridOnScreen(index);
        const QPoint at = grid->cellRect(row, col).center();
        QMouseEvent move(QEvent::MouseMove, at, grid->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                         Qt::NoModifier);
        QApplication::sendEvent(grid, &move);
    }
};

// Types `value` into the controller value dialog when it appears and confirms it.
void enterValueInNextDialog(const QString& value) {
    onNextModal([value](QWidget* modal) {
        modal->findChild<QLineEdit*>("txtValue")->setText(value);
        clickButton(modal, "OK");
    });
}

class TambviewOutputTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ensureApplication(); }
};

// ---- the output gate ----------------------------------------------------------------------------

TEST_F(TambviewOutputTest, FirstCheckOpensTheOnlyDeviceWithoutAsking) {
    Rig rig({"Synth"});
    ModalGuard guard;
    rig.allowOutput()->click();
    EXPECT_TRUE(guard.closed().isEmpty());
    EXPECT_TRUE(rig.allowOutput()->isChecked());
    EXPECT_TRUE(rig.service.outputOpen(0));
    EXPECT_EQ(rig.probe().lineEdit("txtMidiOut")->text(), "Synth");
}

TEST_F(TambviewOutputTest, FirstCheckWithTwoDevicesLetsTheUserChoose) {
    Rig rig({"Synth", "Piano"});
    QString task;
    QStringList rows;
    onNextModal([&](QWidget* modal) {
        task = modal->findChild<QLabel*>("lblTask")->text();
        auto* list = modal->findChild<QListWidget*>("lstDevs");
        for (int i = 0; i < list->count(); ++i) rows << list->item(i)->text();
        list->setCurrentRow(1);
        clickButton(modal, "OK");
    });
    rig.allowOutput()->click();
    EXPECT_EQ(task, "Select MIDI Output Device");
    EXPECT_EQ(rows, (QStringList{"Synth", "Piano"}));
    EXPECT_EQ(rig.probe().lineEdit("txtMidiOut")->text(), "Piano");
    EXPECT_TRUE(rig.service.outputOpen(1));
    EXPECT_FALSE(rig.service.outputOpen(0));
    EXPECT_EQ(rig.window->midiOutDev(), 1);
    EXPECT_TRUE(rig.allowOutput()->isChecked());
}

TEST_F(TambviewOutputTest, AFailedFirstOpenUnchecksTheBox) {
    struct Case {
        const char* what;
        std::vector<std::string> outputs;
        std::function<void(InProcessPortService&)> prepare;
        QStringList messages;
    };
    const std::vector<Case> cases = {
        {"no output device", {}, {}, {kNoOutputText}},
        {"the only device busy",
         {"Synth"},
         [](InProcessPortService& s) { s.setOutputBusy(0, true); },
         {kOutputInUseText}},
        {"the open fails",
         {"Synth"},
         [](InProcessPortService& s) { s.setOutputFailing(0, true); },
         {}},
        // Closing the choice dialog by its close box picks no device.
        {"choice dialog closed", {"Synth", "Piano"}, {}, {"Select MIDI device"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Rig rig(c.outputs, c.prepare);
        ModalGuard guard;
        rig.allowOutput()->click();
        EXPECT_EQ(guard.closed(), c.messages);
        EXPECT_FALSE(rig.allowOutput()->isChecked());
        EXPECT_EQ(rig.window->midiOutHnd(), 0u);
        EXPECT_EQ(rig.service.outputOpens(), 0);

        rig.play({{0x403C90, 1}});  // ch1 note 60 vel 64
        rig.window->refreshTick();
        EXPECT_EQ(rig.probe().logLines().size(), 1);
        EXPECT_TRUE(rig.ports.sends.empty()) << "the gate stays closed";
    }
}

TEST_F(TambviewOutputTest, UncheckKeepsThePortOpenAndRecheckReusesItWithoutAsking) {
    Rig rig({"Synth", "Piano"});
    clickInNextModal("OK");
    rig.allowOutput()->click();
    ASSERT_TRUE(rig.service.outputOpen(0));
    const Handle handle = rig.window->midiOutHnd();

    ModalGuard guard;
    rig.allowOutput()->click();
    EXPECT_FALSE(rig.allowOutput()->isChecked());
    EXPECT_TRUE(rig.service.outputOpen(0));
    for (const std::string& call : rig.service.calls())
        EXPECT_EQ(call.rfind("midiOutClose", 0), std::string::npos) << call;

    rig.play({{0x403C90, 1}});
    rig.window->refreshTick();
    EXPECT_TRUE(rig.ports.sends.empty()) << "nothing is forwarded while output is not allowed";

    rig.allowOutput()->click();
    EXPECT_TRUE(rig.allowOutput()->isChecked());
    EXPECT_TRUE(guard.closed().isEmpty()) << "no device dialog the second time";
    EXPECT_EQ(rig.service.outputOpens(), 1);
    EXPECT_EQ(rig.window->midiOutHnd(), handle);

    rig.play({{0x003C90, 2}});
    rig.window->refreshTick();
    EXPECT_EQ(rig.service.sent(handle), std::vector<std::uint32_t>{0x003C90});
}

TEST_F(TambviewOutputTest, DevicesChosenBeforeStartOpenTheOutputFirstAndAllowIt) {
    for (const bool busy : {false, true}) {
        SCOPED_TRACE(busy ? "the output is in use" : "the output is free");
        ModalGuard guard;
        Rig rig(
            {"Synth", "Piano"},
            [busy](InProcessPortService& s) {
                s.setInputDevices({"Keys", "Pads"});
                s.setOutputBusy(1, busy);
            },
            [](Tambview& w) { w.setStartDevices(1, 1); });
        EXPECT_EQ(guard.closed(), busy ? QStringList{kOutputInUseText} : QStringList{});
        EXPECT_EQ(rig.allowOutput()->isChecked(), !busy);
        EXPECT_EQ(rig.probe().lineEdit("txtMidiIn")->text(), "Pads");
        EXPECT_EQ(rig.probe().lineEdit("txtMidiOut")->text(), "Piano");
        const auto calls = rig.service.calls();
        const auto opened = [&calls](const std::string& call) {
            return std::find(calls.begin(), calls.end(), call) - calls.begin();
        };
        EXPECT_LT(opened(busy ? "midiOutOpen(1) = 4" : "midiOutOpen(1) = 0"),
                  opened("midiInOpen(1) = 0"))
            << "the output opens before the input starts";
        EXPECT_EQ(opened("midiInGetNumDevs()"), std::ssize(calls)) << "no count, no dialog";

        ASSERT_EQ(rig.service.play(1, {{0x403C90, 1}}), 1u);  // ch1 note 60 vel 64
        rig.window->refreshTick();
        EXPECT_EQ(rig.service.sentToDevice(1),
                  busy ? std::vector<std::uint32_t>{} : std::vector<std::uint32_t>{0x403C90})
            << "thru from the first message";
    }
}

TEST_F(TambviewOutputTest, OutputChangeReopensAndAFailedReopenSilencesEverySend) {
    Rig rig({"Synth"});
    rig.service.setClock(1000);
    rig.openOutput();
    const Handle first = rig.window->midiOutHnd();

    rig.probe().button("cmdChangeO")->click();
    const Handle second = rig.window->midiOutHnd();
    EXPECT_NE(second, first);
    EXPECT_EQ(rig.service.outputOpens(), 2);
    const auto calls = rig.service.calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[calls.size() - 3], "midiOutClose(" + std::to_string(first) + ") = 0");
    EXPECT_EQ(calls.back(), "midiOutOpen(0) = 0");
    rig.play({{0x403C90, 1}});
    rig.window->refreshTick();
    EXPECT_EQ(rig.service.sent(second), std::vector<std::uint32_t>{0x403C90});

    rig.service.setOutputFailing(0, true);
    ModalGuard guard;
    rig.probe().button("cmdChangeO")->click();
    EXPECT_FALSE(rig.service.outputOpen(0));
    EXPECT_TRUE(rig.allowOutput()->isChecked()) << "the box is left as it was";

    const std::size_t before = rig.service.sendCount();
    rig.play({{0x003C90, 2}});
    rig.window->refreshTick();
    rig.click(1, 3, 1);  // ch2 program 0
    EXPECT_EQ(rig.probe().logLines().mid(1),
              (QStringList{"0.002 003C90 note off: C:1 N:60 V:0", "1 00C1 Prog Ch:  C:2 P:0"}));
    EXPECT_EQ(rig.ports.sends.size(), 3u) << "both sends were made";
    EXPECT_EQ(rig.service.sendCount(), before) << "but reached no port";
    EXPECT_TRUE(guard.closed().isEmpty()) << "and nothing was reported";
}

// ---- thru ---------------------------------------------------------------------------------------

TEST_F(TambviewOutputTest, ThruForwardsEveryDecodedMessageUnchangedInArrivalOrder) {
    Rig rig;
    rig.openOutput();
    const std::vector<std::uint32_t> stream = {
        0x403C90,  // ch1 note 60 vel 64
        0x6407B0,  // ch1 controller 7 value 100
        0x0005C9,  // ch10 program 5
        0x7F3C80,  // ch1 note off 60 vel 127
        0x2040E3,  // ch4 pitch wheel
        0x0030D0,  // ch1 channel pressure
        0x102AA5,  // ch6 key pressure
        0x0010F2,  // song position pointer
        0x00F6,    // tune request
        0x003C9F,  // ch16 note 60 vel 0
    };
    std::vector<InProcessPortService::Event> events;
    for (std::size_t i = 0; i < stream.size(); ++i)
        events.push_back({stream[i], static_cast<std::int32_t>(i)});
    rig.play(events);
    rig.window->refreshTick();
    EXPECT_EQ(rig.delivered(), stream);
    EXPECT_EQ(rig.probe().logLines().size(), static_cast<qsizetype>(stream.size()));
}

TEST_F(TambviewOutputTest, RealTimeMessagesAreForwardedOnlyWhileNotFiltered) {
    struct Case {
        bool filtered;
        std::vector<std::uint32_t> forwarded;
    };
    for (const Case& c : {Case{true, {0x403C90, 0x00F6, 0x003C90}},
                          Case{false, {0x403C90, 0xF8, 0x00F6, 0xFE, 0xFA, 0x003C90}}}) {
        SCOPED_TRACE(c.filtered ? "real time filtered" : "real time shown");
        Rig rig;
        rig.openOutput();
        rig.probe().checkBox("chkNoreal")->setChecked(c.filtered);
        rig.play({{0x403C90, 1},
                  {0xF8, 2},    // timing clock
                  {0x00F6, 3},  // tune request is no real-time message
                  {0xFE, 4},    // active sensing
                  {0xFA, 5},    // start
                  {0x003C90, 6}});
        rig.window->refreshTick();
        EXPECT_EQ(rig.delivered(), c.forwarded);
        EXPECT_EQ(rig.probe().logLines().size(), static_cast<qsizetype>(c.forwarded.size()));
    }
}

TEST_F(TambviewOutputTest, MessagesTheFirstTimeFilterKeepsOutOfTheLogAreStillForwarded) {
    Rig rig;
    rig.openOutput();
    rig.probe().checkBox("chkFirst")->setChecked(true);
    rig.play({{0x403C90, 1}, {0x7F3C90, 2}, {0x6407B0, 3}, {0x6507B0, 4}});
    rig.window->refreshTick();
    EXPECT_EQ(rig.probe().logLines(), (QStringList{"0.001 403C90 note on:  C:1 N:60 V:64",
                                                   "0.003 6407B0 Control:  C:1 C:7 V:100"}));
    EXPECT_EQ(rig.delivered(),
              (std::vector<std::uint32_t>{0x403C90, 0x7F3C90, 0x6407B0, 0x6507B0}));
}

TEST_F(TambviewOutputTest, NothingIsForwardedBeforeOutputIsAllowed) {
    Rig rig;
    rig.play({{0x403C90, 1}, {0x05C0, 2}});
    rig.window->refreshTick();
    EXPECT_EQ(rig.probe().logLines().size(), 2);
    EXPECT_TRUE(rig.ports.sends.empty());
    EXPECT_EQ(rig.service.sendCount(), 0u);
}

TEST_F(TambviewOutputTest, ATickDuringTheFirstDeviceChoiceSendsThroughNoPort) {
    Rig rig({"Synth", "Piano"});
    bool checkedMeanwhile = false;
    Handle handleMeanwhile = 1;
    QStringList logMeanwhile;
    onNextModal([&](QWidget* modal) {
        checkedMeanwhile = rig.allowOutput()->isChecked();
        handleMeanwhile = rig.window->midiOutHnd();
        rig.play({{0x403C90, 1}});
        rig.window->refreshTick();
        logMeanwhile = rig.probe().logLines();
        clickButton(modal, "OK");
    });
    rig.allowOutput()->click();
    EXPECT_TRUE(checkedMeanwhile);
    EXPECT_EQ(handleMeanwhile, 0u);
    EXPECT_EQ(logMeanwhile, QStringList{"0.001 403C90 note on:  C:1 N:60 V:64"});
    ASSERT_EQ(rig.ports.sends.size(), 1u);
    EXPECT_EQ(rig.ports.sends[0].handle, 0u);
    EXPECT_EQ(rig.ports.sends[0].message, 0x403C90u);
    EXPECT_EQ(rig.service.sendCount(), 0u) << "nothing reached any port";
    EXPECT_TRUE(rig.service.outputOpen(0));
    EXPECT_TRUE(rig.delivered().empty());
}

// ---- tooltips -----------------------------------------------------------------------------------

TEST_F(TambviewOutputTest, PointerOverABodyCellDescribesIt) {
    Rig rig;  // output not allowed: tooltips work all the same
    struct Case {
        int grid, row, col;
        const char* text;
    };
    for (const Case& c :
         {Case{0, 2, 1, "Ch 1 note  64 E "}, Case{0, 1, 62, "Ch 1 note  61 C#"},
          Case{0, 1, 61, "Ch 1 note  60 C "}, Case{1, 19, 6, "Ch 10 program change  5"},
          Case{2, 32, 64, "Ch 16 controller  127"}}) {
        SCOPED_TRACE(c.text);
        rig.movePointer(c.grid, c.row, c.col);
        EXPECT_EQ(rig.window->grid(c.grid)->toolTipText(), c.text);
    }

    GridView* notes = rig.gridOnScreen(0);
    rig.movePointer(0, 2, 1);
    const QPoint at = notes->cellRect(2, 1).center();
    QHelpEvent help(QEvent::ToolTip, at, notes->mapToGlobal(at));
    QApplication::sendEvent(notes, &help);
    EXPECT_EQ(QToolTip::text(), "Ch 1 note  64 E ");
    QToolTip::hideText();
}

TEST_F(TambviewOutputTest, PointerOverTheHeaderRowOrLabelColumnKeepsTheTooltip) {
    Rig rig;
    for (auto [row, col] : {std::pair{0, 5}, {7, 0}, {0, 0}}) {
        rig.movePointer(0, row, col);
        rig.movePointer(1, row, col);
        EXPECT_EQ(rig.window->grid(0)->toolTipText(), "Tool tip") << row << "," << col;
        EXPECT_EQ(rig.window->grid(1)->toolTipText(), "") << row << "," << col;
    }
    rig.movePointer(2, 3, 2);
    rig.movePointer(2, 0, 2);
    EXPECT_EQ(rig.window->grid(2)->toolTipText(), "Ch 2 controller  1");
}

// ---- clicks -------------------------------------------------------------------------------------

TEST_F(TambviewOutputTest, ClicksSendTheMessageOfTheCell) {
    Rig rig;
    rig.service.setClock(2500);
    rig.openOutput();
    const auto& notes = rig.window->gridModel(0);

    rig.click(0, 2, 1);  // ch1 note 64, off
    EXPECT_EQ(rig.probe().logLines().back(), "2.5 7F4090 note on:  C:1 N:64 V:127");
    EXPECT_EQ(notes.background(2, 1), Rgb(250, 0, 0));
    EXPECT_EQ(rig.probe().countText(1), " 1");

    rig.click(0, 2, 1);  // the same note, now sounding
    EXPECT_EQ(rig.probe().logLines().back(), "2.5 004090 note off: C:1 N:64 V:0");
    EXPECT_EQ(notes.background(2, 1), Rgb(100, 255, 100));
    EXPECT_EQ(rig.probe().countText(1), " 2");

    rig.click(1, 3, 1);  // ch2 program 0
    EXPECT_EQ(rig.probe().logLines().back(), "2.5 00C1 Prog Ch:  C:2 P:0");
    EXPECT_EQ(rig.window->gridModel(1).background(3, 1), Rgb(255, 100, 100));
    EXPECT_EQ(rig.probe().countText(4), " 1");

    enterValueInNextDialog("64");
    rig.click(2, 32, 64);  // ch16 controller 127
    EXPECT_EQ(rig.probe().logLines().back(), "2.5 407FBF Control:  C:16 C:127 V:64");
    EXPECT_EQ(rig.window->gridModel(2).background(32, 64), Rgb(128, 127, 0));
    EXPECT_EQ(rig.probe().countText(3), " 1");

    EXPECT_EQ(rig.delivered(), (std::vector<std::uint32_t>{0x7F4090, 0x004090, 0x00C1, 0x407FBF}));
}

// On a focused map the keys move the cell, and Space or Enter there does exactly what a click on
// that cell does: the same message, the same echo, the same value dialog. To assistive technology
// the cell the keys reach has the focus, and says its new words once played.
TEST_F(TambviewOutputTest, KeysMoveTheMapsCellAndPlayItAsAClickWould) {
    // Each key after the map took the focus by Tab, and the cell it leaves: the same on every map.
    const struct {
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        int row, col;
    } moves[] = {
        {Qt::Key_Home, Qt::ControlModifier, 1, 1},
        {Qt::Key_Right, {}, 1, 2},
        {Qt::Key_Down, {}, 2, 2},
        {Qt::Key_PageDown, {}, 4, 2},  // a channel (two rows) down
        {Qt::Key_End, {}, 4, 64},
        {Qt::Key_Right, {}, 4, 64},  // stays at the edge
        {Qt::Key_Home, {}, 4, 1},
        {Qt::Key_Left, {}, 4, 1},  // never onto the row labels
        {Qt::Key_PageUp, {}, 2, 1},
        {Qt::Key_Up, {}, 1, 1},
        {Qt::Key_Up, {}, 1, 1},  // never onto the header row
        {Qt::Key_End, Qt::ControlModifier, 32, 64},
        {Qt::Key_PageDown, {}, 32, 64},
        {Qt::Key_Up, {}, 31, 64},
        {Qt::Key_Left, {}, 31, 63},  // ch16 number 62
    };
    const struct {
        int index;
        Qt::Key play;
        std::uint32_t message;
        const char* before;
        const char* after;
    } maps[] = {
        // ch16 note 62 on, velocity 127
        {0, Qt::Key_Space, 0x7F3E9F, "channel 16, note 62, D, empty", "channel 16, note 62, D, on"},
        // ch16 program 62
        {1, Qt::Key_Enter, 0x3ECF, "channel 16, program 62, empty",
         "channel 16, program 62, changed"},
        // ch16 controller 62, value 100 from the dialog
        {2, Qt::Key_Return, 0x643EBF, "channel 16, controller 62, empty",
         "channel 16, controller 62, value 100"},
    };
    for (const auto& map : maps) {
        SCOPED_TRACE(map.index);
        Rig keys, pointer;
        for (Rig* rig : {&keys, &pointer}) {
            rig->service.setClock(2500);
            rig->openOutput();
        }
        GridView* grid = keys.gridOnScreen(map.index);
        keys.window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(keys.window.get()));
        grid->setFocus(Qt::TabFocusReason);
        ASSERT_TRUE(grid->hasFocus());
        for (const auto& move : moves) {
            QTest::keyClick(grid, move.key, move.modifiers);
            EXPECT_EQ(std::pair(grid->keyRow(), grid->keyCol()), std::pair(move.row, move.col))
                << "after key " << QKeySequence(move.key).toString().toStdString();
        }

        QAccessibleInterface* table = QAccessible::queryAccessibleInterface(grid);
        ASSERT_NE(table, nullptr);
        QAccessibleInterface* focused = table->focusChild();
        ASSERT_NE(focused, nullptr) << "no cell has the focus";
        EXPECT_EQ(focused->text(QAccessible::Name).toStdString(), map.before);
        EXPECT_TRUE(focused->state().focused);

        bool dialogShown = false;
        if (map.index == 2) {
            onNextModal([&dialogShown](QWidget* modal) {
                dialogShown = true;
                modal->findChild<QLineEdit*>("txtValue")->setText("100");
                clickButton(modal, "OK");
            });
        }
        QTest::keyClick(grid, map.play);
        if (map.index == 2) {
            EXPECT_TRUE(dialogShown) << "no value dialog";
            enterValueInNextDialog("100");
        }
        EXPECT_EQ(focused->text(QAccessible::Name).toStdString(), map.after);
        pointer.click(map.index, 31, 63);

        EXPECT_EQ(keys.delivered(), std::vector<std::uint32_t>{map.message});
        EXPECT_EQ(keys.delivered(), pointer.delivered());
        ASSERT_EQ(keys.ports.sends.size(), 1u);
        ASSERT_EQ(pointer.ports.sends.size(), 1u);
        EXPECT_EQ(keys.ports.sends[0].lastLogLine, pointer.ports.sends[0].lastLogLine);
        EXPECT_EQ(keys.window->gridModel(map.index).background(31, 63),
                  pointer.window->gridModel(map.index).background(31, 63));
    }
}

// The grid control raises one Click and then a DblClick that nothing handles: a double-click
// sends once. A click after it is a new one.
TEST_F(TambviewOutputTest, ADoubleClickSendsOnceAndTheNextClickIsANewOne) {
    struct Case {
        int grid, row, col;
        std::uint32_t first, next;
    };
    for (const Case& c : {Case{0, 2, 1, 0x7F4090, 0x004090},       // ch1 note 64 on, then off
                          Case{1, 3, 1, 0x00C1, 0x00C1},           // ch2 program 0
                          Case{2, 32, 64, 0x007FBF, 0x007FBF}}) {  // ch16 controller 127
        SCOPED_TRACE(c.grid);
        Rig rig;
        rig.openOutput();
        ModalGuard guard;  // closes the value dialog: the value stays 0
        rig.doubleClick(c.grid, c.row, c.col);
        EXPECT_EQ(rig.delivered(), std::vector<std::uint32_t>{c.first});
        EXPECT_EQ(rig.probe().logLines().size(), 1);
        EXPECT_EQ(guard.closed().size(), c.grid == 2 ? 1 : 0)
            << "one value dialog for a controller";
        rig.click(c.grid, c.row, c.col);
        EXPECT_EQ(rig.delivered(), (std::vector<std::uint32_t>{c.first, c.next}));
    }
}

TEST_F(TambviewOutputTest, AClickWithOutputNotAllowedDoesNothingAtAll) {
    Rig rig;
    ModalGuard guard;
    for (auto [grid, row, col] : {std::tuple{0, 2, 1}, {1, 3, 1}, {2, 32, 64}}) {
        SCOPED_TRACE(grid);
        const auto before = rig.window->gridModel(grid).background(row, col);
        rig.click(grid, row, col);
        EXPECT_EQ(rig.window->gridModel(grid).background(row, col), before);
    }
    EXPECT_TRUE(guard.closed().isEmpty()) << "no value dialog";
    EXPECT_TRUE(rig.ports.sends.empty());
    EXPECT_EQ(rig.probe().log(), "");
    for (int k = 0; k < 8; ++k) EXPECT_EQ(rig.probe().countText(k), "0") << k;
    EXPECT_FALSE(rig.window->decoder().noteState(0, 64));
}

TEST_F(TambviewOutputTest, TheEchoComesBeforeTheSendAndTheClickIsNotForwardedAgain) {
    Rig rig;
    rig.service.setClock(700);
    rig.openOutput();
    rig.click(1, 3, 1);
    ASSERT_EQ(rig.ports.sends.size(), 1u);
    EXPECT_EQ(rig.ports.sends[0].lastLogLine, "0.7 00C1 Prog Ch:  C:2 P:0");
    rig.window->refreshTick();
    EXPECT_EQ(rig.delivered(), std::vector<std::uint32_t>{0x00C1});
    EXPECT_EQ(rig.probe().countText(4), " 1");
}

TEST_F(TambviewOutputTest,
       ARepeatedClickUnderTheFirstTimeFilterIsSentCountedAndColouredButNotLogged) {
    Rig rig;
    rig.service.setClock(3000);
    rig.openOutput();
    rig.probe().checkBox("chkFirst")->setChecked(true);
    enterValueInNextDialog("64");
    rig.click(2, 1, 8);  // ch1 controller 7
    enterValueInNextDialog("100");
    rig.click(2, 1, 8);  // a new value counts as the same message
    EXPECT_EQ(rig.probe().logLines(), QStringList{"3 4007B0 Control:  C:1 C:7 V:64"});
    EXPECT_EQ(rig.probe().countText(3), " 2");
    EXPECT_EQ(rig.window->gridModel(2).background(1, 8), Rgb(200, 55, 0));
    EXPECT_EQ(rig.delivered(), (std::vector<std::uint32_t>{0x4007B0, 0x6407B0}));
}

TEST_F(TambviewOutputTest, AClickOnAKeyHeldAtTheInputSendsItsRelease) {
    Rig rig;
    rig.openOutput();
    rig.play({{0x403C90, 1}});  // ch1 note 60 held
    rig.window->refreshTick();
    rig.click(0, 1, 61);
    EXPECT_EQ(rig.delivered(), (std::vector<std::uint32_t>{0x403C90, 0x003C90}));
    EXPECT_EQ(rig.window->gridModel(0).background(1, 61), Rgb(100, 255, 100));
    EXPECT_FALSE(rig.window->decoder().noteState(0, 60));

    rig.play({{0x403C90, 2}, {0x403C80, 3}});  // pressed and released again at the input
    rig.window->refreshTick();
    rig.click(0, 1, 61);
    EXPECT_EQ(rig.delivered().back(), 0x7F3C90u) << "a released key sounds again";
}

// ---- the time a sent message shows -------------------------------------------------------------

TEST_F(TambviewOutputTest, ASentMessageShowsTheInputPortsClockAtTheClick) {
    Rig rig;
    rig.openOutput();
    rig.play({{0x403C90, 12}});  // waits in the ring; its time is not the one shown
    for (auto [clock, line] : {std::pair{98765, "98.765 00C1 Prog Ch:  C:2 P:0"},
                               {120000, "120 00C1 Prog Ch:  C:2 P:0"}}) {
        rig.service.setClock(clock);
        rig.click(1, 3, 1);
        EXPECT_EQ(rig.probe().logLines().back(), line);
    }
}

TEST_F(TambviewOutputTest, WithoutAStartedInputASentMessageShowsTheRingsReadSlotTime) {
    Rig rig({"Synth"}, [](InProcessPortService& s) { s.setInputFailing(0, true); });
    InputRing* ring = &rig.ring;
    ASSERT_EQ(rig.window->midiInHnd(), 0u);
    rig.openOutput();

    rig.click(1, 3, 1);  // nothing ever arrived
    EXPECT_EQ(rig.probe().logLines().back(), "0 00C1 Prog Ch:  C:2 P:0");

    ring->store(0x403C90, 4321);  // waiting: the oldest waiting message's time
    ring->store(0x403D90, 5000);
    rig.click(1, 3, 1);
    EXPECT_EQ(rig.probe().logLines().back(), "4.321 00C1 Prog Ch:  C:2 P:0");

    // Empty again after 1,025 messages: the slot holds the time of the message 1,024 back,
    // the second one stored.
    rig.window->refreshTick();
    for (int i = 0; i < 1000; ++i) ring->store(0xF8, 7000 + i);  // timing clock, not shown
    rig.window->refreshTick();
    for (int i = 0; i < 23; ++i) ring->store(0xF8, 9000 + i);
    rig.window->refreshTick();
    ASSERT_TRUE(ring->empty());
    ASSERT_EQ(ring->readPos(), 1);
    rig.click(1, 3, 1);
    EXPECT_EQ(rig.probe().logLines().back(), "5 00C1 Prog Ch:  C:2 P:0");
}

}  // namespace
