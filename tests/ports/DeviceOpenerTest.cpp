#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "doubles/InProcessPortService.h"
#include "ports/DeviceOpener.h"

namespace tamblin::ports {
namespace {

using Strings = std::vector<std::string>;

// One journal of what the user sees and what the service is asked, in order: the service's
// own call record is merged in before each user-interface event.
class Journal {
public:
    explicit Journal(const InProcessPortService& service) : service_(service) {}
    void add(std::string line) {
        catchUp();
        lines_.push_back(std::move(line));
    }
    const Strings& lines() {
        catchUp();
        return lines_;
    }

private:
    void catchUp() {
        const Strings calls = service_.calls();
        for (; seen_ < calls.size(); ++seen_) lines_.push_back(calls[seen_]);
    }
    const InProcessPortService& service_;
    Strings lines_;
    std::size_t seen_ = 0;
};

// Plays the user: the dialog answers with a scripted row (the preselected one unless told).
class ScriptedUi final : public OpenerUi {
public:
    explicit ScriptedUi(Journal& journal) : journal_(journal) {}

    std::optional<int> pick;  // the row the user selects before OK; -1 is the close box
    Strings messages;
    std::vector<Strings> dialogRows;
    Strings inputNames;
    Strings outputNames;

    int chooseDevice(const Strings& names, const std::string& prompt) override {
        dialogRows.push_back(names);
        std::string rows;
        for (const auto& name : names) rows += (rows.empty() ? "" : " | ") + name;
        journal_.add("dialog \"" + prompt + "\": " + rows);
        return pick.value_or(0);  // the caller preselects row 0
    }
    void showMessage(const std::string& text) override {
        messages.push_back(text);
        journal_.add("message \"" + text + "\"");
    }
    void showDeviceName(bool input, const std::string& name) override {
        (input ? inputNames : outputNames).push_back(name);
        journal_.add(std::string(input ? "txtMidiIn" : "txtMidiOut") + " \"" + name + "\"");
    }

private:
    Journal& journal_;
};

std::atomic<int> callbackMessages{0};

void countingCallback(std::uint32_t, std::uint32_t notification, ports::Instance, std::uint32_t,
                      std::uint32_t) {
    if (notification == kMimData) ++callbackMessages;
}

class DeviceOpenerTest : public ::testing::Test {
protected:
    void openIn() { opener.openMidiIn(midiInDev, midiInHnd, &countingCallback, 0); }
    void openOut() { opener.openMidiOut(midiOutDev, midiOutHnd); }
    std::string startOf(Handle handle) { return "midiInStart(" + std::to_string(handle) + ") = 0"; }

    InProcessPortService service;
    Journal journal{service};
    ScriptedUi ui{journal};
    DeviceOpener opener{service, ui};
    DeviceId midiInDev = 0;
    Handle midiInHnd = 0;
    DeviceId midiOutDev = 0;
    Handle midiOutHnd = 0;
};

TEST_F(DeviceOpenerTest, NoInputDeviceShowsTheMessageAndOpensNothing) {
    openIn();
    EXPECT_EQ(journal.lines(), (Strings{"midiInGetNumDevs()",
                                        "message \"No MIDI input devices found.  Do you need to "
                                        "install a device driver for your sound card?\""}));
    EXPECT_EQ(midiInHnd, 0u);
}

TEST_F(DeviceOpenerTest, NoOutputDeviceShowsTheOutputMessage) {
    service.setInputDevices({"Keys"});
    openOut();
    EXPECT_EQ(ui.messages, (Strings{"No MIDI output devices found.  Do you need to install a "
                                    "device driver for your sound card?"}));
    EXPECT_TRUE(ui.outputNames.empty());
    EXPECT_EQ(midiOutHnd, 0u);
}

TEST_F(DeviceOpenerTest, SingleInputDeviceIsOpenedAndStartedWithoutDialog) {
    service.setInputDevices({"USB Keys"});
    midiInDev = 5;  // whatever an earlier run left
    openIn();
    EXPECT_EQ(journal.lines(), (Strings{"midiInGetNumDevs()", "txtMidiIn \"USB Keys\"",
                                        "midiInOpen(0) = 0", startOf(midiInHnd)}));
    EXPECT_EQ(midiInDev, 0);
    EXPECT_TRUE(ui.messages.empty());

    callbackMessages = 0;
    EXPECT_EQ(service.play(0, {{0x403C90, 12345}}), 1u);  // ch1 note 60 vel 64
    EXPECT_EQ(callbackMessages, 1);
}

TEST_F(DeviceOpenerTest, SingleOutputDeviceIsOpenedWithoutStart) {
    service.setOutputDevices({"Synth"});
    openOut();
    EXPECT_EQ(journal.lines(),
              (Strings{"midiOutGetNumDevs()", "txtMidiOut \"Synth\"", "midiOutOpen(0) = 0"}));
    EXPECT_EQ(midiOutDev, 0);
    EXPECT_EQ(service.midiOutShortMsg(midiOutHnd, 0x00007FC0), kOk);  // ch1 program 127
    EXPECT_EQ(service.sentToDevice(0), (std::vector<std::uint32_t>{0x00007FC0}));
}

TEST_F(DeviceOpenerTest, SeveralDevicesAreListedInIdOrderAndOkAtOnceTakesTheFirst) {
    service.setInputDevices({"Port A", "Port B", "Port C"});
    openIn();
    EXPECT_EQ(journal.lines(),
              (Strings{"midiInGetNumDevs()",
                       "dialog \"Select MIDI Input Device\": Port A | Port B | Port C",
                       "txtMidiIn \"Port A\"", "midiInOpen(0) = 0", startOf(midiInHnd)}));
    EXPECT_EQ(midiInDev, 0);
}

TEST_F(DeviceOpenerTest, TheChosenRowIsTheDeviceOpened) {
    service.setInputDevices({"Port A", "Port B", "Port C"});
    service.setOutputDevices({"Out A", "Out B"});
    ui.pick = 2;
    openIn();
    ui.pick = 1;
    openOut();
    EXPECT_EQ(midiInDev, 2);
    EXPECT_EQ(midiOutDev, 1);
    EXPECT_EQ(ui.inputNames, Strings{"Port C"});
    EXPECT_EQ(ui.outputNames, Strings{"Out B"});
    EXPECT_EQ(ui.dialogRows,
              (std::vector<Strings>{{"Port A", "Port B", "Port C"}, {"Out A", "Out B"}}));
    EXPECT_NE(std::find(journal.lines().begin(), journal.lines().end(),
                        "dialog \"Select MIDI Output Device\": Out A | Out B"),
              journal.lines().end());
    EXPECT_TRUE(service.inputOpen(2));
    EXPECT_TRUE(service.outputOpen(1));
    EXPECT_FALSE(service.inputOpen(0));
}

TEST_F(DeviceOpenerTest, ADeviceChosenBeforehandIsOpenedWithoutCountingOrAsking) {
    service.setInputDevices({"Port A", "Port B"});
    service.setOutputDevices({"Out A", "Out B"});
    service.setOutputBusy(0, true);
    ASSERT_EQ(service.midiInGetNumDevs(), 2u);
    ASSERT_EQ(service.midiOutGetNumDevs(), 2u);
    const std::size_t counted = journal.lines().size();
    opener.openMidiIn(midiInDev, midiInHnd, &countingCallback, 0, 1);
    opener.openMidiOut(midiOutDev, midiOutHnd, 0);
    EXPECT_EQ(Strings(journal.lines().begin() + static_cast<std::ptrdiff_t>(counted),
                      journal.lines().end()),
              (Strings{"txtMidiIn \"Port B\"", "midiInOpen(1) = 0", startOf(midiInHnd),
                       "txtMidiOut \"Out A\"", "midiOutOpen(0) = 4",
                       "message \"Oops, the MIDI output device is already open\""}));
    EXPECT_EQ(midiInDev, 1);
    EXPECT_TRUE(ui.dialogRows.empty());
}

TEST_F(DeviceOpenerTest, DeviceInUseShowsTheMessageButKeepsTheName) {
    service.setInputDevices({"Busy In"});
    service.setOutputDevices({"Busy Out"});
    service.setInputBusy(0, true);
    service.setOutputBusy(0, true);
    openIn();
    openOut();
    EXPECT_EQ(journal.lines(),
              (Strings{"midiInGetNumDevs()", "txtMidiIn \"Busy In\"", "midiInOpen(0) = 4",
                       "message \"Oops, the MIDI device is already open\"", "midiOutGetNumDevs()",
                       "txtMidiOut \"Busy Out\"", "midiOutOpen(0) = 4",
                       "message \"Oops, the MIDI output device is already open\""}));
    EXPECT_EQ(midiInHnd, 0u);
    EXPECT_EQ(midiOutHnd, 0u);
}

TEST_F(DeviceOpenerTest, OtherOpenFailuresAreSilentAndTheNameStays) {
    service.setInputDevices({"Broken In"});
    service.setOutputDevices({"Broken Out"});
    service.setInputFailing(0, true);
    service.setOutputFailing(0, true);
    openIn();
    openOut();
    EXPECT_EQ(journal.lines(),
              (Strings{"midiInGetNumDevs()", "txtMidiIn \"Broken In\"", "midiInOpen(0) = 1",
                       "midiOutGetNumDevs()", "txtMidiOut \"Broken Out\"", "midiOutOpen(0) = 1"}));
}

TEST_F(DeviceOpenerTest, ClosingTheDialogByItsCloseBoxOpensNothingAndBlanksTheName) {
    service.setInputDevices({"Port A", "Port B"});
    service.setOutputDevices({"Out A", "Out B"});
    openIn();  // a first, successful choice leaves a name that must not linger
    service.midiInClose(midiInHnd);
    const Handle closedHandle = midiInHnd;

    ui.pick = -1;
    openIn();
    openOut();
    EXPECT_EQ(midiInDev, -1);
    EXPECT_EQ(midiOutDev, -1);
    EXPECT_EQ(ui.inputNames, (Strings{"Port A", ""}));
    EXPECT_EQ(ui.outputNames, Strings{""});
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_EQ(midiInHnd, closedHandle);
    EXPECT_EQ(midiOutHnd, 0u);
    EXPECT_EQ(service.inputOpens(), 1);
    EXPECT_EQ(journal.lines().back(), "midiOutOpen(-1) = 2");
}

TEST_F(DeviceOpenerTest, ChangeClosesAndReopensTheSameDevice) {
    service.setInputDevices({"Only In"});
    service.setOutputDevices({"Only Out"});
    openIn();
    openOut();
    const Handle firstIn = midiInHnd;
    const Handle firstOut = midiOutHnd;

    service.midiInClose(midiInHnd);
    openIn();
    service.midiOutClose(midiOutHnd);
    openOut();

    EXPECT_TRUE(ui.messages.empty());
    EXPECT_EQ(service.inputOpens(), 2);
    EXPECT_EQ(service.outputOpens(), 2);
    EXPECT_NE(midiInHnd, firstIn);
    EXPECT_NE(midiOutHnd, firstOut);
    EXPECT_EQ(ui.inputNames, (Strings{"Only In", "Only In"}));

    callbackMessages = 0;
    service.play(0, {{0x7FB0, 5}});  // ch1 controller 127 value 0
    EXPECT_EQ(callbackMessages, 1);  // the new port delivers, the closed one does not
}

TEST_F(DeviceOpenerTest, OutputChangeBeforeAnyOpenIgnoresTheRefusedClose) {
    service.setOutputDevices({"Out A", "Out B"});
    ui.pick = 1;
    EXPECT_NE(service.midiOutClose(midiOutHnd), kOk);  // handle 0: refused
    openOut();
    EXPECT_TRUE(service.outputOpen(1));
    EXPECT_TRUE(ui.messages.empty());
}

TEST_F(DeviceOpenerTest, NamesOfOneRunDoNotBleedIntoEachOther) {
    // One capabilities structure serves the whole run; shorter names must come out clean.
    service.setInputDevices({"A rather long MIDI device name", "Short", "Mid length"});
    ui.pick = 1;
    openIn();
    EXPECT_EQ(ui.dialogRows,
              (std::vector<Strings>{{"A rather long MIDI device name", "Short", "Mid length"}}));
    EXPECT_EQ(ui.inputNames, Strings{"Short"});

    const std::string longest(31, 'N');  // the service keeps at most 31 characters
    service.setInputDevices({longest + "truncated"});
    openIn();
    EXPECT_EQ(ui.inputNames.back(), longest);
}

TEST_F(DeviceOpenerTest, OnlyTheLowSixteenBitsOfTheCountCountAsASignedNumber) {
    struct Case {
        std::size_t devices;
        bool dialog;
        bool noDeviceMessage;
    };
    const Case cases[] = {
        {0x10001, false, false},  // reads as 1: device 0 without asking
        {0x10000, false, true},   // reads as 0
        {0x0FFFF, false, true},   // reads as -1: no device can be named
        {0x10002, true, false},   // reads as 2
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.devices);
        ui.messages.clear();
        ui.dialogRows.clear();
        service.setInputDevices(Strings(c.devices, "Port"));
        openIn();
        service.midiInClose(midiInHnd);
        EXPECT_EQ(ui.dialogRows.size(), c.dialog ? 1u : 0u);
        EXPECT_EQ(ui.messages, c.noDeviceMessage ? Strings{kNoInputDevices} : Strings{});
    }
}

TEST(Cstr2str, StopsAtTheFirstZeroWithinThirtyThreeBytes) {
    struct Case {
        std::string bytes;  // exactly 33 bytes are handed over
        std::string text;
    };
    const Case cases[] = {
        {std::string(33, 'x'), std::string(33, 'x')},
        {std::string(33, '\0'), ""},
        {std::string("\0Hidden", 7) + std::string(26, 'y'), ""},
        {std::string("Keys\0Stale tail", 15) + std::string(18, '\0'), "Keys"},
        {std::string(32, 'z') + std::string(1, '\0'), std::string(32, 'z')},
        {"Caf\xE9" + std::string(29, '\0'), "Caf\xE9"},  // bytes above 127 pass unchanged
    };
    for (const Case& c : cases) {
        ASSERT_EQ(c.bytes.size(), 33u);
        std::vector<std::uint8_t> bytes(c.bytes.begin(), c.bytes.end());
        EXPECT_EQ(cstr2str(bytes.data()), c.text);
    }
}

}  // namespace
}  // namespace tamblin::ports
