#include "support/CaptureReader.h"

#include <gtest/gtest.h>

#include <sstream>

#include "support/ChildProgram.h"

namespace tamblin::testing {

std::map<std::string, std::vector<std::string>> readCaptures(
    const std::vector<std::string>& paths) {
    std::vector<std::string> args = {"/usr/bin/python3",
                                     TAMBLIN_TESTS_DIR "/capture/read_capture.py"};
    args.insert(args.end(), paths.begin(), paths.end());
    ChildProgram reader(args);
    const auto status = reader.wait(std::chrono::seconds(60));
    if (status != 0) {
        ADD_FAILURE() << "the capture reader (python3-mido) did not end well within 60 s: "
                      << (status ? std::to_string(*status) : "still running") << "\n"
                      << reader.err();
        return {};
    }
    std::map<std::string, std::vector<std::string>> read;
    std::vector<std::string>* lines = nullptr;
    std::istringstream out(reader.out());
    for (std::string line; std::getline(out, line);) {
        if (line.starts_with("file "))
            lines = &read[line.substr(5)];
        else if (lines != nullptr)
            lines->push_back(line);
    }
    return read;
}

}  // namespace tamblin::testing
