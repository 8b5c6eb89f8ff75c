#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <chrono>
#include <functional>
#include <string>

#include "doubles/InProcessPortService.h"
#include "ports/DeviceOpener.h"
#include "support/ModalDriver.h"
#include "support/WindowProbe.h"
#include "windows/DeviceDialog.h"
#include "windows/DialogOpenerUi.h"
#include "windows/MessageBox.h"
#include "windows/Twips.h"
#include "windows/ValueDialog.h"

namespace tamblin::windows {
namespace {

using testing::answerNextMessageBox;
using testing::clickInNextModal;
using testing::MessageBoxFacts;
using testing::onNextModal;
using windows::twipsToPixels;

const QString kRefusal = QStringLiteral("Please enter a number between 0 and 127");

class DialogsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { testing::ensureApplication(); }

    void TearDown() override {
        EXPECT_TRUE(guard_.closed().isEmpty())
            << "modal windows left open: " << guard_.closed().join(" | ").toStdString();
    }

    static void press(QWidget* widget, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QKeyEvent down(QEvent::KeyPress, key, modifiers);
        QApplication::sendEvent(widget, &down);
        QKeyEvent up(QEvent::KeyRelease, key, modifiers);
        QApplication::sendEvent(widget, &up);
    }

    template <typename T>
    static T* child(QWidget* parent, const char* name) {
        T* found = parent->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    // The control Tab moves to from `widget`.
    static QWidget* nextTabStop(QWidget* widget) {
        QWidget* next = widget->nextInFocusChain();
        while (next != widget && !(next->focusPolicy() & Qt::TabFocus))
            next = next->nextInFocusChain();
        return next;
    }

    // The control focused when a dialog shows, and the one Tab moves to from `from` then.
    struct FocusOrder {
        QWidget* first = nullptr;
        QWidget* afterFrom = nullptr;
    };
    static FocusOrder focusWhenShown(QWidget* from, const std::function<void()>& showModal) {
        FocusOrder focus;
        onNextModal([&](QWidget* modal) {
            focus.first = modal->focusWidget();
            focus.afterFrom = nextTabStop(from);
            modal->hide();
        });
        showModal();
        return focus;
    }

    static int px(const QWidget& widget, int twips) {
        return twipsToPixels(twips, widget.logicalDpiX());
    }

private:
    // A modal call that nothing dismisses would block the test for good.
    testing::ModalGuard guard_{std::chrono::seconds(10)};
};

// ---- value dialog ----

// Types `text` into the shown value dialog and clicks OK. Give `refusal` for an entry that is
// to be refused: the message box is then dismissed and recorded there.
void enterValue(QWidget* modal, const QString& text, MessageBoxFacts* refusal = nullptr) {
    auto* txtValue = modal->findChild<QLineEdit*>(QStringLiteral("txtValue"));
    auto* command1 = modal->findChild<QPushButton*>(QStringLiteral("Command1"));
    ASSERT_TRUE(txtValue && command1);
    txtValue->setText(text);
    if (refusal) answerNextMessageBox(refusal);
    command1->click();
}

TEST_F(DialogsTest, ValueDialogControlsAndFrame) {
    ValueDialog dialog;
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Form1"));
    EXPECT_EQ(dialog.windowType(), Qt::Window);  // a window of its own, in the taskbar
    EXPECT_TRUE(dialog.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_TRUE(dialog.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(dialog.windowFlags().testFlag(Qt::WindowCloseButtonHint));
    EXPECT_NE(dialog.minimumSize(), dialog.maximumSize());  // sizable
    EXPECT_EQ(dialog.size(), QSize(px(dialog, 4680), px(dialog, 1755)));

    auto* label1 = child<QLabel>(&dialog, "Label1");
    auto* txtValue = child<QLineEdit>(&dialog, "txtValue");
    auto* command1 = child<QPushButton>(&dialog, "Command1");
    ASSERT_TRUE(label1 && txtValue && command1);
    EXPECT_EQ(label1->text(), QStringLiteral("Enter desired controller value"));
    EXPECT_TRUE(label1->alignment().testFlag(Qt::AlignHCenter));
    EXPECT_EQ(txtValue->text(), QStringLiteral("0"));
    EXPECT_EQ(command1->text(), QStringLiteral("OK"));
    EXPECT_FALSE(command1->isDefault());
    EXPECT_FALSE(command1->autoDefault());
    EXPECT_EQ(txtValue->geometry().topLeft(), QPoint(px(dialog, 1080), px(dialog, 600)));
    EXPECT_EQ(command1->geometry().topLeft(), QPoint(px(dialog, 1560), px(dialog, 1080)));
    EXPECT_DOUBLE_EQ(txtValue->font().pointSizeF(), 8.25);

    const FocusOrder focus = focusWhenShown(txtValue, [&] { dialog.get_cval(); });
    EXPECT_EQ(focus.first, txtValue);
    EXPECT_EQ(focus.afterFrom, command1);
}

TEST_F(DialogsTest, FirstUseClosedByTheCloseBoxGivesZero) {
    ValueDialog dialog;
    onNextModal([](QWidget* modal) { modal->close(); });
    EXPECT_EQ(dialog.get_cval(), 0);
    EXPECT_EQ(dialog.acceptedValue(), 0);
}

TEST_F(DialogsTest, AcceptedEntriesHideTheDialog) {
    struct Case {
        QString typed;
        int value;
    };
    const Case cases[] = {{"64", 64}, {"2.5", 2}, {"&H40", 64}, {"", 0}};
    ValueDialog dialog;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed.toStdString());
        bool hidden = false;
        onNextModal([&](QWidget* modal) {
            enterValue(modal, c.typed);
            hidden = !modal->isVisible();
            if (!hidden) modal->close();
        });
        EXPECT_EQ(dialog.get_cval(), c.value);
        EXPECT_TRUE(hidden);
    }
}

TEST_F(DialogsTest, TheAcceptedTextIsShownAgainButACloseStartsAfresh) {
    ValueDialog dialog;
    onNextModal([](QWidget* modal) { enterValue(modal, QStringLiteral("64")); });
    ASSERT_EQ(dialog.get_cval(), 64);

    QString shown;
    onNextModal([&](QWidget* modal) {
        shown = modal->findChild<QLineEdit*>(QStringLiteral("txtValue"))->text();
        modal->close();
    });
    EXPECT_EQ(dialog.get_cval(), 64);  // closing keeps the value accepted before
    EXPECT_EQ(shown, QStringLiteral("64"));

    onNextModal([&](QWidget* modal) {
        shown = modal->findChild<QLineEdit*>(QStringLiteral("txtValue"))->text();
        modal->close();
    });
    EXPECT_EQ(dialog.get_cval(), 64);
    EXPECT_EQ(shown, QStringLiteral("0"));
}

TEST_F(DialogsTest, RefusedEntriesShowTheMessageAndKeepTheDialogOpen) {
    ValueDialog dialog;
    onNextModal([](QWidget* modal) { enterValue(modal, QStringLiteral("5")); });
    ASSERT_EQ(dialog.get_cval(), 5);

    for (const char* typed : {"128", "-1", "127.5", "-0.6", "99999", "1e10"}) {
        SCOPED_TRACE(typed);
        MessageBoxFacts refusal;
        bool stillShown = false;
        QString textAfter;
        onNextModal([&](QWidget* modal) {
            enterValue(modal, QString::fromLatin1(typed), &refusal);
            stillShown = modal->isVisible();
            textAfter = modal->findChild<QLineEdit*>(QStringLiteral("txtValue"))->text();
            modal->close();
        });
        EXPECT_EQ(dialog.get_cval(), 5);
        EXPECT_TRUE(stillShown);
        EXPECT_EQ(textAfter, QString::fromLatin1(typed));
        EXPECT_EQ(refusal.title, QStringLiteral("Tambl"));
        EXPECT_EQ(refusal.text, kRefusal);
        EXPECT_EQ(refusal.buttons, QStringList{QStringLiteral("OK")});
        EXPECT_FALSE(refusal.hasIcon);
    }
}

TEST_F(DialogsTest, AnEntryCanFollowARefusal) {
    ValueDialog dialog;
    onNextModal([](QWidget* modal) {
        MessageBoxFacts refusal;
        enterValue(modal, QStringLiteral("200"), &refusal);
        enterValue(modal, QStringLiteral("100"));
    });
    EXPECT_EQ(dialog.get_cval(), 100);
}

TEST_F(DialogsTest, EnterInTheTextBoxDoesNotConfirm) {
    ValueDialog dialog;
    bool stillShown = false;
    onNextModal([&](QWidget* modal) {
        auto* txtValue = modal->findChild<QLineEdit*>(QStringLiteral("txtValue"));
        txtValue->setText(QStringLiteral("64"));
        press(txtValue, Qt::Key_Return);
        press(txtValue, Qt::Key_Enter);
        stillShown = modal->isVisible();
        modal->close();
    });
    EXPECT_EQ(dialog.get_cval(), 0);
    EXPECT_TRUE(stillShown);
}

TEST_F(DialogsTest, EscapeInTheValueDialogActsAsTheCloseBox) {
    ValueDialog dialog;
    onNextModal([](QWidget* modal) { enterValue(modal, QStringLiteral("64")); });
    ASSERT_EQ(dialog.get_cval(), 64);

    onNextModal([](QWidget* modal) {
        auto* txtValue = modal->findChild<QLineEdit*>(QStringLiteral("txtValue"));
        txtValue->setText(QStringLiteral("100"));
        press(txtValue, Qt::Key_Escape);
    });
    EXPECT_EQ(dialog.get_cval(), 64);
    EXPECT_EQ(dialog.findChild<QLineEdit*>(QStringLiteral("txtValue"))->text(),
              QStringLiteral("0"));
}

// ---- message box ----

TEST_F(DialogsTest, MessageBoxHasTheTitleOneOkButtonAndNoIcon) {
    MessageBoxFacts facts;
    answerNextMessageBox(&facts);
    showMessage(QStringLiteral("Oops, the MIDI device is already open"));
    EXPECT_EQ(facts.title, QStringLiteral("Tambl"));
    EXPECT_EQ(facts.text, QStringLiteral("Oops, the MIDI device is already open"));
    EXPECT_EQ(facts.buttons, QStringList{QStringLiteral("OK")});
    EXPECT_FALSE(facts.hasIcon);
}

// ---- device dialog ----

void fill(DeviceDialog& dialog, const QStringList& names) {
    dialog.clearDevices();
    for (const QString& name : names) dialog.addDevice(name);
    dialog.setTask(QStringLiteral("Select MIDI Input Device"));
    dialog.selectRow(0);
}

QStringList rows(DeviceDialog& dialog) {
    QStringList texts;
    auto* list = dialog.findChild<QListWidget*>(QStringLiteral("lstDevs"));
    for (int row = 0; row < list->count(); ++row) texts << list->item(row)->text();
    return texts;
}

TEST_F(DialogsTest, DeviceDialogControlsAndFrame) {
    DeviceDialog dialog;
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Select MIDI device"));
    EXPECT_EQ(dialog.windowType(), Qt::Dialog);  // kept out of the taskbar
    EXPECT_TRUE(dialog.windowFlags().testFlag(Qt::WindowCloseButtonHint));
    EXPECT_FALSE(dialog.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(dialog.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_FALSE(dialog.windowIcon().isNull());
    EXPECT_EQ(dialog.windowIcon().pixmap(16, 16).size(), QSize(16, 16));
    const QSize client(px(dialog, 6030), px(dialog, 4005));
    EXPECT_EQ(dialog.minimumSize(), client);  // fixed frame
    EXPECT_EQ(dialog.maximumSize(), client);
    EXPECT_EQ(dialog.geometry().topLeft() - dialog.screen()->geometry().topLeft(),
              QPoint(px(dialog, 2760), px(dialog, 3750)));

    auto* lblTask = child<QLabel>(&dialog, "lblTask");
    auto* lstDevs = child<QListWidget>(&dialog, "lstDevs");
    auto* okButton = child<QPushButton>(&dialog, "OKButton");
    ASSERT_TRUE(lblTask && lstDevs && okButton);
    EXPECT_EQ(lblTask->text(), QStringLiteral("Label1"));
    EXPECT_TRUE(lblTask->font().bold());
    EXPECT_DOUBLE_EQ(lblTask->font().pointSizeF(), 9.75);
    EXPECT_TRUE(lblTask->alignment().testFlag(Qt::AlignHCenter));
    EXPECT_EQ(lstDevs->count(), 0);
    EXPECT_EQ(lstDevs->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_EQ(okButton->text(), QStringLiteral("OK"));
    EXPECT_FALSE(okButton->autoDefault());
    EXPECT_EQ(lstDevs->geometry().topLeft(), QPoint(px(dialog, 120), px(dialog, 600)));
    EXPECT_EQ(dialog.selectedRow(), -1);

    fill(dialog, {"Zeta", "Alpha"});
    EXPECT_EQ(rows(dialog), (QStringList{"Zeta", "Alpha"}));  // unsorted

    const FocusOrder focus = focusWhenShown(okButton, [&] { dialog.showModal(); });
    EXPECT_EQ(focus.first, okButton);
    EXPECT_EQ(focus.afterFrom, lstDevs);
}

TEST_F(DialogsTest, OkAtOnceGivesThePreselectedRowAndKeepsTheRows) {
    DeviceDialog dialog;
    fill(dialog, {"Port A", "Port B", "Port C"});
    clickInNextModal(QStringLiteral("OK"));
    dialog.showModal();
    EXPECT_EQ(dialog.selectedRow(), 0);
    EXPECT_EQ(rows(dialog), (QStringList{"Port A", "Port B", "Port C"}));
    EXPECT_EQ(dialog.findChild<QLabel*>(QStringLiteral("lblTask"))->text(),
              QStringLiteral("Select MIDI Input Device"));
}

TEST_F(DialogsTest, CloseBoxOrEscapeEmptiesTheDeviceDialog) {
    for (const bool escape : {false, true}) {
        SCOPED_TRACE(escape ? "Escape" : "close box");
        DeviceDialog dialog;
        fill(dialog, {"Port A", "Port B"});
        onNextModal([escape](QWidget* modal) {
            if (escape)
                press(modal->findChild<QListWidget*>(QStringLiteral("lstDevs")), Qt::Key_Escape);
            else
                modal->close();
        });
        dialog.showModal();
        EXPECT_EQ(dialog.selectedRow(), -1);
        EXPECT_TRUE(rows(dialog).isEmpty());
        EXPECT_EQ(dialog.findChild<QLabel*>(QStringLiteral("lblTask"))->text(),
                  QStringLiteral("Label1"));
    }
}

// ---- keys in both dialogs ----

// Enter (Return, or Enter on the keypad) on the focused button presses it. Neither button is a
// default one: Enter in the list (or in the value box, above) presses nothing.
TEST_F(DialogsTest, EnterOnTheFocusedButtonPressesIt) {
    DeviceDialog devices;
    fill(devices, {"Port A", "Port B"});
    bool openAfterEnterInTheList = false;
    bool hiddenByEnter = false;
    onNextModal([&](QWidget* modal) {
        QWidget* list = child<QListWidget>(modal, "lstDevs");
        list->setFocus();
        press(list, Qt::Key_Return);
        openAfterEnterInTheList = modal->isVisible();
        child<QPushButton>(modal, "OKButton")->setFocus();
        press(modal->focusWidget(), Qt::Key_Return);
        hiddenByEnter = !modal->isVisible();
        modal->hide();
    });
    devices.showModal();
    EXPECT_TRUE(openAfterEnterInTheList);
    EXPECT_TRUE(hiddenByEnter);
    EXPECT_EQ(devices.selectedRow(), 0);
    EXPECT_EQ(rows(devices).size(), 2) << "hidden as by OK, not emptied as by the close box";

    ValueDialog value;
    bool acceptedByEnter = false;
    onNextModal([&](QWidget* modal) {
        child<QLineEdit>(modal, "txtValue")->setText(QStringLiteral("64"));
        child<QPushButton>(modal, "Command1")->setFocus();
        press(modal->focusWidget(), Qt::Key_Enter, Qt::KeypadModifier);
        acceptedByEnter = !modal->isVisible();
        modal->close();
    });
    EXPECT_EQ(value.get_cval(), 64);
    EXPECT_TRUE(acceptedByEnter);
}

// ---- the opener with the real dialogs ----

void ignoreInput(std::uint32_t, std::uint32_t, ports::Instance, std::uint32_t, std::uint32_t) {}

TEST_F(DialogsTest, OpenerAsksThroughTheDeviceDialog) {
    ports::InProcessPortService service;
    service.setInputDevices({"Port A", "Port B"});
    DeviceDialog dialog;
    QString txtMidiIn = QStringLiteral("Text1");
    DialogOpenerUi ui([&]() -> DeviceDialog& { return dialog; },
                      [&](const QString& name) { txtMidiIn = name; }, nullptr);
    ports::DeviceOpener opener(service, ui);
    ports::DeviceId midiInDev = 0;
    ports::Handle midiInHnd = 0;

    QString task;
    QStringList listed;
    int preselected = -2;
    onNextModal([&](QWidget* modal) {
        task = modal->findChild<QLabel*>(QStringLiteral("lblTask"))->text();
        listed = rows(dialog);
        preselected = dialog.selectedRow();
        modal->findChild<QListWidget*>(QStringLiteral("lstDevs"))->setCurrentRow(1);
        modal->findChild<QPushButton*>(QStringLiteral("OKButton"))->click();
    });
    opener.openMidiIn(midiInDev, midiInHnd, &ignoreInput, 0);
    EXPECT_EQ(task, QStringLiteral("Select MIDI Input Device"));
    EXPECT_EQ(listed, (QStringList{"Port A", "Port B"}));
    EXPECT_EQ(preselected, 0);
    EXPECT_EQ(midiInDev, 1);
    EXPECT_EQ(txtMidiIn, QStringLiteral("Port B"));
    EXPECT_TRUE(service.inputOpen(1));

    // Change, then the close box: nothing opens and the name box is emptied.
    service.midiInClose(midiInHnd);
    onNextModal([](QWidget* modal) { modal->close(); });
    opener.openMidiIn(midiInDev, midiInHnd, &ignoreInput, 0);
    EXPECT_EQ(midiInDev, -1);
    EXPECT_EQ(txtMidiIn, QString());
    EXPECT_EQ(service.inputOpens(), 1);
}

TEST_F(DialogsTest, OpenerReportsInAMessageBox) {
    ports::InProcessPortService service;
    service.setOutputDevices({"Synth"});
    service.setOutputBusy(0, true);
    DeviceDialog dialog;
    QString txtMidiOut = QStringLiteral("(none)");
    DialogOpenerUi ui([&]() -> DeviceDialog& { return dialog; }, nullptr,
                      [&](const QString& name) { txtMidiOut = name; });
    ports::DeviceOpener opener(service, ui);
    ports::DeviceId midiOutDev = 0;
    ports::Handle midiOutHnd = 0;

    MessageBoxFacts facts;
    answerNextMessageBox(&facts);
    opener.openMidiOut(midiOutDev, midiOutHnd);
    EXPECT_EQ(facts.title, QStringLiteral("Tambl"));
    EXPECT_EQ(facts.text, QStringLiteral("Oops, the MIDI output device is already open"));
    EXPECT_EQ(facts.buttons, QStringList{QStringLiteral("OK")});
    EXPECT_FALSE(facts.hasIcon);
    EXPECT_EQ(txtMidiOut, QStringLiteral("Synth"));
}

}  // namespace
}  // namespace tamblin::windows
