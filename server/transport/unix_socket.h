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

// The listening socket for `path` that a service manager handed over (systemd socket
// activation: descriptor 3, announced by LISTEN_FDS=1 and LISTEN_PID naming this
// process). Returns -1 when nothing was handed over; an error when what was handed
// over is not exactly one listening stream socket bound to `path`. The variables are
// removed from the environment either way, so children do not take them for theirs.
// The descriptor is made non-blocking and close-on-exec.
Result<int> ActivatedSocket(const std::string &path);

// Gives the socket file at `path` to group `gid` (the owner stays).
Result<> SetSocketGroup(const std::string &path, gid_t gid);

// Raises the soft limit on open descriptors to the hard limit. Returns the new soft
// limit (or the old one when raising failed).
long RaiseFdLimit();

}  // namespace lapid
