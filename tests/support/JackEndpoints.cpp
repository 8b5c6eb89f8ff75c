#include "support/JackEndpoints.h"

#include <RtMidi.h>

namespace tamblin::testing {

JackSource::JackSource(const std::string& client)
    : midi_(std::make_unique<RtMidiOut>(RtMidi::UNIX_JACK, client)), port_(client + ":out") {
    midi_->openVirtualPort("out");
}

JackSource::~JackSource() = default;

void JackSource::send(const Bytes& bytes) {
    midi_->sendMessage(bytes.data(), bytes.size());
}

std::unique_ptr<RtMidiOut> JackSource::release() {
    return std::move(midi_);
}

JackSink::JackSink(const std::string& client)
    : midi_(std::make_unique<RtMidiIn>(RtMidi::UNIX_JACK, client)), port_(client + ":in") {
    midi_->ignoreTypes(false, false, false);
    midi_->setCallback(&JackSink::onMessage, this);
    midi_->openVirtualPort("in");
}

JackSink::~JackSink() = default;

void JackSink::onMessage(double, std::vector<unsigned char>* message, void* sink) {
    auto* self = static_cast<JackSink*>(sink);
    {
        std::lock_guard lock(self->mutex_);
        self->received_.emplace_back(message->begin(), message->end());
    }
    self->arrived_.notify_all();
}

std::vector<Bytes> JackSink::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::size_t JackSink::count() const {
    std::lock_guard lock(mutex_);
    return received_.size();
}

bool JackSink::waitForCount(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] { return received_.size() >= count; });
}

std::unique_ptr<RtMidiIn> JackSink::release() {
    return std::move(midi_);
}

}  // namespace tamblin::testing
