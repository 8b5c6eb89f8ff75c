#include "input/RefreshPump.h"

#include "ports/ShortMessage.h"

namespace tamblin::input {

void RefreshPump::tick() {
    host_.suspendPainting();
    // The write index is read afresh on every pass, so messages arriving during the drain are
    // drained in this tick too.
    SysExRing* sysex = ring_.sysex();
    for (;;) {
        const bool shortWaiting = !ring_.empty();
        SysExRing::Entry waiting;
        if (sysex != nullptr && sysex->front(waiting)) {
            // A SysEx goes once the short messages that arrived before it have gone.
            if (waiting.shortPos == ring_.readPos()) {
                handleSysEx(waiting);
                sysex->pop(waiting);
                continue;
            }
            // Those were stored before the SysEx, which is seen now: the write index read before
            // it may not have shown them yet, a second look will (unless the ring overran).
            if (!shortWaiting) {
                if (ring_.overrun()) break;
                continue;
            }
        }
        if (!shortWaiting) break;
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

void RefreshPump::handleSysEx(const SysExRing::Entry& sysex) {
    // The capture holds each long message as it came, in its place, whatever it is.
    if (capture_ != nullptr && sysex.droppedCount == 0)
        capture_->message({sysex.bytes, sysex.size}, static_cast<std::int64_t>(sysex.micros));
    if (sysex.droppedCount != 0) {
        host_.reportSysExDropped(sysex);
        return;
    }
    host_.displaySysEx(sysex);
    // Only whole SysEx go out: F0 to F7, nothing of another message inside.
    if (sysex.decided || !host_.outputAllowed() || !ports::isWholeSysEx(sysex.bytes, sysex.size)) {
        if (sysex.notSent) host_.reportTooLarge(sysex);
        return;
    }
    if (host_.forwardLong(sysex.bytes, sysex.size) == ports::kTooLarge) host_.reportTooLarge(sysex);
}

}  // namespace tamblin::input
