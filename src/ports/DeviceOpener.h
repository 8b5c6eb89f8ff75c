#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ports/Interface.h"
#include "ports/PortService.h"

namespace tamblin::ports {

// Text of a zero-terminated name of at most 33 bytes (positions 0..32): stops at the first 0
// byte; 33 nonzero bytes give all 33 characters. Reads no byte past position 32.
std::string cstr2str(const std::uint8_t* cs);

// The devices of one direction as the service counts them, in id order: each one's whole name
// and the name its capabilities give, which the device dialog shows (at most 31 bytes).
struct DeviceNames {
    std::string whole;
    std::string shown;
};
std::vector<DeviceNames> readDevices(PortService& service, bool input);

// A whole name as one line of text: a backslash as \\, a line feed as \n, a tab as \t and every
// other control character (0x00-0x1F, 0x7F) as \x and two hexadecimal digits; all other bytes
// as they are. Two different names never give the same text.
std::string escapedName(const std::string& name);

// The device that a name given by the user stands for, from the first of these that finds any:
// a whole name that is `wanted` escaped (as --list prints it), a whole name that is `wanted`, a
// shown name that is `wanted`, otherwise the only one whose name starts with `wanted` (escaped or
// not). A whole name thus wins over the 31-byte shown name of another device.
struct DeviceMatch {
    enum class Outcome { Found, None, SeveralExact, SeveralStartingWith } outcome;
    DeviceId id = -1;  // when found
};
DeviceMatch matchDevice(const std::vector<DeviceNames>& devices, const std::string& wanted);

// What the opener needs from the user interface. All calls come on the user-interface thread.
class OpenerUi : public Interface {
public:
    virtual ~OpenerUi() = default;

    // Shows the device dialog with these rows in order, `prompt` as its task and row 0
    // selected; returns the selected row, or -1 when it was closed by its close box.
    virtual int chooseDevice(const std::vector<std::string>& names, const std::string& prompt) = 0;
    // Modal message box with the application's title.
    virtual void showMessage(const std::string& text) = 0;
    // Puts the chosen device's name into txtMidiIn (input) or txtMidiOut.
    virtual void showDeviceName(bool input, const std::string& name) = 0;
};

inline constexpr const char* kNoInputDevices =
    "No MIDI input devices found.  Do you need to install a device driver for your sound card?";
inline constexpr const char* kInputInUse = "Oops, the MIDI device is already open";
inline constexpr const char* kNoOutputDevices =
    "No MIDI output devices found.  Do you need to install a device driver for your sound card?";
inline constexpr const char* kOutputInUse = "Oops, the MIDI output device is already open";
inline constexpr const char* kSelectInput = "Select MIDI Input Device";
inline constexpr const char* kSelectOutput = "Select MIDI Output Device";

// Chooses, names and opens the input or the output device: count the devices, choose one
// (asking only when there are several), show its name, open it. The ids and handles are the
// main window's variables; the opener writes them as the steps go.
class DeviceOpener {
public:
    DeviceOpener(PortService& service, OpenerUi& ui);

    // On success the input port is also started, with `callback` receiving its messages and
    // `instance` as the open's instance value.
    // A device `chosen` beforehand (by name, from the devices as last counted) is opened without
    // counting and without asking.
    void openMidiIn(DeviceId& midiInDev, Handle& midiInHnd, InputCallback callback,
                    Instance instance, std::optional<DeviceId> chosen = std::nullopt);
    void openMidiOut(DeviceId& midiOutDev, Handle& midiOutHnd,
                     std::optional<DeviceId> chosen = std::nullopt);

private:
    struct Direction;
    void open(const Direction& direction, DeviceId& device, Handle& handle, InputCallback callback,
              Instance instance, std::optional<DeviceId> chosen);

    PortService& service_;
    OpenerUi& ui_;
};

}  // namespace tamblin::ports
