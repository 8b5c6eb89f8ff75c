#pragma once

namespace tamblin::app {

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed. A program started with a
// standard stream closed (from a desktop, a service manager, `cmd >&-`) would otherwise hand that
// number to the next file it opens, and its standard output or error would be written into it:
// libjack's shared files, for one. Call it first in main, before anything opens a file. False
// when /dev/null cannot be opened.
bool openClosedStandardStreams();

}  // namespace tamblin::app
