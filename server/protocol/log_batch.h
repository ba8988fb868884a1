// Batched diagnostics for the server. lapid is single-threaded and traces every
// message it reads and writes; writing each line with a system call of its own would
// double the system calls of a round trip. Installed, this gathers whole lines in a
// buffer that the event loop writes out once per iteration (and whenever it fills), so
// lines stay whole and in order.
//
// Standard error never holds up the server: the buffer is written without blocking,
// and what standard error does not take waits in the buffer (the loop watches Fd() for
// room and calls Flush() again). While the buffer is full, new lines are dropped whole
// and counted; once there is room again, one error line says how many were dropped.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lapid {

// Which of the library's lines lapid writes: every line, error lines only, none.
enum class TraceLevel { kAll, kErrors, kNone };

class LogBatch {
  public:
    // Routes the library's line writers into the batch.
    static void Install(TraceLevel level = TraceLevel::kAll);
    // Back to one write per line, after writing what standard error takes now.
    static void Uninstall();
    // Writes out what standard error takes without blocking; true when nothing is left.
    static bool Flush();
    // Bytes gathered and not yet written.
    static std::size_t Pending();
    // The descriptor to watch for room while Flush() leaves bytes behind (-1: none).
    static int Fd();
    // Lines dropped since start because the buffer was full.
    static uint64_t Dropped();
};

}  // namespace lapid
