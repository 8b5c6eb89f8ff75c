#include "input/RefreshPump.h"

namespace tamblin::input {

void RefreshPump::tick() {
    host_.suspendPainting();
    // The write index is read afresh on every pass, so messages arriving during the drain are
    // drained in this tick too.
    while (!ring_.empty()) {
        const InputRing::Entry entry = ring_.at(ring_.readPos());
        if (!(isRealTime(entry.message) && host_.realTimeFiltered())) {
            host_.displayMessage(entry.message, entry.time);
            // A message the port service forwarded itself (direct thru) went out once already.
            if (host_.outputAllowed() && !entry.forwarded) host_.forward(entry.message);
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
