#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>

#include "support/ChildProgram.h"

struct xcb_connection_t;

namespace tamblin::testing {

// A private X server (Xvfb) for tests that need a real window system, with an X connection of its
// own: it sees the windows of every client as another client would, and acts on them. Xvfb picks
// a free display itself (-displayfd) and dies with the test. A server that cannot be started
// fails the running test; it never skips it.
//
// exportDisplay() points this process, and the programs it starts, at the server on the xcb
// platform; a test that runs widgets in this process calls it before QApplication exists.
class XServer {
public:
    XServer();
    ~XServer();
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    bool running() const { return connection_ != nullptr; }
    const std::string& display() const { return display_; }  // ":N"
    // Sets DISPLAY to this server and QT_QPA_PLATFORM to xcb, for this process and the programs
    // it starts (which, under ThreadSanitizer, then report no races: see the .cpp).
    void exportDisplay() const;

    struct Window {
        std::uint32_t id = 0;
        std::string title;
    };
    // Polls until a mapped top-level window carries one of `titles`; that window, or nothing on
    // timeout.
    std::optional<Window> waitForWindow(
        std::initializer_list<std::string> titles,
        std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
    // Destroys `window` from this connection, as another client would (XDestroyWindow).
    void destroyWindow(std::uint32_t window) const;

private:
    std::unique_ptr<ChildProgram> xvfb_;
    std::string display_;
    xcb_connection_t* connection_ = nullptr;
};

}  // namespace tamblin::testing
