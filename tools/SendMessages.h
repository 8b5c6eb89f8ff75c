// What tamblin-send plays: the demo phrase, and the SysEx of --sysex.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/JackEndpoints.h"

namespace tamblin::tools {

// A message and when it plays, in milliseconds from the start of the phrase.
struct Timed {
    int ms;
    Bytes bytes;
};

// Two bars at 120 beats per minute: notes with their releases on four channels, program
// changes, controller sweeps, a pitch bend, key and channel pressure, timing clock and active
// sensing; in the order they play.
std::vector<Timed> demoPhrase();

// The messages of --sysex: the bytes of a .syx file or hex digits (spaces between bytes
// allowed), cut after each F7. Nothing when the hex or the file cannot be read.
std::optional<std::vector<Bytes>> sysExMessages(const std::string& source);

}  // namespace tamblin::tools
