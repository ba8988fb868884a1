#!/bin/sh
# Runs a test in a mount namespace of its own with an empty /tmp, so that tests that
# listen on /tmp/lapisock run side by side (root only; CMake checks that it works).
exec unshare --mount --propagation private \
    sh -c 'mount -t tmpfs -o mode=1777 lapitest /tmp && exec "$0" "$@"' "$@"
