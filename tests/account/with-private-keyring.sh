#!/usr/bin/env bash
# Runs a test on a private session bus with a private, unlocked GNOME keyring
# (in the test's own XDG_DATA_HOME), so no user's keyring is ever touched.
set -euo pipefail
# Usage: with-private-keyring.sh test-program [its arguments...]
# The daemon keeps its sockets and keyrings in these; they must exist.
mkdir -p "${XDG_CACHE_HOME:?}" "${XDG_DATA_HOME:?}"
rm -rf "$XDG_DATA_HOME/keyrings"
exec dbus-run-session -- bash -c '
    eval "$(printf test | gnome-keyring-daemon --unlock --components=secrets --daemonize)"
    export GNOME_KEYRING_CONTROL
    "$@"; status=$?
    kill "$GNOME_KEYRING_PID" 2>/dev/null || true
    exit $status' keyring-session "$@" 2> >(grep -v "Failed to set fd limit" >&2)
