#include <gtest/gtest.h>

#include <QAbstractScrollArea>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStyle>
#include <QTabBar>
#include <QTest>
#include <QTimer>
#include <algorithm>

#include "doubles/InProcessPortService.h"
#include "grids/GridView.h"
#include "input/SysExRing.h"
#include "support/ModalDriver.h"
#include "support/WindowProbe.h"
#include "windows/DeviceDialog.h"
#include "windows/Tambview.h"
#include "windows/ValueDialog.h"

using tamblin::grids::Rgb;
using tamblin::input::InputRing;
using tamblin::input::SysExRing;
using tamblin::ports::InProcessPortService;
using tamblin::windows::Tambview;
using namespace tamblin::testing;

namespace {

class TambviewTest : public ::testing::Test {
protected:
    InProcessPortService service;
    InputRing ring;
    std::unique_ptr<Tambview> window;
    int ends = 0;

    static void SetUpTestSuite() { ensureApplication(); }

    std::unique_ptr<Tambview> makeWindow() {
        auto w = std::make_unique<Tambview>(service, ring);
        w->setEndProgram([this] { ++ends; });
        return w;
    }

    // A window over one input device "Keys" and one output device "Synth".
    void startWithOneDevice() {
        service.setInputDevices({"Keys"});
        service.setOutputDevices({"Synth"});
        window = makeWindow();
        window->load();
    }

    void play(std::initializer_list<InProcessPortService::Event> events) {
        ASSERT_EQ(service.play(0, events), events.size());
    }
};

TEST_F(TambviewTest, StartsWithTheInitialState) {
    startWithOneDevice();
    WindowProbe probe(*window);
    EXPECT_EQ(window->windowTitle(), "Tamblin V0.2");
    for (int k = 0; k < 8; ++k) EXPECT_EQ(probe.countText(k), "0") << k;
    EXPECT_EQ(probe.lineEdit("txtMidiOut")->text(), "(none)");
    EXPECT_TRUE(probe.checkBox("chkNoreal")->isChecked());
    EXPECT_FALSE(probe.checkBox("chkFirst")->isChecked());
    EXPECT_FALSE(probe.checkBox("chkMidiOut")->isChecked());
    EXPECT_EQ(probe.log(), "");
    EXPECT_EQ(window->findChild<QTabBar*>("tabBar")->currentIndex(), 0);
    EXPECT_EQ(window->findChild<QTabBar*>("tabBar")->tabText(0), "Notes");
    EXPECT_EQ(probe.labelText("lblMsgs(2)"), "Polyphonic Key Pressure Messages");
    EXPECT_EQ(probe.labelText("lblMsgs(7)"), "Misc. Messages");
    EXPECT_EQ(window->grid(0)->toolTipText(), "Tool tip");
    EXPECT_EQ(window->grid(1)->toolTipText(), "");
    // Grids are set up before the device is opened and the window shown.
    EXPECT_EQ(window->gridModel(2).text(3, 0), "CT Ch  2");
}

// The layout was drawn for the classic dialog font; whatever face stands in for it, no caption
// may be cut off, and none may run into the control to its right.
TEST_F(TambviewTest, CaptionsReadWholeAndRunIntoNothing) {
    startWithOneDevice();
    QList<QWidget*> captions;
    for (QLabel* label : window->findChildren<QLabel*>())
        if (!label->objectName().startsWith("lblMsgCounts")) captions << label;
    for (QCheckBox* box : window->findChildren<QCheckBox*>()) captions << box;
    ASSERT_EQ(captions.size(), 14)
        << "two device labels, eight class names, the version, three boxes";

    for (QWidget* caption : captions) {
        const QString name = caption->objectName();
        EXPECT_LE(caption->sizeHint().width(), caption->width()) << name.toStdString();
        const QRect box = caption->geometry();
        for (QObject* object : caption->parentWidget()->children()) {
            auto* sibling = qobject_cast<QWidget*>(object);
            if (sibling == nullptr || sibling == caption || sibling->x() <= box.x()) continue;
            const int sharedRows = std::min(box.bottom(), sibling->geometry().bottom()) -
                                   std::max(box.top(), sibling->y()) + 1;
            if (sharedRows > 1) {
                EXPECT_LT(box.right(), sibling->x())
                    << name.toStdString() << " runs into " << sibling->objectName().toStdString();
            }
        }
    }
}

// Labels draw their text at the top, as the count labels do: each count sits on its class name's
// line.
TEST_F(TambviewTest, LabelsAreTopAlignedAndEachCountSitsOnItsClassNamesLine) {
    startWithOneDevice();
    const auto textTop = [this](const QString& name) {
        auto* label = window->findChild<QLabel*>(name);
        const QRect text =
            label->style()->itemTextRect(label->fontMetrics(), label->contentsRect(),
                                         int(label->alignment()), true, label->text());
        return label->mapTo(window.get(), text.topLeft()).y();
    };
    for (const char* name : {"Label1", "Label2"}) {
        EXPECT_EQ(window->findChild<QLabel*>(name)->alignment() & Qt::AlignVertical_Mask,
                  Qt::AlignTop)
            << name;
    }
    for (int k = 0; k < 8; ++k) {
        const int nameTop = textTop(QStringLiteral("lblMsgs(%1)").arg(k));
        const int countTop = textTop(QStringLiteral("lblMsgCounts(%1)").arg(k));
        EXPECT_EQ(nameTop, countTop) << "class " << k;
    }
}

// Keys as on the desktop the program was designed for: Tab leaves the log along the focus order
// instead of typing a tab, and Enter on a focused button presses it, but not on a check box.
TEST_F(TambviewTest, TabLeavesTheLogAndEnterPressesTheFocusedButton) {
    startWithOneDevice();
    window->show();
    window->findChild<QTabBar*>("tabBar")->setCurrentIndex(3);  // "Misc", where the log is
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    WindowProbe probe(*window);
    auto* log = window->findChild<QPlainTextEdit*>("txtMIDI");
    // Keys go to the focus widget, as the window system sends them.
    const auto press = [](QWidget* focused, Qt::Key key, Qt::KeyboardModifiers modifiers = {}) {
        focused->setFocus();
        ASSERT_EQ(QApplication::focusWidget(), focused);
        QTest::keyClick(focused, key, modifiers);
    };
    press(log, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), probe.checkBox("chkFirst"));
    press(log, Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(QApplication::focusWidget(), probe.button("cmdCDE"));
    log->setFocus();
    QTest::keyClicks(log, "ab");
    EXPECT_EQ(probe.log(), "ab") << "typing into the log still works";

    for (const char* name : {"chkFirst", "chkNoreal", "chkMidiOut"}) {
        const bool before = probe.checkBox(name)->isChecked();
        press(probe.checkBox(name), Qt::Key_Return);
        EXPECT_EQ(probe.checkBox(name)->isChecked(), before) << name;
    }
    for (const char* name : {"cmdCDE", "cmdClear", "cmdChange", "cmdChangeO"}) {
        QSignalSpy clicks(probe.button(name), &QPushButton::clicked);
        press(probe.button(name), Qt::Key_Return);
        press(probe.button(name), Qt::Key_Enter, Qt::KeypadModifier);
        EXPECT_EQ(clicks.count(), 2) << name;
    }
    EXPECT_EQ(window->gridModel(0).text(0, 1), "C") << "C D E ran";
    press(probe.button("cmdExit"), Qt::Key_Return);
    EXPECT_EQ(ends, 1) << "Exit ran";
}

TEST_F(TambviewTest, StartUpWithOneDeviceOpensItWithoutAsking) {
    startWithOneDevice();
    EXPECT_EQ(WindowProbe(*window).lineEdit("txtMidiIn")->text(), "Keys");
    EXPECT_TRUE(service.inputOpen(0));
    EXPECT_EQ(window->midiInDev(), 0);
    EXPECT_EQ(service.play(0, {{0x403C90, 1}}), 1u) << "the port was started";
}

TEST_F(TambviewTest, StartUpWithNoDeviceShowsTheMessageAndRunsWithoutInput) {
    service.setInputDevices({});
    window = makeWindow();
    QString text;
    onNextModal([&](QWidget* modal) {
        const MessageBoxFacts facts = messageBoxFacts(modal);
        text = facts.text;
        EXPECT_EQ(facts.title, "Tambl");
        EXPECT_EQ(facts.buttons, QStringList{"OK"});
        EXPECT_FALSE(facts.hasIcon);
        EXPECT_FALSE(window->isVisible()) << "the message comes before the window";
        clickButton(modal, "OK");
    });
    window->load();
    EXPECT_EQ(text,
              "No MIDI input devices found.  Do you need to install a device driver for your "
              "sound card?");
    EXPECT_EQ(WindowProbe(*window).lineEdit("txtMidiIn")->text(), "Text1");
    EXPECT_EQ(service.inputOpens(), 0);
    EXPECT_EQ(window->windowTitle(), "Tamblin V0.2");
}

TEST_F(TambviewTest, StartUpWithTwoDevicesAsksFirst) {
    service.setInputDevices({"Keys", "Pads"});
    window = makeWindow();
    QStringList rows;
    QString task;
    int selected = -2;
    onNextModal([&](QWidget* modal) {
        auto* list = modal->findChild<QListWidget*>("lstDevs");
        for (int i = 0; i < list->count(); ++i) rows << list->item(i)->text();
        selected = list->currentRow();
        task = modal->findChild<QLabel*>("lblTask")->text();
        list->setCurrentRow(1);
        clickButton(modal, "OK");
    });
    window->load();
    EXPECT_EQ(rows, (QStringList{"Keys", "Pads"}));
    EXPECT_EQ(selected, 0);
    EXPECT_EQ(task, "Select MIDI Input Device");
    EXPECT_EQ(window->midiInDev(), 1);
    EXPECT_EQ(WindowProbe(*window).lineEdit("txtMidiIn")->text(), "Pads");
    EXPECT_TRUE(service.inputOpen(1));
}

TEST_F(TambviewTest, DeviceDialogClosedByItsCloseBoxOpensNothingAndNamesNothing) {
    service.setInputDevices({"Keys", "Pads"});
    window = makeWindow();
    // Closes the device dialog by its close box, and would close a message box after it too.
    ModalGuard guard;
    window->load();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(guard.closed(), QStringList{"Select MIDI device"}) << "no message after the dialog";
    EXPECT_EQ(service.inputOpens(), 0);
    EXPECT_EQ(WindowProbe(*window).lineEdit("txtMidiIn")->text(), "");
}

TEST_F(TambviewTest, AMessageReachesLogCountAndGridAtTheNextTick) {
    startWithOneDevice();
    WindowProbe probe(*window);
    play({{0x403C90, 12345}});  // ch1 note 60 vel 64
    EXPECT_EQ(probe.countText(1), "0") << "nothing is shown before the tick";
    window->refreshTick();
    EXPECT_EQ(probe.logLines().back(), "12.345 403C90 note on:  C:1 N:60 V:64");
    EXPECT_EQ(probe.countText(1), " 1");
    EXPECT_EQ(window->gridModel(0).background(1, 61), Rgb(250, 0, 0));
}

TEST_F(TambviewTest, RealTimeFilterAndFirstTimeFilterFollowTheirBoxes) {
    startWithOneDevice();
    WindowProbe probe(*window);
    play({{0xF8, 2000}});  // timing clock, filtered by default
    window->refreshTick();
    EXPECT_EQ(probe.log(), "");
    EXPECT_EQ(probe.countText(7), "0");

    probe.checkBox("chkNoreal")->setChecked(false);
    play({{0xF8, 2000}});
    window->refreshTick();
    EXPECT_EQ(probe.logLines(), QStringList{"2 00F8 Timing Clock"});
    EXPECT_EQ(probe.countText(7), " 1");

    probe.checkBox("chkFirst")->setChecked(true);
    play({{0x403C90, 1000}, {0x7F3C90, 1001}, {0x003C90, 1002}, {0x403C80, 1003}});
    window->refreshTick();
    EXPECT_EQ(probe.logLines(),
              (QStringList{"2 00F8 Timing Clock", "1 403C90 note on:  C:1 N:60 V:64",
                           "1.003 403C80 note off: C:1 N:60 V:64"}));
    EXPECT_EQ(probe.countText(1), " 3") << "filtered lines are still counted";
    EXPECT_EQ(window->gridModel(0).background(1, 61), Rgb(100, 255, 100));
}

TEST_F(TambviewTest, LogEmptiesAtTheMessageAfterTheThousandAndFirstLine) {
    startWithOneDevice();
    WindowProbe probe(*window);
    std::string copy;  // what a log file is given: every line, the box's emptying or not
    window->setLogCopy([&copy](std::string_view text) { copy += text; });
    std::vector<InProcessPortService::Event> burst;
    for (int i = 0; i < 1001; ++i) burst.push_back({0x403C90, i});
    service.play(0, burst);
    window->refreshTick();
    const QStringList first = probe.logLines();
    EXPECT_EQ(first.size(), 1001);
    // The emptying happens within one batch: the window shows only what follows it.
    service.play(0, {{0x01C0, 5000}, {0x02C0, 5001}});
    window->refreshTick();
    EXPECT_EQ(probe.logLines(),
              (QStringList{"5 001C0 Prog Ch:  C:1 P:1", "5.001 002C0 Prog Ch:  C:1 P:2"}));

    const QStringList all = first + probe.logLines();
    EXPECT_EQ(copy, (all.join('\n') + '\n').toStdString());
}

TEST_F(TambviewTest, LogLinesGoAtTheEndEvenAfterTheUserTypedIntoTheLog) {
    startWithOneDevice();
    WindowProbe probe(*window);
    auto* log = window->findChild<QPlainTextEdit*>("txtMIDI");
    log->setPlainText(QString(70000, QChar('x')));  // longer than any caret position
    QTextCursor cursor = log->textCursor();
    cursor.setPosition(3);
    log->setTextCursor(cursor);
    play({{0x05C0, 500}});
    window->refreshTick();
    EXPECT_TRUE(probe.log().endsWith("xxx0.5 005C0 Prog Ch:  C:1 P:5\n"));
}

// While the Misc page is hidden its log box and count labels take in nothing; once it is shown
// they hold exactly what they would hold had the page been shown throughout: the emptying at the
// message after the 1,001st line, Clear, the last lines in view, SysEx lines (worded at once)
// among short messages' lines (worded when shown) in their order.
TEST_F(TambviewTest, TheMiscPageShowsWhatItWouldHaveShownThroughout) {
    struct Monitor {
        InProcessPortService ports;
        InputRing ring;
        SysExRing sysex;
        Tambview window{ports, ring};
        QTabBar* tabs = nullptr;
        QPlainTextEdit* log = nullptr;
        // A monitor that copies its log (--log) words each line as it comes, one that does not
        // only when its box is to show it: `shown` does the one, `hidden` the other.
        Monitor(int page, bool copying) {
            if (copying) window.setLogCopy([](std::string_view) {});
            ring.attachSysEx(&sysex);
            ports.setLongCallback(&tamblin::input::midiInLongCallback);
            ports.setInputDevices({"Keys"});
            window.setEndProgram([] {});
            window.load();
            window.show();
            tabs = window.findChild<QTabBar*>("tabBar");
            tabs->setCurrentIndex(page);
            log = window.findChild<QPlainTextEdit*>("txtMIDI");
        }
        QStringList counts() const {
            QStringList texts;
            for (int k = 0; k < 8; ++k)
                texts
                    << window.findChild<QLabel*>(QStringLiteral("lblMsgCounts(%1)").arg(k))->text();
            return texts;
        }
    };
    struct Stream {
        int length;
        int clearAfter;  // Clear is clicked after the tick that drained this many messages
    };
    for (const Stream stream : {Stream{0, 0}, Stream{3, 1}, Stream{1000, 0}, Stream{1001, 400},
                                Stream{1002, 1001}, Stream{2600, 1200}, Stream{3100, 2900}}) {
        SCOPED_TRACE(stream.length);
        Monitor shown(3, true), hidden(0, false);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&hidden.window));
        const QString before = hidden.log->toPlainText();
        const QStringList countsBefore = hidden.counts();
        int sent = 0;
        while (sent < stream.length) {
            // Ticks of at most 700 messages, one ending where Clear is clicked.
            const int end = std::min({stream.length, sent + 700,
                                      sent < stream.clearAfter ? stream.clearAfter : 1 << 30});
            std::vector<InProcessPortService::Event> events;
            for (int i = sent; i < end; ++i) {  // notes on, all channels and notes, controllers
                if (i % 97 == 50) {
                    events.push_back({0, i, {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}});
                    continue;
                }
                events.push_back(
                    {i % 5 == 4 ? 0x4007B0u + static_cast<std::uint32_t>(i % 16)
                                : 0x400090u + static_cast<std::uint32_t>((i % 128) << 8 | i % 16),
                     i});
            }
            for (Monitor* m : {&shown, &hidden}) {
                ASSERT_EQ(m->ports.play(0, events), events.size());
                m->window.refreshTick();
                if (end == stream.clearAfter) WindowProbe(m->window).button("cmdClear")->click();
            }
            sent = end;
        }
        EXPECT_EQ(hidden.log->toPlainText(), before) << "the hidden box took in text";
        EXPECT_EQ(hidden.counts(), countsBefore) << "the hidden counts changed";

        hidden.tabs->setCurrentIndex(3);
        EXPECT_EQ(hidden.log->toPlainText(), shown.log->toPlainText());
        EXPECT_LE(hidden.log->blockCount(), 1002);
        EXPECT_EQ(hidden.counts(), shown.counts());
        const QScrollBar* bar = hidden.log->verticalScrollBar();
        EXPECT_EQ(bar->value(), bar->maximum()) << "the view is at the last line";
        for (const Monitor* m : {&shown, &hidden}) {
            EXPECT_TRUE(m->log->textCursor().atEnd()) << "the caret follows the last line";
            EXPECT_TRUE(m->log->viewport()->rect().contains(m->log->cursorRect()))
                << "the last line is in view";
        }
        EXPECT_EQ(hidden.log->viewport()->grab().toImage(), shown.log->viewport()->grab().toImage())
            << "the box shows the same lines";
    }
}

TEST_F(TambviewTest, ClearRestoresBandsAndCountsButKeepsLettersAndNoteState) {
    startWithOneDevice();
    WindowProbe probe(*window);
    probe.button("cmdCDE")->click();
    play({{0x405A99, 1}, {0x005AC9, 2}, {0x7F25B0, 3}, {0x403C90, 4}});  // in grey bands
    window->refreshTick();
    EXPECT_EQ(window->gridModel(1).background(20, 27), Rgb(255, 100, 100));
    probe.button("cmdClear")->click();
    for (int k = 0; k < 8; ++k) EXPECT_EQ(probe.countText(k), "0");
    EXPECT_EQ(probe.log(), "");
    EXPECT_EQ(window->gridModel(0).background(1, 61), Rgb(240, 240, 240));  // note 60 band
    EXPECT_EQ(window->gridModel(1).background(20, 27), Rgb(240, 240, 240));
    EXPECT_EQ(window->gridModel(2).background(1, 38), Rgb(240, 240, 240));
    EXPECT_EQ(window->gridModel(0).background(1, 1), Rgb(255, 255, 255));
    EXPECT_EQ(window->gridModel(0).text(0, 1), "C");
    EXPECT_EQ(window->gridModel(0).text(0, 2), "");
    EXPECT_EQ(window->gridModel(1).text(0, 1), " 0");
    EXPECT_TRUE(window->decoder().noteState(0, 60));
    play({{0x05C0, 9}});
    window->refreshTick();
    EXPECT_EQ(probe.countText(4), " 1");
}

TEST_F(TambviewTest, CellMappingCorners) {
    startWithOneDevice();
    play(
        {{0x403F90, 1}, {0x404090, 2}, {0x407F90, 3}, {0x403F9F, 4}, {0x40409F, 5}, {0x407F9F, 6}});
    window->refreshTick();
    const auto& notes = window->gridModel(0);
    for (auto [row, col] : {std::pair{1, 64}, {2, 1}, {2, 64}, {31, 64}, {32, 1}, {32, 64}})
        EXPECT_EQ(notes.background(row, col), Rgb(250, 0, 0)) << row << "," << col;
}

TEST_F(TambviewTest, InputChangeReopensTheSingleDeviceWithoutAsking) {
    startWithOneDevice();
    const auto first = window->midiInHnd();
    WindowProbe(*window).button("cmdChange")->click();
    EXPECT_NE(window->midiInHnd(), first);
    EXPECT_TRUE(service.inputOpen(0));
    EXPECT_EQ(service.inputOpens(), 2);
    EXPECT_EQ(service.play(0, {{0x403C90, 1}}), 1u);
}

TEST_F(TambviewTest, InputChangeWithSeveralDevicesAsksAndKeepsTheRing) {
    service.setInputDevices({"Keys", "Pads"});
    window = makeWindow();
    clickInNextModal("OK");
    window->load();
    play({{0x403C90, 7}});
    onNextModal([](QWidget* modal) {
        modal->findChild<QListWidget*>("lstDevs")->setCurrentRow(1);
        clickButton(modal, "OK");
    });
    WindowProbe(*window).button("cmdChange")->click();
    EXPECT_FALSE(service.inputOpen(0));
    EXPECT_TRUE(service.inputOpen(1));
    window->refreshTick();  // the message that arrived before the change is still shown
    EXPECT_EQ(WindowProbe(*window).logLines(), QStringList{"0.007 403C90 note on:  C:1 N:60 V:64"});
}

// The capture hears each input device opened, and what the closed device delivered comes before
// the next one's name, however late the next tick.
TEST_F(TambviewTest, TheCaptureHearsEachInputDeviceAndWhatCameBeforeTheChange) {
    struct Recorder : tamblin::input::CaptureSink {
        std::vector<std::string> heard;
        void inputOpened(std::string_view name, std::int64_t) override {
            heard.push_back("opened " + std::string(name));
        }
        void message(std::span<const std::uint8_t> bytes, std::int64_t micros) override {
            heard.push_back(std::to_string(bytes.size()) + " bytes @" + std::to_string(micros));
        }
        void drained() override { heard.push_back("drained"); }
    } capture;
    service.setInputDevices({"Keys", "Pads"});
    window = makeWindow();
    window->setCapture(&capture);
    clickInNextModal("OK");
    window->load();
    play({{0xF8, 7}});  // a clock, which the window hides
    onNextModal([](QWidget* modal) {
        modal->findChild<QListWidget*>("lstDevs")->setCurrentRow(1);
        clickButton(modal, "OK");
    });
    WindowProbe(*window).button("cmdChange")->click();
    ASSERT_TRUE(service.inputOpen(1));
    EXPECT_EQ(capture.heard,
              (std::vector<std::string>{"opened Keys", "1 bytes @7000", "drained", "opened Pads"}));
    window->setCapture(nullptr);
}

TEST_F(TambviewTest, BusyInputDeviceShowsTheInUseMessageAndKeepsTheName) {
    service.setInputDevices({"Keys"});
    service.setInputBusy(0, true);
    window = makeWindow();
    QString text;
    clickInNextModal("OK", &text);
    window->load();
    EXPECT_EQ(text, "Oops, the MIDI device is already open");
    EXPECT_EQ(WindowProbe(*window).lineEdit("txtMidiIn")->text(), "Keys");
    EXPECT_EQ(service.inputOpens(), 0);
}

TEST_F(TambviewTest, ExitAndCloseBoxBothCloseBothPorts) {
    for (bool viaButton : {true, false}) {
        SCOPED_TRACE(viaButton ? "Exit button" : "close box");
        InProcessPortService ports;
        ports.setInputDevices({"Keys"});
        ports.setOutputDevices({"Synth"});
        InputRing ownRing;
        Tambview w(ports, ownRing);
        int ended = 0;
        w.setEndProgram([&] { ++ended; });
        w.load();
        w.show();
        WindowProbe(w).checkBox("chkMidiOut")->setChecked(true);
        ASSERT_TRUE(ports.outputOpen(0));
        if (viaButton)
            WindowProbe(w).button("cmdExit")->click();
        else
            w.close();
        EXPECT_FALSE(ports.inputOpen(0));
        EXPECT_FALSE(ports.outputOpen(0));
        EXPECT_EQ(ended, 1);
        EXPECT_FALSE(w.isVisible());
    }
}

TEST_F(TambviewTest, ExitWithoutOutputStillClosesHandleZero) {
    startWithOneDevice();
    window->cmdExit_Click();
    const auto calls = service.calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2],
              "midiInClose(" + std::to_string(window->midiInHnd()) + ") = 0");
    EXPECT_EQ(calls.back(), "midiOutClose(0) = 5");
    EXPECT_EQ(ends, 1);
}

TEST_F(TambviewTest, EndingWhileTheDeviceDialogIsUpOpensNoPortAfterwards) {
    service.setInputDevices({"Keys"});
    service.setOutputDevices({"Synth", "Piano"});
    window = makeWindow();
    window->load();
    // The program ends (as after an overrun) while the output choice waits for the user.
    onNextModal([&](QWidget*) { window->cmdExit_Click(); });
    WindowProbe(*window).checkBox("chkMidiOut")->setChecked(true);
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(service.outputOpens(), 0);
    EXPECT_FALSE(service.inputOpen(0));
}

TEST_F(TambviewTest, TheTimerDrainsTheRingWithoutHelp) {
    startWithOneDevice();
    service.playFromThread(0, {{0x403C90, 1}, {0x6407B0, 2}});
    service.waitForPlayers();
    WindowProbe probe(*window);
    EXPECT_TRUE(waitFor([&] { return probe.logLines().size() == 2; }, 5000));
    EXPECT_EQ(window->gridModel(2).background(1, 8), Rgb(200, 55, 0));
}

// 1,200 messages, handed over 400 at a time as JACK hands a period's worth, with no refresh tick
// between them: the ring overruns, unless the window drains it as soon as it is half full.
TEST_F(TambviewTest, ABurstOfPeriodsOverrunsTheRingUnlessItIsDrainedEarly) {
    service.setInputDevices({"Keys"});
    for (const bool early : {false, true}) {
        SCOPED_TRACE(early ? "drained early" : "drained at the tick");
        InputRing burstRing;
        Tambview burstWindow(service, burstRing);
        burstWindow.setEndProgram([] {});
        burstWindow.setDrainEarly(early);
        burstWindow.load();
        burstWindow.findChild<QTimer*>(QStringLiteral("Timer"))->stop();
        WindowProbe probe(burstWindow);
        for (int period = 0; period < 3; ++period) {
            std::vector<InProcessPortService::Event> events;
            for (int i = 0; i < 400; ++i) events.push_back({0x403C90, period});  // ch1 note 60
            service.playFromThread(0, std::move(events));
            service.waitForPlayers();
            // The next period comes once the window has had its chance to drain.
            if (early) {
                ASSERT_TRUE(waitFor([&] { return burstRing.unread() < 512; }, 10000))
                    << "the half-full ring was not drained";
            }
        }
        EXPECT_EQ(burstRing.overrun(), !early);
        if (early) {
            burstWindow.refreshTick();
            EXPECT_EQ(probe.countText(1), " 1200");
        }
        burstWindow.cmdExit_Click();
    }
}

}  // namespace

namespace {

// Whether `widget` is a control of the layout, not a part that Qt builds inside one (a log's
// scroll bars, a tab bar's arrows), which the style sizes.
bool isControl(const QWidget* widget, const QWidget* window) {
    if (widget->objectName().startsWith(QStringLiteral("qt_"))) return false;
    for (const QWidget* outer = widget->parentWidget(); outer && outer != window;
         outer = outer->parentWidget())
        if (qobject_cast<const QAbstractScrollArea*>(outer) || qobject_cast<const QTabBar*>(outer))
            return false;
    return true;
}

// Every control of `window` by its place in the tree (object names repeat: "Label1"), with its
// geometry in the window's coordinates.
std::vector<std::pair<QString, QRect>> layoutOf(QWidget& window) {
    std::vector<std::pair<QString, QRect>> layout{{QStringLiteral("window"), window.rect()}};
    const QList<QWidget*> widgets = window.findChildren<QWidget*>();
    for (int i = 0; i < widgets.size(); ++i) {
        QWidget* w = widgets[i];
        if (!isControl(w, &window)) continue;
        layout.emplace_back(QStringLiteral("%1 #%2 %3")
                                .arg(w->objectName())
                                .arg(i)
                                .arg(QString::fromLatin1(w->metaObject()->className())),
                            QRect(w->mapTo(&window, QPoint(0, 0)), w->size()));
    }
    return layout;
}

// At 200 percent every edge lies within a pixel of twice its place at 100.
void expectTwice(const std::vector<std::pair<QString, QRect>>& at100,
                 const std::vector<std::pair<QString, QRect>>& at200) {
    ASSERT_EQ(at100.size(), at200.size());
    for (std::size_t i = 0; i < at100.size(); ++i) {
        const QRect& a = at100[i].second;
        const QRect& b = at200[i].second;
        const auto near = [](int zoomed, int base) { return std::abs(zoomed - 2 * base) <= 1; };
        EXPECT_TRUE(near(b.x(), a.x()) && near(b.y(), a.y()) &&
                    near(b.x() + b.width(), a.x() + a.width()) &&
                    near(b.y() + b.height(), a.y() + a.height()))
            << at100[i].first.toStdString() << ": " << a.x() << "," << a.y() << " " << a.width()
            << "x" << a.height() << " became " << b.x() << "," << b.y() << " " << b.width() << "x"
            << b.height();
    }
}

}  // namespace

// Ctrl+Plus scales the whole window and its dialogs, keeping the layout's proportions; Ctrl+0
// brings back exactly the window that was built, pixel for pixel.
TEST_F(TambviewTest, ZoomScalesTheWindowAndItsDialogsAndZeroRestoresItExactly) {
    startWithOneDevice();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    play({{0x403C90, 5}, {0x6407B2, 6}});  // ch1 note 60 on; ch3 controller 7 value 100
    window->refreshTick();
    const auto windowAt100 = layoutOf(*window);
    const auto valueAt100 = layoutOf(window->valueDialog());
    const auto devicesAt100 = layoutOf(window->deviceDialog());
    const QRect lastCellAt100 = window->grid(0)->cellRect(32, 64);
    std::vector<QImage> pictures;
    for (int page = 0; page < 4; ++page) {
        window->findChild<QTabBar*>("tabBar")->setCurrentIndex(page);
        pictures.push_back(window->grab().toImage());
    }
    window->findChild<QTabBar*>("tabBar")->setCurrentIndex(0);

    for (int step : {125, 150, 175, 200}) {
        QTest::keyClick(window.get(), Qt::Key_Plus, Qt::ControlModifier);
        EXPECT_EQ(window->zoom(), step);
    }
    expectTwice(windowAt100, layoutOf(*window));
    expectTwice(valueAt100, layoutOf(window->valueDialog()));
    expectTwice(devicesAt100, layoutOf(window->deviceDialog()));
    expectTwice({{QStringLiteral("last cell"), lastCellAt100}},
                {{QStringLiteral("last cell"), window->grid(0)->cellRect(32, 64)}});
    EXPECT_DOUBLE_EQ(window->grid(0)->font().pointSizeF(), 2 * 8.25);
    for (const char* name : {"lblMsgs(2)", "chkNoreal", "Label1"}) {
        QWidget* control = window->findChild<QWidget*>(name);
        EXPECT_LE(control->sizeHint().width(), control->width()) << name << " is cut off";
    }

    QTest::keyClick(window.get(), Qt::Key_Plus, Qt::ControlModifier);
    QTest::keyClick(window.get(), Qt::Key_Plus, Qt::ControlModifier);
    QTest::keyClick(window.get(), Qt::Key_Plus, Qt::ControlModifier);
    EXPECT_EQ(window->zoom(), 300) << "the largest step";
    QTest::keyClick(window.get(), Qt::Key_Minus, Qt::ControlModifier);
    EXPECT_EQ(window->zoom(), 250);
    QTest::keyClick(window.get(), Qt::Key_0, Qt::ControlModifier);
    EXPECT_EQ(window->zoom(), 100);
    QTest::keyClick(window.get(), Qt::Key_Minus, Qt::ControlModifier);
    EXPECT_EQ(window->zoom(), 100) << "the smallest step";

    EXPECT_EQ(layoutOf(*window), windowAt100);
    EXPECT_EQ(layoutOf(window->valueDialog()), valueAt100);
    for (int page = 0; page < 4; ++page) {
        window->findChild<QTabBar*>("tabBar")->setCurrentIndex(page);
        EXPECT_TRUE(window->grab().toImage() == pictures[static_cast<std::size_t>(page)])
            << "page " << page << " looks different after zooming back";
    }
}
