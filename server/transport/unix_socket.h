// Listening Unix-domain sockets made safely, and descriptor limits.
#pragma once

#include <sys/types.h>

#include <string>

#include "domain/result.h"

namespace lapid {

// What stands at a socket path before the server binds there.
enum class PathState {
    kFree,         // nothing there
    kStaleSocket,  // a socket that nobody listens on (connect: ECONNREFUSED)
    kLiveServer,   // a socket that accepts connections
    kNotASocket,   // a regular file, directory, symlink (never followed) or other
    kUnknown,      // a socket whose state connect() did not reveal, or lstat failed
};

// Looks at `path` without following a symlink; connects to it when it is a socket.
PathState ProbeSocketPath(const std::string &path);

// Binds and listens on `path` (non-blocking, close-on-exec) with exactly `mode`
// (e.g. 0660), in force from creation: the umask is set around bind(), then the
// mode is set again with chmod(). A stale socket at the path is removed first;
// anything else there makes it fail. Returns the descriptor, or the error (for a live
// server: "another server is listening on PATH").
Result<int> ListenUnix(const std::string &path, mode_t mode);

// Raises the soft limit on open descriptors to the hard limit. Returns the new soft
// limit (or the old one when raising failed).
long RaiseFdLimit();

}  // namespace lapid
