#include "ports/jack/JackLibrary.h"

#include <jack/midiport.h>

#include <cstdio>
#include <cstring>

namespace tamblin::ports::jack {

namespace {

thread_local bool quietJack = false;

void reportJackMessage(const char* message) {
    if (!quietJack) std::fprintf(stderr, "%s\n", message);
}

}  // namespace

bool libraryFreesDeadClients() {
    static const bool frees = std::strncmp(jack_get_version_string(), "1.9.", 4) == 0;
    return frees;
}

void reportJackMessages() {
    jack_set_error_function(&reportJackMessage);
    jack_set_info_function(&reportJackMessage);
}

QuietJack::QuietJack(bool quiet) : before_(quietJack) {
    quietJack = quiet;
}

QuietJack::~QuietJack() {
    quietJack = before_;
}

jack_client_t* openClient(const char* name) {
    jack_status_t status{};
    return jack_client_open(name, JackNoStartServer, &status);
}

bool startClient(jack_client_t* client, const ClientCallbacks& callbacks,
                 std::initializer_list<MidiPort> ports) {
    if (callbacks.process != nullptr)
        jack_set_process_callback(client, callbacks.process, callbacks.arg);
    if (callbacks.reported != nullptr) jack_on_shutdown(client, callbacks.reported, callbacks.arg);
    if (callbacks.serverGone != nullptr)
        jack_on_info_shutdown(client, callbacks.serverGone, callbacks.serverGoneArg);
    if (callbacks.portRegistration != nullptr)
        jack_set_port_registration_callback(client, callbacks.portRegistration, callbacks.arg);
    if (callbacks.portConnect != nullptr)
        jack_set_port_connect_callback(client, callbacks.portConnect, callbacks.arg);
    for (const MidiPort& port : ports) {
        *port.port = jack_port_register(client, port.name, JACK_DEFAULT_MIDI_TYPE,
                                        port.output ? JackPortIsOutput : JackPortIsInput, 0);
        if (*port.port == nullptr) return false;
    }
    return jack_activate(client) == 0;
}

bool closeClient(jack_client_t* client, bool gone) {
    if (gone && libraryFreesDeadClients()) return false;
    jack_client_close(client);
    return true;
}

}  // namespace tamblin::ports::jack
