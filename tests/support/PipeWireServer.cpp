#include "support/PipeWireServer.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "ports/PipeWireProps.h"
#include "support/ChildProgram.h"

namespace tamblin::testing {

using namespace std::chrono_literals;

namespace {

bool startsWithAny(const std::string& variable, std::initializer_list<const char*> prefixes) {
    for (const char* prefix : prefixes)
        if (variable.starts_with(prefix)) return true;
    return false;
}

}  // namespace

PipeWireServer::PipeWireServer() : MidiServer("tamblin-test-pw") {
    if (!libjackIsPipeWires()) {
        const std::string loaded = loadedLibjack();
        ADD_FAILURE() << "this process loaded libjack from "
                      << (loaded.empty() ? "nowhere" : loaded) << ", not PipeWire's from "
                      << TAMBLIN_PIPEWIRE_JACK_DIR
                      << ": run it through ctest or pw-jack (package pipewire-jack)";
        return;
    }
    std::string folder =
        (std::filesystem::temp_directory_path() / "tamblin-pipewire-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr) {  // mode 0700, as a runtime folder must be
        ADD_FAILURE() << "cannot make a runtime folder for pipewire";
        return;
    }
    runtimeDir_ = folder;
    // The stock configuration, but D-Bus off: a desktop's session bus is not this daemon's
    // business, and without one the portal module only fills the log with errors.
    const std::filesystem::path dropIns =
        std::filesystem::path(runtimeDir_) / "config" / "pipewire" / "pipewire.conf.d";
    std::filesystem::create_directories(dropIns);
    std::ofstream(dropIns / "tamblin-test.conf")
        << "context.properties = { support.dbus = false }\n";
    start();
}

PipeWireServer::~PipeWireServer() {
    stop();
    if (!runtimeDir_.empty()) {
        std::error_code error;
        std::filesystem::remove_all(runtimeDir_, error);
    }
}

bool PipeWireServer::start() {
    if (running()) return true;
    if (runtimeDir_.empty()) return false;
    const std::string path = onPath("pipewire");
    if (path.empty()) {
        ADD_FAILURE() << "cannot start pipewire: not found on PATH (is the pipewire-bin package "
                         "installed?)";
        return false;
    }
    // This process's clients, and the programs it starts.
    ::setenv("XDG_RUNTIME_DIR", runtimeDir_.c_str(), 1);
    ::setenv("PIPEWIRE_RUNTIME_DIR", runtimeDir_.c_str(), 1);
    ::setenv("PIPEWIRE_REMOTE", name().c_str(), 1);
    if (const std::string warning = ports::keepMidiEventsExact(); !warning.empty())
        ADD_FAILURE() << warning;

    // The daemon: none of the user's PipeWire settings, configuration or session.
    std::vector<std::string> environment;
    for (const std::string& variable : currentEnvironment())
        if (!startsWithAny(variable, {"PIPEWIRE_", "XDG_CONFIG_HOME=", "DBUS_",
                                      "DISPLAY=", "WAYLAND_DISPLAY="}))
            environment.push_back(variable);
    environment.push_back("XDG_CONFIG_HOME=" + runtimeDir_ + "/config");
    environment.push_back("PIPEWIRE_RUNTIME_DIR=" + runtimeDir_);
    environment.push_back("PIPEWIRE_CORE=" + name());
    if (!spawn(path, {"pipewire"}, environment)) return false;
    const std::filesystem::path socket = std::filesystem::path(runtimeDir_) / name();
    return waitUntilReady([&] { return std::filesystem::exists(socket); });
}

bool PipeWireServer::connectionsSettled() const {
    static const std::string dump = onPath("pw-dump");
    if (dump.empty()) {
        ADD_FAILURE() << "pw-dump not found on PATH (is the pipewire-bin package installed?)";
        return true;
    }
    ChildProgram child({dump, "-r", name()});
    if (child.wait(5s) != 0) return false;
    const QJsonDocument objects = QJsonDocument::fromJson(QByteArray::fromStdString(child.out()));
    for (const QJsonValue& object : objects.array()) {
        if (!object[QStringLiteral("type")].toString().endsWith(QStringLiteral(":Link"))) continue;
        if (object[QStringLiteral("info")][QStringLiteral("state")].toString() !=
            QStringLiteral("active"))
            return false;
    }
    return objects.isArray();
}

void PipeWireServer::kill() {
    if (!running()) return;
    killProcess();
    // The clients of this process learn of the loss on their own threads, at once in practice;
    // their owners see it before the test's next step. The socket file stays behind: a daemon
    // started under the same name takes it over.
    std::this_thread::sleep_for(200ms);
}

}  // namespace tamblin::testing
