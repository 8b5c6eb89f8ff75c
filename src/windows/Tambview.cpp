#include "windows/Tambview.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QSignalBlocker>
#include <QSocketNotifier>
#include <QTabBar>
#include <QTextBlock>
#include <QTextLayout>
#include <QTimer>
#include <algorithm>
#include <initializer_list>
#include <span>
#include <vector>

#include "grids/GridView.h"
#include "windows/ButtonKeys.h"
#include "windows/DeviceDialog.h"
#include "windows/DialogOpenerUi.h"
#include "windows/Icon.h"
#include "windows/MainControls.h"
#include "windows/MessageBox.h"
#include "windows/Twips.h"
#include "windows/ValueDialog.h"
#include "windows/Zoom.h"

namespace tamblin::windows {

namespace {

constexpr const char* kClassNames[input::kMessageClasses] = {
    "Note Off Messages",           "Note On Messages",        "Polyphonic Key Pressure Messages",
    "Control Change Messages",     "Program Change Messages", "Channel Pressure Messages",
    "Pitch Wheel Change Messages", "Misc. Messages"};

constexpr const char* kPageNames[4] = {"Notes", "Program Changes", "Controllers", "Misc"};

QString latin(const char* text) {
    return QString::fromLatin1(text);
}

}  // namespace

Tambview::Tambview(ports::PortService& service, input::InputRing& ring, QWidget* parent)
    : QWidget(parent),
      service_(service),
      ring_(ring),
      models_{std::make_unique<grids::GridModel>(grids::kNotesGrid),
              std::make_unique<grids::GridModel>(grids::kProgramsGrid),
              std::make_unique<grids::GridModel>(grids::kControllersGrid)},
      batch_({models_[0].get(), models_[1].get(), models_[2].get()},
             QLocale().decimalPoint().toStdString()),
      decoder_(batch_, batch_.decimalSeparator()),
      pump_(ring_, *this),
      openerUi_(std::make_unique<DialogOpenerUi>(
          [this]() -> DeviceDialog& { return deviceDialog(); },
          [this](const QString& name) { txtMidiIn_->setText(name); },
          [this](const QString& name) { txtMidiOut_->setText(name); }, [this] { return ended_; })),
      opener_(service_, *openerUi_),
      endProgram_([] { QCoreApplication::exit(0); }) {
    setObjectName(QStringLiteral("Tambview"));
    setWindowIcon(tamblinIcon());
    setFont(dialogFont());
    buildControls();
    setTabOrder();
    nameControls();
    const auto zoomKeys = [this](QKeySequence keys, auto step) {
        connect(new QShortcut(keys, this), &QShortcut::activated, this, step);
    };
    const auto zoomIn = [this] { setZoom(nextZoomStep(zoom_, true)); };
    zoomKeys(QKeySequence::ZoomIn, zoomIn);
    // Plus shares its key with "=" on many keyboards: Ctrl and that key zoom in as well.
    zoomKeys(QKeySequence(Qt::CTRL | Qt::Key_Equal), zoomIn);
    zoomKeys(QKeySequence::ZoomOut, [this] { setZoom(nextZoomStep(zoom_, false)); });
    zoomKeys(QKeySequence(Qt::CTRL | Qt::Key_0), [this] { setZoom(100); });
}

Tambview::~Tambview() {
    QAccessible::removeActivationObserver(this);
}

void Tambview::buildControls() {
    const int dpi = logicalDpiX();
    setProperty(kTwipsClient, QSize(16440, 9015));
    resize(twipsToPixels(16440, dpi), twipsToPixels(9015, dpi));
    buildPages();

    const std::span<const Control> controls = mainControls();
    std::vector<QWidget*> made(controls.size());
    for (std::size_t i = 0; i < made.size(); ++i) {
        made[i] = makeControl(controls[i], pages_[3], this);
        if (controls[i].kind == Control::Kind::CountRows)
            buildCountRows(controls[i].left, controls[i].top, controls[i].width);
    }
    txtMidiIn_ = findChild<QLineEdit*>(QStringLiteral("txtMidiIn"));
    txtMidiOut_ = findChild<QLineEdit*>(QStringLiteral("txtMidiOut"));
    cmdChange_ = findChild<QPushButton*>(QStringLiteral("cmdChange"));
    cmdChangeO_ = findChild<QPushButton*>(QStringLiteral("cmdChangeO"));
    chkNoreal_ = findChild<QCheckBox*>(QStringLiteral("chkNoreal"));
    chkFirst_ = findChild<QCheckBox*>(QStringLiteral("chkFirst"));
    chkMidiOut_ = findChild<QCheckBox*>(QStringLiteral("chkMidiOut"));
    txtMIDI_ = findChild<QPlainTextEdit*>(QStringLiteral("txtMIDI"));
    cmdCDE_ = findChild<QPushButton*>(QStringLiteral("cmdCDE"));
    cmdClear_ = findChild<QPushButton*>(QStringLiteral("cmdClear"));
    txtVersion_ = findChild<QLabel*>(QStringLiteral("txtVersion"));
    cmdExit_ = findChild<QPushButton*>(QStringLiteral("cmdExit"));

    chkNoreal_->setChecked(true);
    txtMIDI_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtMIDI_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    txtMIDI_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    txtMIDI_->setUndoRedoEnabled(false);  // the log is written, not edited: no undo history
    // A multi-line text box of the desktop the program was designed for takes no tab characters:
    // Tab and Shift+Tab move along the focus order.
    txtMIDI_->setTabChangesFocus(true);
    txtVersion_->setFont(dialogFont(9.75, true));

    for (std::size_t i = 0; i < made.size(); ++i)
        if (controls[i].fit) fitCaption(made[i]);
    for (QLabel* name : lblMsgs_) fitCaption(name);
    for (QPushButton* button : {cmdChange_, cmdChangeO_, cmdCDE_, cmdClear_, cmdExit_}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    pressButtonsOnEnter(*this);

    timer_ = new QTimer(this);
    timer_->setObjectName(QStringLiteral("Timer"));
    timer_->setTimerType(Qt::PreciseTimer);
    connectControls();
    showPage(0);
}

void Tambview::buildPages() {
    auto* tabs = new TabControl(this);
    tabs_ = tabs;
    tabs_->setObjectName(QStringLiteral("tabs"));
    placeInTwips(tabs_, 0, 0, 16215, 8415);
    tabBar_ = new QTabBar(tabs_);
    tabBar_->setObjectName(QStringLiteral("tabBar"));
    tabBar_->setExpanding(false);
    tabBar_->setDrawBase(false);
    for (const char* name : kPageNames) tabBar_->addTab(latin(name));
    for (std::size_t i = 0; i < pages_.size(); ++i) {
        pages_[i] = new QWidget(tabs_);
        pages_[i]->setObjectName(latin(kPageNames[i]));
    }
    placePages();
    tabBar_->raise();
    connect(tabBar_, &QTabBar::currentChanged, this, &Tambview::showPage);

    for (int i = 0; i < 3; ++i) {
        auto* view = new grids::GridView(*models_[static_cast<std::size_t>(i)],
                                         pages_[static_cast<std::size_t>(i)]);
        view->setObjectName(QStringLiteral("grid(%1)").arg(i));
        placeInTwips(view, 0, 360, 16815, 8055);
        connect(view, &grids::GridView::clicked, this, &Tambview::grid_Click);
        connect(view, &grids::GridView::pointerMoved, this, &Tambview::grid_MouseMove);
        views_[static_cast<std::size_t>(i)] = view;
    }
    // The notes grid's tooltip until the pointer rests on a cell: kept on purpose (docs/NAMES.md).
    views_[0]->setToolTipText(QStringLiteral("Tool tip"));
}

void Tambview::placePages() {
    auto* tabs = static_cast<TabControl*>(tabs_);
    tabs->barHeight = twipsToPixels(360, logicalDpiX() * zoom_ / 100);
    tabBar_->setGeometry(0, 0, tabs_->width(), tabs->barHeight);
    for (QWidget* page : pages_) page->setGeometry(0, 0, tabs_->width(), tabs_->height());
}

void Tambview::setZoom(int percent) {
    zoom_ = std::clamp(percent, kMinZoom, kMaxZoom);
    zoomWidgets(*this, zoom_);
    placePages();
    tabs_->update();
    if (deviceDialog_) zoomWidgets(*deviceDialog_, zoom_);
    if (valueDialog_) zoomWidgets(*valueDialog_, zoom_);
}

void Tambview::nameControls() {
    const char* const gridNames[3] = {"Notes map", "Program changes map", "Controllers map"};
    for (std::size_t i = 0; i < views_.size(); ++i) {
        views_[i]->setAccessibleName(latin(gridNames[i]));
        views_[i]->setAccessibleDescription(QStringLiteral(
            "Arrow keys, Home, End, Page Up and Page Down move the cell; Space or Enter sends "
            "its message"));
    }
    txtMIDI_->setAccessibleName(QStringLiteral("MIDI message log"));
    txtMidiIn_->setAccessibleName(QStringLiteral("MIDI input device"));
    txtMidiOut_->setAccessibleName(QStringLiteral("MIDI output device"));
    cmdChange_->setAccessibleName(QStringLiteral("Change input device"));
    cmdChangeO_->setAccessibleName(QStringLiteral("Change output device"));
    cmdCDE_->setAccessibleName(QStringLiteral("C D E: note letters over the notes map"));
    cmdClear_->setAccessibleName(QStringLiteral("Clear the maps, counts and log"));
    cmdExit_->setAccessibleName(QStringLiteral("Exit"));
    chkNoreal_->setAccessibleName(chkNoreal_->text());
    chkFirst_->setAccessibleName(chkFirst_->text());
    chkMidiOut_->setAccessibleName(chkMidiOut_->text());
    txtVersion_->setAccessibleName(txtVersion_->text());
    for (std::size_t k = 0; k < lblMsgCounts_.size(); ++k) {
        spokenCounts_[k] = lblMsgCounts_[k]->text().toStdString();
        nameCount(k);
    }
    QAccessible::installActivationObserver(this);
}

void Tambview::buildCountRows(int left, int top, int width) {
    constexpr int kCountWidth = 615, kNameOffset = 840, kRow = 240, kHeight = 255;
    for (int k = 0; k < input::kMessageClasses; ++k) {
        const auto i = static_cast<std::size_t>(k);
        const int rowTop = top + kRow * k;
        lblMsgCounts_[i] =
            placeNamed(topLabel(pages_[3], QString()), QStringLiteral("lblMsgCounts(%1)").arg(k),
                       left, rowTop, kCountWidth, kHeight);
        lblMsgCounts_[i]->setAlignment(Qt::AlignRight | Qt::AlignTop);
        lblMsgs_[i] = placeNamed(topLabel(pages_[3], latin(kClassNames[i])),
                                 QStringLiteral("lblMsgs(%1)").arg(k), left + kNameOffset, rowTop,
                                 width - kNameOffset, kHeight);
    }
}

void Tambview::connectControls() {
    connect(cmdChange_, &QPushButton::clicked, this, &Tambview::cmdChange_Click);
    connect(cmdChangeO_, &QPushButton::clicked, this, &Tambview::cmdChangeO_Click);
    connect(cmdCDE_, &QPushButton::clicked, this, &Tambview::cmdCDE_Click);
    connect(cmdClear_, &QPushButton::clicked, this, &Tambview::cmdClear_Click);
    connect(cmdExit_, &QPushButton::clicked, this, &Tambview::cmdExit_Click);
    // Runs whenever the value changes, whether the user clicked or the program set it.
    connect(chkMidiOut_, &QCheckBox::toggled, this, &Tambview::chkMidiOut_Click);
    connect(chkNoreal_, &QCheckBox::toggled, this, &Tambview::mirrorThruGate);
    connect(chkFirst_, &QCheckBox::toggled, this, [this](bool on) { batch_.setFirstTimeOnly(on); });
    connect(timer_, &QTimer::timeout, this, &Tambview::refreshTick);
}

void Tambview::setTabOrder() {
    const std::array<QWidget*, 15> order{
        tabBar_, views_[0], views_[1], views_[2],  txtMidiIn_,  cmdChange_,  cmdExit_,   cmdClear_,
        cmdCDE_, txtMIDI_,  chkFirst_, chkNoreal_, chkMidiOut_, txtMidiOut_, cmdChangeO_};
    for (std::size_t i = 0; i + 1 < order.size(); ++i) QWidget::setTabOrder(order[i], order[i + 1]);
}

void Tambview::showPage(int page) {
    for (std::size_t i = 0; i < pages_.size(); ++i)
        pages_[i]->setVisible(static_cast<int>(i) == page);
    tabBar_->raise();
    batch_.applyHeld(*this);
}

bool Tambview::miscShown() const {
    return !pages_[3]->isHidden() && !isMinimized();
}

void Tambview::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || isMinimized()) return;
    batch_.applyHeld(*this);
    for (auto* view : views_) view->refresh();
}

void Tambview::load() {
    for (auto& model : models_) model->setUp();
    for (auto* view : views_) view->refresh();
    decoder_.initialise();
    noteNames_ = grids::makeNoteNames();
    kindWords_ = grids::makeKindWords();
    flushToWidgets();
    mirrorThruGate();
    if (startOutput_) {
        openMidiOut(startOutput_);
        // The handle is open, so checking the box opens nothing more.
        if (midiOutHnd_ != 0) chkMidiOut_->setChecked(true);
    }
    openMidiIn(startInput_);
    timer_->setInterval(kRefreshMs);
    timer_->start();
    setWindowTitle(txtVersion_->text());
}

void Tambview::setDrainEarly(bool early) {
    if (drainEarly_ != nullptr) drainEarly_->setEnabled(early);
    if (!early || drainEarly_ != nullptr) return;
    const int wake = ring_.halfFullWake();
    if (wake < 0) return;  // the tick alone drains, as without the option
    drainEarly_ = new QSocketNotifier(static_cast<qintptr>(wake), QSocketNotifier::Read, this);
    connect(drainEarly_, &QSocketNotifier::activated, this, [this] {
        ring_.takeHalfFullWake();
        // Whenever a tick would run: not once the program ends or the ring has overrun.
        if (!ended_ && !overran_) refreshTick();
    });
}

// ---- shut-down -------------------------------------------------------------------------------

void Tambview::cmdExit_Click() {
    shutDown();
    close();
}

void Tambview::closeEvent(QCloseEvent* event) {
    shutDown();
    event->accept();
}

void Tambview::shutDown() {
    if (ended_) return;
    ended_ = true;
    timer_->stop();
    service_.midiInClose(midiInHnd_);
    service_.midiOutClose(midiOutHnd_);
    if (deviceDialog_) deviceDialog_->hide();
    if (valueDialog_) valueDialog_->hide();
    endProgram_();
}

// ---- decoding and the batch handed to the widgets ---------------------------------------------

void Tambview::displayMessage(std::uint32_t message, std::int32_t time) {
    decoder_.displayMessage(message, time);
    lastShown_ = time;
    if (!batched_) flushToWidgets();
}

void Tambview::flushToWidgets() {
    batch_.applyTo(*this);
}

void Tambview::clearLog() {
    txtMIDI_->clear();
}

void Tambview::appendLog(std::string_view lines) {
    const QString text = QString::fromUtf8(lines.data(), static_cast<qsizetype>(lines.size()));
    // The box repaints all it shows once the lines are in, whatever it scrolled by: with updates
    // off it moves its top line to the end at once instead of laying out every line it would
    // scroll past to work out the distance. Turned on again, it repaints as it would have.
    QWidget& view = *txtMIDI_->viewport();
    const bool updating = view.updatesEnabled();
    view.setUpdatesEnabled(false);
    // The box lays out the lines that end the log as soon as they are in, to size its scroll
    // bar, and shapes them again to paint them unless their layouts keep their glyphs. So the
    // layout's news wait until the last lines that can be seen keep theirs; the box then hears
    // them as one change.
    QTextDocument& document = *txtMIDI_->document();
    QAbstractTextDocumentLayout& layout = *document.documentLayout();
    // Always at the end of the log, whatever the user typed or selected there.
    QTextCursor caret = txtMIDI_->textCursor();
    const bool caretAtEnd = caret.atEnd() && !caret.hasSelection();
    {
        const QSignalBlocker held(&layout);
        // In the usual case a cursor of the document inserts there and carries the caret along,
        // without the box laying out the lines above the caret to keep it in view: the scroll
        // to the end below shows the same lines.
        QTextCursor end(&document);
        QTextCursor& inserting = caretAtEnd ? end : caret;
        inserting.movePosition(QTextCursor::End);
        inserting.insertText(text);
        keepGlyphsOfLastLines();
    }
    emit layout.documentSizeChanged(layout.documentSize());
    if (!caretAtEnd) txtMIDI_->setTextCursor(caret);
    txtMIDI_->verticalScrollBar()->setValue(txtMIDI_->verticalScrollBar()->maximum());
    view.setUpdatesEnabled(updating);
}

void Tambview::keepGlyphsOfLastLines() {
    // As many lines as fit in the box, and one cut at its top; a wrapped line only needs fewer.
    const int lineSpacing = std::max(1, txtMIDI_->fontMetrics().lineSpacing());
    const int rows = txtMIDI_->viewport()->height() / lineSpacing + 2;
    QTextBlock block = txtMIDI_->document()->lastBlock();
    for (int i = 0; i < rows && block.isValid(); ++i, block = block.previous()) {
        QTextLayout& lines = *block.layout();
        if (lines.cacheEnabled()) break;  // kept since an earlier batch, and those above too
        lines.setCacheEnabled(true);
    }
}

void Tambview::copyLog(std::string_view lines) {
    logCopy_(lines);
}

void Tambview::setCountText(int messageClass, std::string_view text) {
    const auto k = static_cast<std::size_t>(messageClass);
    const QString count = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
    lblMsgCounts_[k]->setText(count);
}

void Tambview::countChanged(int messageClass, std::string_view text) {
    const auto k = static_cast<std::size_t>(messageClass);
    spokenCounts_[k].assign(text);
    // A listener hears the count with its class, "Note On Messages: 3", whatever page is shown.
    // With accessibility off nobody can, yet each name given still costs Qt a look-up of the
    // label's accessible interface and an event: the names wait for accessibility to come on.
    if (QAccessible::isActive()) nameCount(k);
}

void Tambview::nameCount(std::size_t k) {
    const std::string& text = spokenCounts_[k];
    lblMsgCounts_[k]->setAccessibleName(
        latin(kClassNames[k]) + QStringLiteral(": ") +
        QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())).trimmed());
}

void Tambview::accessibilityActiveChanged(bool active) {
    if (!active) return;
    for (std::size_t k = 0; k < lblMsgCounts_.size(); ++k) nameCount(k);
}

void Tambview::refreshGrid(int grid) {
    views_[static_cast<std::size_t>(grid)]->refresh();
}

// ---- the refresh pump's host ------------------------------------------------------------------

bool Tambview::realTimeFiltered() const {
    return chkNoreal_->checkState() != Qt::Unchecked;
}

bool Tambview::outputAllowed() const {
    return chkMidiOut_->checkState() != Qt::Unchecked;
}

void Tambview::forward(std::uint32_t message) {
    service_.midiOutShortMsg(midiOutHnd_, message);
}

void Tambview::displaySysEx(const input::SysExRing::Entry& sysex) {
    decoder_.displaySysEx(sysex.bytes, sysex.size, sysex.time);
    lastShown_ = sysex.time;
    if (!batched_) flushToWidgets();
}

void Tambview::reportSysExDropped(const input::SysExRing::Entry& sysex) {
    decoder_.displaySysExDropped(sysex.droppedCount, sysex.droppedBytes, sysex.time);
}

ports::Result Tambview::forwardLong(const std::uint8_t* bytes, std::size_t size) {
    return service_.midiOutLongMsg(midiOutHnd_, bytes, size);
}

void Tambview::reportTooLarge(const input::SysExRing::Entry& sysex) {
    decoder_.displayNotForwarded(sysex.size, sysex.time);
}

void Tambview::suspendPainting() {
    shownBeforeDrain_ = lastShown_;
    views_[grids::kNotesGrid]->setPainting(false);
    views_[grids::kControllersGrid]->setPainting(false);
}

void Tambview::resumePainting() {
    flushToWidgets();
    views_[grids::kNotesGrid]->setPainting(true);
    views_[grids::kControllersGrid]->setPainting(true);
}

void Tambview::reportOverrun() {
    overran_ = true;
    // Nothing carries on as if all were well while the box waits for the user: the display and
    // both kinds of thru stop here, and whoever watches the program from outside learns of it.
    timer_->stop();
    mirrorThruGate();
    if (overrunReport_) overrunReport_(kOverrunText);
    if (logCopy_) {
        const std::string since =
            shownBeforeDrain_
                ? " after " + input::Decoder::timeText(*shownBeforeDrain_,
                                                       QLocale().decimalPoint().toStdString())
                : std::string();
        logCopy_("Messages" + since + " were lost: the MIDI input buffer was overrun.\n");
    }
    windows::showMessage(latin(kOverrunText));
    cmdExit_Click();
}

// ---- grids ------------------------------------------------------------------------------------

void Tambview::cmdClear_Click() {
    for (std::size_t i = 0; i < views_.size(); ++i) {
        views_[i]->setPainting(false);
        models_[i]->clear();
        views_[i]->setPainting(true);
    }
    decoder_.reset();
    flushToWidgets();
}

void Tambview::cmdCDE_Click() {
    models_[grids::kNotesGrid]->noteLetters();
    views_[grids::kNotesGrid]->refresh();
}

void Tambview::grid_MouseMove(int index) {
    const grids::GridView* view = views_[static_cast<std::size_t>(index)];
    if (auto text =
            grids::tooltipText(index, view->mouseRow(), view->mouseCol(), noteNames_, kindWords_))
        views_[static_cast<std::size_t>(index)]->setToolTipText(QString::fromStdString(*text));
}

std::int32_t Tambview::echoTime() const {
    // A sent message has no arrival time; the input port's clock at the moment of the click
    // sorts it among the received lines. Without a started input port, the time slot at the
    // ring's read position stands in.
    if (auto now = service_.midiInClock(midiInHnd_)) return *now;
    return ring_.timeAtReadPos();
}

void Tambview::grid_Click(int index, int row, int col) {
    if (chkMidiOut_->checkState() == Qt::Unchecked) return;
    const auto cell = grids::GridModel::channelNumberAt(row, col);
    if (!cell) return;
    std::uint32_t message = 0;
    switch (index) {
        case grids::kNotesGrid:
            message = grids::noteClickMessage(cell->channel, cell->number,
                                              decoder_.noteState(cell->channel, cell->number));
            break;
        case grids::kProgramsGrid:
            message = grids::programClickMessage(cell->channel, cell->number);
            break;
        default:
            message = grids::controllerClickMessage(cell->channel, cell->number,
                                                    valueDialog().get_cval());
            break;
    }
    if (ended_) return;
    displayMessage(message, echoTime());
    flushToWidgets();
    service_.midiOutShortMsg(midiOutHnd_, message);
}

}  // namespace tamblin::windows
