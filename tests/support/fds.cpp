#include "fds.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <system_error>

#include <dirent.h>

namespace lapitest {

// opendir/readdir/closedir run entirely inside the C library, so the
// descriptor of the listing never passes through the close() wrapper of the
// fault injection.
std::set<int> OpenFds() {
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        throw std::system_error(errno, std::generic_category(), "opendir /proc/self/fd");
    }
    const int own = dirfd(dir);
    std::set<int> fds;
    while (const dirent *entry = readdir(dir)) {
        int fd = -1;
        const char *name = entry->d_name;
        const auto [end, ec] = std::from_chars(name, name + std::strlen(name), fd);
        if (ec == std::errc() && *end == '\0' && fd != own) {
            fds.insert(fd);
        }
    }
    closedir(dir);
    return fds;
}

int OpenFdCount() {
    return static_cast<int>(OpenFds().size());
}

}  // namespace lapitest
