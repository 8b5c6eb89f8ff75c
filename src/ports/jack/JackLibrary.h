#pragma once

#include <jack/jack.h>

#include <cstddef>
#include <initializer_list>

// What every JACK client of ours does the same way, and the quirks of the libjack implementations
// it runs on (jack2, PipeWire's), in one place: the service's client and the tools' endpoints.
namespace tamblin::ports::jack {

// What our clients write to one MIDI port in one cycle at most, each event counted with
// kEventCost for its header: jackd 1.9 carries an event of 32,720 bytes at most, and PipeWire's
// libjack (0.3) reports a larger room than it takes (the sender crashes when it is used). So the
// largest SysEx that goes out is 32,000 bytes, in a cycle of its own.
inline constexpr std::size_t kEventCost = 16;
inline constexpr std::size_t kCycleBudget = 32000 + kEventCost;

// Whether libjack frees the clients of a server that has gone by itself, when the process next
// opens a client (jack2 does, in JackLibGlobals::Init): we must then never close such a client,
// since libjack may have freed it already. Other implementations leave that to us.
bool libraryFreesDeadClients();

// Sends libjack's error and info messages to standard error, so that standard output stays the
// program's own; none while a QuietJack is alive on the calling thread.
void reportJackMessages();

// Silences libjack's messages on this thread for its lifetime (when `quiet`): for requests that
// may fail without that being an error, or that repeat a failure already reported.
class QuietJack {
public:
    explicit QuietJack(bool quiet = true);
    ~QuietJack();
    QuietJack(const QuietJack&) = delete;
    QuietJack& operator=(const QuietJack&) = delete;

private:
    bool before_;
};

// The callbacks a client is started with; those left null are not set.
struct ClientCallbacks {
    JackProcessCallback process = nullptr;
    void* arg = nullptr;  // handed to every callback but `serverGone`
    // The server has shut the client down (jack2 calls only this one when both are set).
    JackInfoShutdownCallback serverGone = nullptr;
    void* serverGoneArg = nullptr;
    // PipeWire's libjack (0.3) calls only this one, and not only when the server has gone: also
    // when a request of the client failed, after which the client goes on working.
    JackShutdownCallback reported = nullptr;
    JackPortRegistrationCallback portRegistration = nullptr;
    JackPortConnectCallback portConnect = nullptr;
};

struct MidiPort {
    const char* name;
    bool output;
    jack_port_t** port;  // where the registered port goes
};

// Opens client `name` on the server libjack chooses, never starting one; null when none answers.
jack_client_t* openClient(const char* name);

// Sets every callback before the client runs, registers the MIDI ports and activates the client.
// False when a step fails: the client is then not running, and the caller closes it (closeClient).
bool startClient(jack_client_t* client, const ClientCallbacks& callbacks,
                 std::initializer_list<MidiPort> ports);

// Closes the client, unless its server has gone (`gone`) and libjack frees it itself: false then,
// and what its callbacks were handed must stay alive for the rest of the run, since libjack keeps
// its pointers until it frees the client.
bool closeClient(jack_client_t* client, bool gone);

}  // namespace tamblin::ports::jack
