// The process's open file descriptors, for leak checks.
#pragma once

#include <set>

namespace lapitest {

// The descriptors listed in /proc/self/fd (the listing's own one left out).
std::set<int> OpenFds();
int OpenFdCount();

}  // namespace lapitest
