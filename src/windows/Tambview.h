#pragma once

#include <QAccessible>
#include <QPointer>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "grids/GridModel.h"
#include "grids/PointerActions.h"
#include "input/Decoder.h"
#include "input/DisplayBatch.h"
#include "input/InputRing.h"
#include "input/RefreshPump.h"
#include "ports/DeviceOpener.h"
#include "ports/PortService.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSocketNotifier;
class QTabBar;
class QTimer;

namespace tamblin::grids {
class GridView;
}

namespace tamblin::windows {

class DeviceDialog;
class DialogOpenerUi;
class ValueDialog;

// The main window: hosts every control, runs start-up and shut-down, and ties the decoder, the
// refresh pump, the grids and the port service together. The decoder writes into a display batch,
// which the window applies to its widgets once a refresh tick. Everything here runs on the
// user-interface thread; the only other thread is the port service's, which touches nothing but
// the input ring.
class Tambview final : public QWidget,
                       private input::BatchView,
                       private input::PumpHost,
                       private QAccessible::ActivationObserver {
    Q_OBJECT

public:
    static constexpr int kRefreshMs = 100;
    static constexpr const char* kVersion = "Tamblin V0.2";
    static constexpr const char* kOverrunText =
        "I am sorry, but the MIDI input buffer has been overrun. Exiting rather than displaying "
        "misleading information.";

    // `ring` is the ring that the input device's callback fills and the refresh pump drains;
    // the window's owner makes it, and it outlives the window.
    Tambview(ports::PortService& service, input::InputRing& ring, QWidget* parent = nullptr);
    ~Tambview() override;

    // Start-up: grids, count labels, tables, the input device, the refresh timer, the title.
    // Runs before the window is shown; may show the device dialog or a message box.
    void load();

    // The Exit action: closes both ports and ends the program.
    void cmdExit_Click();

    // Decodes, counts, marks and logs one message, and shows the result.
    void displayMessage(std::uint32_t message, std::int32_t time);

    // Devices chosen before start-up (by name, from the devices as last counted), opened by
    // load() without asking: the output first, with "Allow MIDI output" checked when it opens,
    // then the input. Without them load() asks as usual.
    void setStartDevices(std::optional<ports::DeviceId> input,
                         std::optional<ports::DeviceId> output) {
        startInput_ = input;
        startOutput_ = output;
    }

    // Besides each refresh tick, drains the input ring as soon as the input callback has left
    // half of it unread, so that a burst that JACK hands over a period at a time does not
    // overrun it between two ticks. What the window shows is the same, only sooner.
    void setDrainEarly(bool early);

    // Receives, at each refresh, every line that went into the log box since the last one, each
    // ended by a line feed, even when the box was emptied in between.
    void setLogCopy(std::function<void(std::string_view)> copy) {
        logCopy_ = std::move(copy);
        batch_.setCopying(static_cast<bool>(logCopy_));
    }
    // Receives every message the input delivers, whatever the window shows, and each input device
    // opened (--capture); before load(). Asks the port service for its finest times.
    void setCapture(input::CaptureSink* capture);
    // Receives the overrun message as soon as the input ring is seen to have overrun, before the
    // message box waits for the user (the log copy then receives its last line, saying from
    // which time messages were lost).
    void setOverrunReport(std::function<void(std::string_view)> report) {
        overrunReport_ = std::move(report);
    }

    // Scales the window and its dialogs to `percent` of the layout's size, kept within 100 to
    // 300; Ctrl+Plus, Ctrl+Minus and Ctrl+0 step it. Nothing of it is stored.
    void setZoom(int percent);
    int zoom() const { return zoom_; }

    ports::DeviceId midiInDev() const { return midiInDev_; }
    ports::Handle midiInHnd() const { return midiInHnd_; }
    ports::DeviceId midiOutDev() const { return midiOutDev_; }
    ports::Handle midiOutHnd() const { return midiOutHnd_; }
    grids::GridView* grid(int index) const { return views_[index]; }
    ValueDialog& valueDialog();
    DeviceDialog& deviceDialog();
    // Whether the Exit action has run.
    bool ended() const { return ended_; }
    // Whether the input ring overran: messages were lost, and the program ends with a failure.
    bool overran() const { return overran_; }

    // ---- test hooks: for tests and benchmarks, never used by the program ----------------------

    // What ending the program does; by default the application's event loop exits with 0.
    void setEndProgram(std::function<void()> endProgram) { endProgram_ = std::move(endProgram); }
    // Hands the widgets one batch per refresh tick (the default) or updates them after every
    // message; the visible result is the same.
    void setBatchedUpdates(bool batched) { batched_ = batched; }
    // One refresh tick, as the timer runs it.
    void refreshTick() { pump_.tick(); }
    const grids::GridModel& gridModel(int index) const { return *models_[index]; }
    const input::Decoder& decoder() const { return decoder_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // BatchView
    void clearLog() override;
    void appendLog(std::string_view lines) override;
    // Has the lines at the end of the log that the box can show keep their shaped glyphs.
    void keepGlyphsOfLastLines();
    void copyLog(std::string_view lines) override;
    void setCountText(int messageClass, std::string_view text) override;
    void countChanged(int messageClass, std::string_view text) override;
    // Gives count label k its accessible name from spokenCounts_[k].
    void nameCount(std::size_t k);
    void refreshGrid(int grid) override;
    bool logShown() const override { return miscShown(); }
    bool countsShown() const override { return miscShown(); }
    // PumpHost
    bool realTimeFiltered() const override;
    bool outputAllowed() const override;
    void forward(std::uint32_t message) override;
    void suspendPainting() override;
    void resumePainting() override;
    void reportOverrun() override;
    void displaySysEx(const input::SysExRing::Entry& sysex) override;
    void reportSysExDropped(const input::SysExRing::Entry& sysex) override;
    ports::Result forwardLong(const std::uint8_t* bytes, std::size_t size) override;
    void reportTooLarge(const input::SysExRing::Entry& sysex) override;
    // ActivationObserver
    void accessibilityActiveChanged(bool active) override;

    void buildControls();
    void buildPages();
    // Eight rows from (left, top) in twips, `width` wide: a class's count, then its name.
    void buildCountRows(int left, int top, int width);
    void connectControls();
    void setTabOrder();
    // Names for assistive technology, where a control's caption alone would not say enough.
    void nameControls();
    void placePages();
    void showPage(int page);
    // Whether the Misc page, with the log and the counts, is the page shown in a window that is
    // not minimised.
    bool miscShown() const;
    void flushToWidgets();
    void shutDown();
    std::int32_t echoTime() const;

    void openMidiIn(std::optional<ports::DeviceId> chosen = std::nullopt);
    void openMidiOut(std::optional<ports::DeviceId> chosen = std::nullopt);
    void cmdChange_Click();
    void cmdChangeO_Click();
    void chkMidiOut_Click();
    // Hands both thru options to a port service that forwards by itself (direct thru).
    void mirrorThruGate();
    void cmdClear_Click();
    void cmdCDE_Click();
    void grid_Click(int index, int row, int col);
    void grid_MouseMove(int index);

    ports::PortService& service_;
    input::InputRing& ring_;
    std::array<std::unique_ptr<grids::GridModel>, 3> models_;
    input::DisplayBatch batch_;
    input::Decoder decoder_;
    input::RefreshPump pump_;
    std::unique_ptr<DialogOpenerUi> openerUi_;
    ports::DeviceOpener opener_;

    std::array<grids::GridView*, 3> views_{};
    grids::NoteNames noteNames_{};
    grids::KindWords kindWords_{};

    ports::DeviceId midiInDev_ = 0;
    ports::Handle midiInHnd_ = 0;
    ports::DeviceId midiOutDev_ = 0;
    ports::Handle midiOutHnd_ = 0;

    QWidget* tabs_ = nullptr;
    QTabBar* tabBar_ = nullptr;
    std::array<QWidget*, 4> pages_{};
    QLineEdit* txtMidiIn_ = nullptr;
    QLineEdit* txtMidiOut_ = nullptr;
    QPushButton* cmdChange_ = nullptr;
    QPushButton* cmdChangeO_ = nullptr;
    std::array<QLabel*, input::kMessageClasses> lblMsgCounts_{};
    // Each count's latest text, whatever page is shown: its label's accessible name says it while
    // accessibility is on, and takes it when accessibility comes on.
    std::array<std::string, input::kMessageClasses> spokenCounts_{};
    std::array<QLabel*, input::kMessageClasses> lblMsgs_{};
    QCheckBox* chkNoreal_ = nullptr;
    QCheckBox* chkFirst_ = nullptr;
    QCheckBox* chkMidiOut_ = nullptr;
    QPlainTextEdit* txtMIDI_ = nullptr;
    QPushButton* cmdCDE_ = nullptr;
    QPushButton* cmdClear_ = nullptr;
    QLabel* txtVersion_ = nullptr;
    QPushButton* cmdExit_ = nullptr;
    QTimer* timer_ = nullptr;
    QSocketNotifier* drainEarly_ = nullptr;
    bool batched_ = true;
    int zoom_ = 100;

    std::unique_ptr<DeviceDialog> deviceDialog_;
    std::unique_ptr<ValueDialog> valueDialog_;
    std::optional<ports::DeviceId> startInput_;
    std::optional<ports::DeviceId> startOutput_;
    std::function<void(std::string_view)> logCopy_;
    std::function<void(std::string_view)> overrunReport_;
    input::CaptureSink* capture_ = nullptr;
    // The time of the last message displayed, and of the last one displayed before the drain
    // now running: what an overrun loses arrived after the latter.
    std::optional<std::int32_t> lastShown_;
    std::optional<std::int32_t> shownBeforeDrain_;
    bool overran_ = false;
    std::function<void()> endProgram_;
    bool ended_ = false;
};

}  // namespace tamblin::windows
