// The JACK port service's face: the operations the window calls, on the user-interface thread.
// They hand every server request to the worker (JackWorker.cpp) and meet the process thread
// (JackProcess.cpp) through atomics and the send queue.

#include "ports/jack/JackPortService.h"

#include <cstdio>

#include "ports/jack/JackLibrary.h"
#include "ports/jack/JackShared.h"

namespace tamblin::ports {

std::optional<JackPortService::Shared::Answer> JackPortService::Shared::ask(Request asked) {
    std::unique_lock lock(mutex);
    if (finished || stop) return std::nullopt;
    if (unanswered != 0) {
        // An earlier question ran out of time: until it is answered, JACK counts as absent.
        if (!answer || answer->id != unanswered) return std::nullopt;
        unanswered = 0;
        answer.reset();
    }
    asked.id = ++nextRequest;
    request = asked;
    woken = true;
    wake.notify_all();
    if (!answered.wait_for(lock, options.answerWait,
                           [&] { return answer && answer->id == asked.id; })) {
        unanswered = asked.id;
        std::fprintf(stderr,
                     "tamblin: the JACK server has not answered within %lld ms; going on without "
                     "JACK until it does\n",
                     static_cast<long long>(options.answerWait.count()));
        return std::nullopt;
    }
    Answer reply = std::move(*answer);
    answer.reset();
    return reply;
}

JackPortService::JackPortService(Options options, HandleSource* handles)
    : shared_(std::make_shared<Shared>(options)),
      handles_(handles != nullptr ? *handles : ownHandles_) {
    jack::reportJackMessages();
    worker_ = std::thread([shared = shared_] { shared->run(); });
}

JackPortService::~JackPortService() {
    finish(shared_->options.answerWait);
}

bool JackPortService::finish(std::chrono::milliseconds wait) {
    if (finished_) return workerEnded_;
    finished_ = true;
    std::unique_lock lock(shared_->mutex);
    shared_->stop = true;
    shared_->wake.notify_all();
    const bool done = shared_->answered.wait_for(lock, wait, [this] { return shared_->finished; });
    lock.unlock();
    // A worker held by a server that does not answer keeps the shared state alive on its own.
    if (done)
        worker_.join();
    else
        worker_.detach();
    workerEnded_ = done;
    return done;
}

bool JackPortService::connected() const {
    return shared_->up.load(std::memory_order_acquire);
}

std::uint64_t JackPortService::workerPasses() const {
    return shared_->passes.load(std::memory_order_acquire);
}

std::vector<JackPortService::Device> JackPortService::listDevices(bool input) {
    std::vector<Device> devices;
    std::optional<Shared::Answer> answer = shared_->ask({0, true, input, {}});
    if (answer)
        for (std::string& name : answer->names) devices.push_back(Device{std::move(name)});
    return devices;
}

std::uint32_t JackPortService::countDevices(bool input) {
    return devices_.take(input, listDevices(input));
}

std::optional<std::string> JackPortService::listedName(bool input, DeviceId id) {
    return devices_.name(input, id);
}

Result JackPortService::open(bool input, Handle& handle, DeviceId id, InputCallback callback,
                             Instance instance) {
    const Device* device = devices_.find(input, id);
    if (device == nullptr) return kBadDeviceId;
    if (input && callback == nullptr) return kError;
    if ((input ? openIn_ : openOut_) != 0) return kAllocated;
    const std::string name = device->name;
    // The list may have changed since it was counted: the name decides.
    const std::optional<Shared::Answer> answer = shared_->ask({0, false, input, name});
    if (!answer || !answer->reached) return kError;
    if (!answer->exists) return kBadDeviceId;

    const Handle opened = handles_.take();
    if (input) {
        shared_->callback.store(callback, std::memory_order_relaxed);
        shared_->instance.store(instance, std::memory_order_relaxed);
        shared_->longCallback.store(longCallback(), std::memory_order_relaxed);
        shared_->inStarted.store(0, std::memory_order_relaxed);
        // Publishes the callback and instance to the process thread, which loads inHandle
        // sequentially consistent too: must not be weakened below release.
        shared_->inHandle.store(opened, std::memory_order_seq_cst);
        openIn_ = opened;
    } else {
        shared_->outHandle.store(opened, std::memory_order_release);
        openOut_ = opened;
    }
    {
        std::lock_guard lock(shared_->mutex);
        (input ? shared_->wantIn : shared_->wantOut) = Shared::Target{opened, name};
        shared_->woken = true;
    }
    shared_->wake.notify_all();
    handle = opened;
    return kOk;
}

Result JackPortService::midiInStart(Handle handle) {
    if (handle == 0 || handle != openIn_) return kInvalidHandle;
    // jack_get_time() is safe to call once a client has been opened, as it was for the open.
    shared_->inStartUsecs.store(jack_get_time(), std::memory_order_relaxed);
    // Release: publishes inStartUsecs to the process thread and midiInClock.
    shared_->inStarted.store(handle, std::memory_order_release);
    return kOk;
}

std::optional<std::int32_t> JackPortService::midiInClock(Handle handle) {
    if (handle == 0 || handle != openIn_ ||
        shared_->inStarted.load(std::memory_order_acquire) != handle)
        return std::nullopt;
    const jack_time_t startedAt = shared_->inStartUsecs.load(std::memory_order_relaxed);
    return static_cast<std::int32_t>((jack_get_time() - startedAt) / 1000);
}

Result JackPortService::close(bool input, Handle handle) {
    if (handle == 0 || handle != (input ? openIn_ : openOut_)) return kInvalidHandle;
    if (input)
        closeInput();
    else
        closeOutput(handle);
    return kOk;
}

void JackPortService::closeInput() {
    Shared& s = *shared_;
    // The close barrier: this store and the loads of `cycles` below are sequentially consistent
    // with the process callback's increments of `cycles` and its load of inHandle, so that a
    // cycle either sees 0 or is waited for here. Must not be weakened.
    s.inHandle.store(0, std::memory_order_seq_cst);
    s.inStarted.store(0, std::memory_order_relaxed);
    // A cycle that began before the store may still deliver for the handle: wait for its end,
    // microseconds, since the process callback never blocks. A cycle beginning after it sees 0.
    const std::uint64_t cycle = s.cycles.load(std::memory_order_seq_cst);
    if ((cycle & 1) != 0)
        while (s.cycles.load(std::memory_order_seq_cst) == cycle) std::this_thread::yield();
    openIn_ = 0;
    {
        std::lock_guard lock(s.mutex);
        s.wantIn.reset();
        s.woken = true;
    }
    s.wake.notify_all();
}

void JackPortService::closeOutput(Handle handle) {
    Shared& s = *shared_;
    // What was accepted before the close and has not gone out yet still goes out (see
    // Shared::draining), unless the server has gone with it.
    // An output closed before it whose sends are still going out goes first.
    const bool pending = s.up.load(std::memory_order_acquire) &&
                         (s.consumed.load(std::memory_order_acquire) < s.pushed ||
                          s.consumedLong.load(std::memory_order_acquire) < s.pushedLong);
    if (pending) {
        std::lock_guard lock(s.mutex);
        s.drainOuts.push_back(
            {s.wantOut.value_or(jack::Target{handle, {}}), s.pushed, s.pushedLong});
        // Release, before outHandle is cleared below: the process thread must never find the
        // handle neither open nor closing while its sends wait.
        s.drainLast.store(handle, std::memory_order_release);
        if (s.drainOuts.size() == 1) {
            s.drainUntil.store(s.pushed, std::memory_order_relaxed);
            s.drainUntilLong.store(s.pushedLong, std::memory_order_relaxed);
            // Release: publishes drainUntil to the worker.
            s.draining.store(handle, std::memory_order_release);
        }
    }
    // Direct thru holds what arrives from now on for the output that the Change opens next; the
    // Change's end tells whether it is one of ours (setThruGate).
    if (s.options.directThru) s.outAwaited.store(true, std::memory_order_release);
    s.outHandle.store(0, std::memory_order_release);
    openOut_ = 0;
    {
        std::lock_guard lock(s.mutex);
        s.wantOut.reset();
        s.woken = true;
    }
    s.wake.notify_all();
}

Result JackPortService::midiOutShortMsg(Handle handle, std::uint32_t message) {
    if (handle == 0 || handle != openOut_) return kInvalidHandle;
    Shared& s = *shared_;
    if (!s.up.load(std::memory_order_acquire) || s.unanswered != 0) return kError;
    if (unpackShortMessage(message).empty()) return kError;
    const jack::OutEntry entry{handle, s.generation.load(std::memory_order_acquire), message};
    if (!s.sends.push(entry)) return kError;
    ++s.pushed;
    return kOk;
}

Result JackPortService::midiOutLongMsg(Handle handle, const std::uint8_t* bytes, std::size_t size) {
    if (handle == 0 || handle != openOut_) return kInvalidHandle;
    Shared& s = *shared_;
    if (size + jack::kEventCost > jack::kCycleBudget) return kTooLarge;
    if (size == 0 || !s.up.load(std::memory_order_acquire) || s.unanswered != 0) return kError;
    // In its place after the short sends accepted so far (see Client::sendQueued).
    const jack::LongSend send{handle, s.generation.load(std::memory_order_acquire), s.pushed};
    if (!s.longSends.push(send, bytes, size)) return kError;
    ++s.pushedLong;
    return kOk;
}

void JackPortService::setThruGate(bool outputAllowed, bool realTimeFiltered) {
    shared_->outputAllowed.store(outputAllowed, std::memory_order_relaxed);
    shared_->realTimeFiltered.store(realTimeFiltered, std::memory_order_relaxed);
    // A Change that ended without an output of ours: nothing is held for one any more. Release,
    // after the output's open stored outHandle: the process thread must not see the flag cleared
    // without the new handle (see Client::process).
    if (openOut_ == 0) shared_->outAwaited.store(false, std::memory_order_release);
}

void JackPortService::setFineTimes(bool fine) {
    shared_->fineTimes.store(fine, std::memory_order_relaxed);
}

}  // namespace tamblin::ports
