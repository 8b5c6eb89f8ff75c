#include "input/RefreshPump.h"

namespace tamblin::input {

void RefreshPump::tick() {
    host_.suspendPainting();
    // The write index is read afresh on every pass, so messages arriving during the drain are
    // drained in this tick too.
    while (!ring_.empty()) {
        const InputRing::Entry entry = ring_.at(ring_.readPos());
        const bool filtered = host_.realTimeFiltered();
        if (ports::isShown(entry.message, filtered)) {
            host_.displayMessage(entry.message, entry.time);
            // "Allow MIDI output" is read once the message has been decoded. A message the port
            // service forwarded itself (direct thru) went out once already.
            const ports::ThruGate gate{host_.outputAllowed(), filtered};
            if (ports::goesOut(entry.message, gate) && !entry.forwarded)
                host_.forward(entry.message);
        }
        ring_.advanceRead();
    }
    host_.resumePainting();

    if (ring_.overrun() && !overrunReported_) {
        overrunReported_ = true;
        host_.reportOverrun();
    }
}

}  // namespace tamblin::input
