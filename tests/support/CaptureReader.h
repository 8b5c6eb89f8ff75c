#pragma once

#include <map>
#include <string>
#include <vector>

namespace tamblin::testing {

// What readers that are not ours (Debian's python3-mido for MIDI files, Python's csv module for
// CSV) read from capture files, through tests/capture/read_capture.py: for each path, the lines
// that script prints for it ("message TICK HEX", "marker TICK TEXT", "row F1<TAB>F2...",
// "error ..."). Empty, with a test failure saying why, when the reader cannot run.
std::map<std::string, std::vector<std::string>> readCaptures(const std::vector<std::string>& paths);

}  // namespace tamblin::testing
