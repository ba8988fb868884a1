// Batched diagnostics for the server. lapid is single-threaded and traces every
// message it reads and writes; writing each line with a system call of its own would
// double the system calls of a round trip. Installed, this gathers whole lines in a
// buffer that the event loop writes out once per iteration (and whenever it fills), so
// lines stay whole and in order.
#pragma once

#include <cstddef>

namespace lapid {

class LogBatch {
  public:
    // Routes the library's line writers into the batch.
    static void Install();
    // Back to one write per line, after flushing what is gathered.
    static void Uninstall();
    // Writes out what is gathered.
    static void Flush();
    // Bytes gathered and not yet written.
    static std::size_t Pending();
};

}  // namespace lapid
