// Fault injection for the system calls that the library makes.
//
// Test executables that link the CMake target lapitest_wrap are linked with
// --wrap for socket, connect, read, write, recv, send, close, malloc, fcntl
// and poll: every call to one of them from code linked statically into the
// executable goes through a wrapper that passes it on unless a fault is armed.
// (Calls made inside shared libraries, the C library's own included, are not
// affected.) recv counts as Read and send as Write, so a fault armed for Read
// or Write hits the transport whichever of the two calls it uses.
//
// Faults and counts belong to the thread that arms them: other threads, such
// as those of the fake server, never see them. Read and Write only count and
// fail calls on socket descriptors, so writes to stderr, files or pipes pass
// through untouched.
//
// An injected failure sets errno and returns -1 (nullptr for malloc) without
// making the call, with one exception that mirrors Linux: a close that fails
// with any error but EAGAIN (or EBADF), EINTR included, still releases the
// descriptor. An injected EAGAIN from close leaves it open, so a retry loop can
// be watched closing it on its next attempt.
#pragma once

namespace lapitest::faults {

enum class Call { Socket, Connect, Read, Write, Close, Malloc, Fcntl, Poll };

// Makes the nth call of that kind on this thread, counted from now (1 = the
// next call), fail with err; with sticky, that call and every later one fail.
// Replaces a fault armed earlier for the same kind.
void FailNth(Call call, int nth, int err, bool sticky = false);

// The nth call fails once with EINTR; later calls pass through.
void InterruptNth(Call call, int nth);

// Disarms every fault of this thread and zeroes its counts.
void Reset();

// Calls of that kind made on this thread since it started or since Reset(),
// failed ones included.
int Count(Call call);

// Calls Reset() when it goes out of scope.
class ResetGuard {
  public:
    ResetGuard() = default;
    ~ResetGuard() { Reset(); }
    ResetGuard(const ResetGuard &) = delete;
    ResetGuard &operator=(const ResetGuard &) = delete;
};

}  // namespace lapitest::faults
