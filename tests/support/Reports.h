#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace tamblin::testing {

// The one-line reports a file writer makes (the log file, the capture), from whichever thread
// makes them.
struct Reports {
    std::mutex mutex;
    std::vector<std::string> texts;
    std::function<void(const std::string&)> sink() {
        return [this](const std::string& text) {
            std::lock_guard lock(mutex);
            texts.push_back(text);
        };
    }
    std::vector<std::string> taken() {
        std::lock_guard lock(mutex);
        return texts;
    }
};

}  // namespace tamblin::testing
