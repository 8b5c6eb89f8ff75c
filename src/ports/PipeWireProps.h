#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tamblin::ports {

// PipeWire's JACK library (pipewire-jack 0.3) rewrites the MIDI a client receives unless the
// client's property jack.fix-midi-events is false: a note on of velocity 0 arrives as a note off
// of velocity 64. A monitor must show and forward exactly what was sent, so every JACK client of
// Tamblin and its tools opens with that property false. PipeWire's libjack reads client
// properties from the environment variable PIPEWIRE_PROPS (an object in PipeWire's relaxed JSON,
// "{ key=value ... }", or its pairs without the braces) when a client opens; jackd's libjack
// ignores the variable.
inline constexpr std::string_view kPipeWirePropsVariable = "PIPEWIRE_PROPS";
inline constexpr std::string_view kExactMidiKey = "jack.fix-midi-events";

struct PipeWireProps {
    std::string value;
    // The old value could not be read (an unterminated string, unbalanced braces, a key without
    // a value): it was replaced as a whole rather than guessed at.
    bool replaced = false;
};

// `current` with jack.fix-midi-events=false merged in; nothing for an unset variable. Every
// other entry stays as the user wrote it; a jack.fix-midi-events of another value is turned to
// false, and a value that already says false comes back unchanged.
PipeWireProps withExactMidiEvents(std::optional<std::string_view> current);

// Merges jack.fix-midi-events=false into this process's PIPEWIRE_PROPS, so that the JACK clients
// it opens from now on, and the programs it starts, receive MIDI unchanged on PipeWire. Call it
// before the first JACK client opens and before other threads may read the environment. Returns
// a warning for the user when the old value had to be replaced, else an empty string.
std::string keepMidiEventsExact();

}  // namespace tamblin::ports
