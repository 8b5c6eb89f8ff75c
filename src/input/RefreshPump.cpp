#include "input/RefreshPump.h"

#include "ports/ShortMessage.h"

namespace tamblin::input {

void RefreshPump::tick() {
    host_.suspendPainting();
    // The write index is read afresh on every pass, so messages arriving during the drain are
    // drained in this tick too.
    while (!ring_.empty()) {
        const InputRing::Entry entry = ring_.at(ring_.readPos());
        if (const ports::MessageBytes bytes = ports::unpackShortMessage(entry.message);
            capture_ != nullptr && !bytes.empty())
            capture_->message({bytes.data(), bytes.size},
                              std::int64_t{entry.time} * 1000 + entry.micros);
        const bool filtered = host_.realTimeFiltered();
        if (ports::isShown(entry.message, filtered)) {
            host_.displayMessage(entry.message, entry.time);
            // "Allow MIDI output" is read once the message has been decoded. A message whose thru
            // the port service decided on when it arrived (direct thru) is never forwarded here:
            // it went out, or is going out, in its place among the others, or was kept back.
            const ports::ThruGate gate{host_.outputAllowed(), filtered};
            if (ports::goesOut(entry.message, gate) && !entry.decided) host_.forward(entry.message);
        }
        ring_.advanceRead();
    }
    host_.resumePainting();
    if (capture_ != nullptr) capture_->drained();

    if (ring_.overrun() && !overrunReported_) {
        overrunReported_ = true;
        host_.reportOverrun();
    }
}

}  // namespace tamblin::input
