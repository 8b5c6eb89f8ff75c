// plain_thru: the baseline of a thru path, a plain libjack client that copies every event of its
// port "in" to its port "out" in the same cycle, at the same frame, and does nothing else.
//
// scripts/load.sh feeds it the stream the monitors get and counts what comes out of it, next to
// what comes out of each monitor's thru: a server that gives up whole cycles of late clients
// (PipeWire does) can lose on any path of two clients, and this one shows how much it loses on
// a path with no monitor in it.
//
//   plain_thru
//
// Once its ports exist it prints "ready <client name>"; it ends at SIGINT or SIGTERM and prints
// "forwarded N" and "dropped N" (events that did not fit the output's buffer). The exit status is
// 0, or 1 when no JACK server answers.
#include <jack/jack.h>
#include <jack/midiport.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <thread>

#include "SignalFlags.h"
#include "ports/PipeWireProps.h"

namespace {

struct Thru {
    jack_client_t* client = nullptr;
    jack_port_t* in = nullptr;
    jack_port_t* out = nullptr;
    std::atomic<std::uint64_t> forwarded{0};
    std::atomic<std::uint64_t> dropped{0};

    static int process(jack_nframes_t frames, void* self) {
        auto& thru = *static_cast<Thru*>(self);
        void* in = jack_port_get_buffer(thru.in, frames);
        void* out = jack_port_get_buffer(thru.out, frames);
        jack_midi_clear_buffer(out);
        const std::uint32_t count = jack_midi_get_event_count(in);
        std::uint64_t forwarded = 0;
        std::uint64_t dropped = 0;
        for (std::uint32_t i = 0; i < count; ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, in, i) != 0) continue;
            if (jack_midi_event_write(out, event.time, event.buffer, event.size) == 0) {
                ++forwarded;
            } else {
                ++dropped;
            }
        }
        thru.forwarded.fetch_add(forwarded, std::memory_order_relaxed);
        thru.dropped.fetch_add(dropped, std::memory_order_relaxed);
        return 0;
    }
};

}  // namespace

int main() {
    (void)tamblin::ports::keepMidiEventsExact();
    tamblin::tools::watchSignals();
    Thru thru;
    jack_status_t status{};
    thru.client = jack_client_open("tamblin-plain-thru", JackNoStartServer, &status);
    if (thru.client == nullptr) {
        std::fprintf(stderr, "plain_thru: no JACK server answers (status 0x%x)\n",
                     static_cast<unsigned>(status));
        return 1;
    }
    thru.in = jack_port_register(thru.client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    thru.out = jack_port_register(thru.client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (thru.in == nullptr || thru.out == nullptr ||
        jack_set_process_callback(thru.client, &Thru::process, &thru) != 0 ||
        jack_activate(thru.client) != 0) {
        std::fprintf(stderr, "plain_thru: cannot set up the JACK client\n");
        jack_client_close(thru.client);
        return 1;
    }
    std::printf("ready %s\n", jack_get_client_name(thru.client));
    std::fflush(stdout);
    while (!tamblin::tools::stopRequested.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    jack_deactivate(thru.client);
    std::printf("forwarded %llu\ndropped %llu\n",
                static_cast<unsigned long long>(thru.forwarded.load()),
                static_cast<unsigned long long>(thru.dropped.load()));
    jack_client_close(thru.client);
    return 0;
}
