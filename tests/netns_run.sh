#!/bin/sh
# Runs a command inside a private network namespace with only loopback up, so a
# test owns port 8080 and every 127.0.0.x address and nothing leaves the machine.
# With --pid first it also gets a process namespace of its own with its own
# /proc: the programs under test see, and can kill, only the test's processes,
# and whatever the test leaves running ends with it. TOV_PRIVATE_NETNS tells
# the command that the namespace's settings are its own to change.
pidns=""
if [ "$1" = "--pid" ]; then
  pidns="--pid --fork --mount-proc"
  shift
fi
if [ "$(id -u)" = 0 ]; then
  exec unshare --net $pidns sh -c 'ip link set lo up && TOV_PRIVATE_NETNS=1 exec "$@"' netns_run "$@"
fi
exec unshare --net --map-root-user $pidns sh -c 'ip link set lo up && TOV_PRIVATE_NETNS=1 exec "$@"' netns_run "$@"
