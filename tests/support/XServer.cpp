#include "support/XServer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "support/ChildProgram.h"

namespace tamblin::testing {

namespace {

using namespace std::chrono_literals;

std::string onPath(const std::string& program) {
    std::istringstream directories(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "");
    for (std::string directory; std::getline(directories, directory, ':');) {
        const std::string candidate = directory + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

template <typename Reply>
using ReplyPtr = std::unique_ptr<Reply, decltype(&std::free)>;

template <typename Reply>
ReplyPtr<Reply> owned(Reply* reply) {
    return ReplyPtr<Reply>(reply, &std::free);
}

}  // namespace

XServer::XServer() {
    const std::string path = onPath("Xvfb");
    if (path.empty()) {
        ADD_FAILURE() << "cannot start Xvfb: not found on PATH (is the xvfb package installed?)";
        return;
    }
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "cannot start Xvfb: " << std::strerror(errno);
        return;
    }
    // Xvfb writes the display number into ready[1]; SIGTERM lets it remove its lock file.
    ChildProgram::Options options;
    options.keepOpen = ready[1];
    options.discardOutput = true;
    options.deathSignal = SIGTERM;
    xvfb_ = std::make_unique<ChildProgram>(
        std::vector<std::string>{path, "-displayfd", std::to_string(ready[1]), "-screen", "0",
                                 "1280x1024x24", "-nolisten", "tcp"},
        options);
    ::close(ready[1]);
    if (!xvfb_->started()) {
        ::close(ready[0]);
        ADD_FAILURE() << "cannot start Xvfb: " << std::strerror(errno);
        return;
    }
    // The number comes once the server accepts clients; the pipe closes if it ends first.
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    for (char c = 0; number.empty() || number.back() != '\n';) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd fd = {ready[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) <= 0 ||
            ::read(ready[0], &c, 1) != 1)
            break;
        number.push_back(c);
    }
    ::close(ready[0]);
    if (number.empty() || number.back() != '\n') {
        ADD_FAILURE() << "Xvfb gave no display number within 30 s";
        return;
    }
    display_ = ":" + number.substr(0, number.size() - 1);
    xcb_connection_t* connection = xcb_connect(display_.c_str(), nullptr);
    if (xcb_connection_has_error(connection) != 0) {
        xcb_disconnect(connection);
        ADD_FAILURE() << "cannot connect to Xvfb on " << display_;
        return;
    }
    connection_ = connection;
}

XServer::~XServer() {
    if (connection_ != nullptr) xcb_disconnect(connection_);
    if (xvfb_) xvfb_->end(std::chrono::seconds(5));
}

void XServer::exportDisplay() const {
    ::setenv("DISPLAY", display_.c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    // On xcb, Qt starts threads of its own (D-Bus, for accessibility) and hands memory between
    // them in ways ThreadSanitizer cannot follow inside an uninstrumented Qt: every run would
    // report a race of Qt's. So a program started from here under ThreadSanitizer reports none;
    // our own threads are checked by the programs that run on the offscreen platform.
    const char* tsan = std::getenv("TSAN_OPTIONS");
    const std::string options =
        (tsan != nullptr && *tsan != '\0' ? std::string(tsan) + ":" : "") + "report_bugs=0";
    ::setenv("TSAN_OPTIONS", options.c_str(), 1);
}

std::optional<XServer::Window> XServer::waitForWindow(std::initializer_list<std::string> titles,
                                                      std::chrono::milliseconds timeout) const {
    if (connection_ == nullptr) return std::nullopt;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        // With no window manager, every top-level window is a child of the root.
        const auto tree =
            owned(xcb_query_tree_reply(connection_, xcb_query_tree(connection_, root), nullptr));
        if (tree) {
            const xcb_window_t* children = xcb_query_tree_children(tree.get());
            for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
                const auto attributes = owned(xcb_get_window_attributes_reply(
                    connection_, xcb_get_window_attributes(connection_, children[i]), nullptr));
                if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE) continue;
                const auto name = owned(xcb_get_property_reply(
                    connection_,
                    xcb_get_property(connection_, 0, children[i], XCB_ATOM_WM_NAME,
                                     XCB_GET_PROPERTY_TYPE_ANY, 0, 256),
                    nullptr));
                if (!name) continue;
                const std::string title(
                    static_cast<const char*>(xcb_get_property_value(name.get())),
                    static_cast<std::size_t>(xcb_get_property_value_length(name.get())));
                for (const std::string& wanted : titles)
                    if (title == wanted) return Window{children[i], title};
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(10ms);
    }
}

void XServer::destroyWindow(std::uint32_t window) const {
    if (connection_ == nullptr) return;
    xcb_destroy_window(connection_, window);
    xcb_flush(connection_);
}

}  // namespace tamblin::testing
