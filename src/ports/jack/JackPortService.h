#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ports/PortService.h"

namespace tamblin::ports {

struct JackOptions {
    // Direct thru: the JACK cycle decides the thru of each message that arrives at the open input
    // while an output of ours is open (or awaited, between a Change's close and its open), with
    // the gate (see PortService::setThruGate) as it stands when the message arrives. A message
    // the gate lets through goes out in the cycle it arrived in, or, while the output is being
    // connected, once it is, after everything older and before everything newer (held for at most
    // half a second); one the gate keeps back never goes out. Each reaches the input callback as
    // kMimDataDecided, as does every message the gate keeps back while no output of ours is open.
    // Off, received messages are left to the window's thru.
    bool directThru = false;
    // How long an operation waits for an answer from the worker.
    std::chrono::milliseconds answerWait{2000};
};

// The port service over JACK, spoken to directly through libjack: one client, "Tamblin" (JACK
// renames a second one "Tamblin-01"), with one MIDI input port "in" and one MIDI output port
// "out". Devices are the MIDI ports of other clients under their full names "client:port", in the
// order jack_get_ports gives them; the ports of every client named "Tamblin" or "Tamblin-NN" are
// never listed (a thru into a monitor's own input would loop). Opening a device connects our port
// to it and closing disconnects it; with one port per direction, a second open in a direction
// while one is open answers kAllocated.
//
// The open devices are followed by name. When the server goes away, every operation fails
// cleanly and handles stay valid; the worker opens the client again once a server answers under
// the same name, and whenever a port of an open device's name is there and not connected to ours
// (a replugged keyboard, a restarted synth or server) it connects it again, within a second.
// Closing a port ends the following.
//
// Threads. The operations run on the user-interface thread and never wait for a JACK cycle or a
// server reply, except for an answer they need (the device list, whether a device is still
// there): for that they wait at most Options::answerWait, and a server that takes longer counts as
// absent (no devices, opens and sends fail) until it has answered. Every server request runs on
// the service's worker thread. JACK's process thread runs the input callback, once per short
// message, for messages of cycles that began after midiInStart, until midiInClose; once
// midiInClose has returned no callback for that handle runs; with a long callback set
// (setLongCallback), every other event of those cycles goes to it, whole, in its place among the
// short messages. The process thread allocates
// nothing and takes no lock: it meets the other threads through atomics and a lock-free queue.
class JackPortService final : public PortService {
public:
    static constexpr const char* kClientName = "Tamblin";
    static constexpr const char* kInputPortName = "in";
    static constexpr const char* kOutputPortName = "out";

    using Options = JackOptions;

    // Handles come from `handles` when given (shared with other services), else from a source of
    // the service's own. libjack's messages go to standard error from here on.
    explicit JackPortService(Options options = Options{}, HandleSource* handles = nullptr);
    ~JackPortService() override;

    // Closes the client and ends the worker, waiting for it at most `wait`. False when the worker
    // is still held inside libjack by a server that does not answer: nothing can take such a
    // call back, so the process should end without waiting for it. Later operations fail.
    bool finish(std::chrono::milliseconds wait = std::chrono::seconds(2));

    // Whether a client of ours is running on a JACK server.
    bool connected() const;
    // Passes the worker has made through its loop (a request, opening the client again,
    // following the open devices). Once two more have ended, whatever the worker would do on
    // its own about the state before has been done: tests wait for that instead of a time.
    std::uint64_t workerPasses() const;

    std::uint32_t countDevices(bool input) override;
    std::optional<std::string> listedName(bool input, DeviceId id) override;
    Result open(bool input, Handle& handle, DeviceId id, InputCallback callback,
                Instance instance) override;
    Result close(bool input, Handle handle) override;
    Result midiInStart(Handle handle) override;
    Result midiOutShortMsg(Handle handle, std::uint32_t message) override;
    // A SysEx of up to 32,000 bytes goes out in a cycle, whole (see jack::kCycleBudget); a
    // larger one answers kTooLarge.
    Result midiOutLongMsg(Handle handle, const std::uint8_t* bytes, std::size_t size) override;
    std::optional<std::int32_t> midiInClock(Handle handle) override;

    // Also called when an output open or Change has ended: with none of ours open, direct thru
    // stops holding messages for one.
    void setThruGate(bool outputAllowed, bool realTimeFiltered) override;
    // The JACK frame clock times each message to the microsecond.
    void setFineTimes(bool fine) override;

private:
    struct Device {
        std::string name;
    };
    struct Shared;

    std::vector<Device> listDevices(bool input);
    void closeInput();
    void closeOutput(Handle handle);

    // Owned with the worker, which may outlive the service when a hung server holds it.
    std::shared_ptr<Shared> shared_;
    std::thread worker_;
    HandleSource ownHandles_;
    HandleSource& handles_;
    DeviceLists<Device> devices_;
    Handle openIn_ = 0;
    Handle openOut_ = 0;
    bool finished_ = false;
    bool workerEnded_ = false;
};

}  // namespace tamblin::ports
